#include "variation/random_draws.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <vector>

#include "common/errors.hpp"
#include "network_builders.hpp"
#include "variation_support.hpp"

namespace tessaron {
namespace {

using testing::seed_rand;

// The fresh normal deviates are the standard library's, scaled as before, bit for bit.
TEST(RandomDraws, FreshNormalsAreTheStandardDistributionsDeviates) {
    for (std::uint32_t value : {1u, 5489u}) {
        FreshDraws ours;
        ours.engine.seed(value);
        std::mt19937 engine(value);
        std::normal_distribution<double> standard(0.0, 1.0);
        for (int i = 0; i < 2001; ++i) {
            const double expected = standard(engine) * 0.7 + 2.5;
            ASSERT_EQ(testing::bits(ours.normal(2.5, 0.7)), testing::bits(expected)) << i;
        }
    }
}

TEST(RandomDraws, FreshEngineDrawsWhatTheStandardTwisterDraws) {
    for (std::uint32_t value : {0u, 5489u, 0xffffffffu}) {
        std::mt19937 standard(value);
        Mt19937 ours(value);
        for (int i = 0; i < 2000; ++i) ASSERT_EQ(ours(), standard()) << value << " draw " << i;
        std::seed_seq a{value, value ^ 77u, 1u}, b{value, value ^ 77u, 1u};
        standard.seed(a);
        ours.seed(b);
        for (int i = 0; i < 2000; ++i) ASSERT_EQ(ours(), standard()) << value << " draw " << i;
    }
}

TEST(RandomDraws, RandomIntReducesOneRandValueModuloTheCount) {
    for (unsigned seed : {1u, 42u, 9000u}) {
        seed_rand(seed);
        const int first = testing::next_rand(), second = testing::next_rand();
        seed_rand(seed);
        EXPECT_EQ(random_int(10, 19), 10 + first % 10);
        EXPECT_EQ(random_int(-3, 3), -3 + second % 7);
    }
    EXPECT_EQ(random_int(5, 5), 5);
}

TEST(RandomDraws, RandomIntCoversItsRangeAndNothingElse) {
    std::vector<int> counts(7, 0);
    for (int i = 0; i < 7000; ++i) {
        const int value = random_int(-3, 3);
        ASSERT_TRUE(value >= -3 && value <= 3) << value;
        ++counts[value + 3];
    }
    for (int count : counts) EXPECT_GT(count, 700);  // expected 1000, sd 29
}

TEST(RandomDraws, RandomIntOverTheWholeIntRange) {
    // More values than one rand() covers: several draws are joined, and both halves come up.
    int negative = 0, positive = 0;
    for (int i = 0; i < 2000; ++i) {
        const int value = random_int(INT_MIN, INT_MAX);
        (value < 0 ? negative : positive) += 1;
    }
    EXPECT_GT(negative, 800);
    EXPECT_GT(positive, 800);
}

TEST(RandomDraws, RandomIntRefusesAnEmptyRange) {
    try {
        random_int(3, 2);
        ADD_FAILURE() << "no exception";
    } catch (const InvalidData& error) {
        EXPECT_STREQ(error.what(), "random_int needs low <= high, got low 3 and high 2");
    }
}

TEST(RandomDraws, UnitFromWordsStaysBelowOne) {
    EXPECT_EQ(unit_from_words(0, 0), 0.0);
    EXPECT_EQ(unit_from_words(0, 0x80000000u), 0.5);
    EXPECT_EQ(unit_from_words(1, 0), std::ldexp(1.0, -64));
    EXPECT_EQ(unit_from_words(0, 1), std::ldexp(1.0, -32));
    const double below_one = std::nextafter(1.0, 0.0);
    // 2^64 - 1 and 2^64 - 1024 both round to 2^64 as doubles.
    EXPECT_EQ(unit_from_words(0xFFFFFFFFu, 0xFFFFFFFFu), below_one);
    EXPECT_EQ(unit_from_words(0xFFFFFC00u, 0xFFFFFFFFu), below_one);
    // 2^64 - 1025 rounds down to the largest double below 2^64.
    EXPECT_EQ(unit_from_words(0xFFFFFBFFu, 0xFFFFFFFFu), below_one);
    for (std::uint32_t r1 = 0xFFFFF000u; r1 != 0; ++r1)
        ASSERT_LT(unit_from_words(r1, 0xFFFFFFFFu), 1.0);
}

TEST(RandomDraws, ScalingKeepsTheUpperEndOut) {
    const double below_one = std::nextafter(1.0, 0.0);
    // 1 + (1 - 2^-53) is a tie that rounds to 2.
    EXPECT_EQ(scale_unit(below_one, 1.0, 2.0), std::nextafter(2.0, 1.0));
    EXPECT_EQ(scale_unit(0.5, -2.0, 2.0), 0.0);
    EXPECT_EQ(scale_unit(0.0, 3.0, 5.0), 3.0);
    EXPECT_LT(scale_unit(below_one, 0.0, 1.0), 1.0);
    EXPECT_EQ(scale_unit(below_one, 4.0, 4.0), 4.0);  // an empty range gives its low end
}

TEST(RandomDraws, FreshUniformIsUniformInItsRange) {
    const int n = 100000;
    double sum = 0, below_tenth = 0;
    for (int i = 0; i < n; ++i) {
        const double u = fresh_uniform(0.0, 1.0);
        ASSERT_TRUE(u >= 0.0 && u < 1.0);
        sum += u;
        below_tenth += u < 0.1;
    }
    // Mean 0.5 with sd sqrt(1/12/n); share below 0.1 is 0.1 with sd sqrt(0.09/n): 6 sd margins.
    EXPECT_NEAR(sum / n, 0.5, 6 * std::sqrt(1.0 / 12 / n));
    EXPECT_NEAR(below_tenth / n, 0.1, 6 * std::sqrt(0.09 / n));
    for (int i = 0; i < 1000; ++i) {
        const double v = fresh_uniform(-2.0, 3.0);
        ASSERT_TRUE(v >= -2.0 && v < 3.0);
    }
}

TEST(RandomDraws, FreshNormalMomentsAndDegenerateSpreads) {
    EXPECT_EQ(fresh_normal(0.0, 0.0), 0.0);
    EXPECT_EQ(fresh_normal(3.5, 0.0), 3.5);
    EXPECT_EQ(fresh_normal(-1e300, 0.0), -1e300);
    EXPECT_TRUE(std::isnan(fresh_normal(1.0, std::nan(""))));
    EXPECT_TRUE(std::isnan(fresh_normal(std::nan(""), 0.0)));

    const int n = 100000;
    double sum = 0, squares = 0;
    for (int i = 0; i < n; ++i) {
        const double z = (fresh_normal(2.0, 0.5) - 2.0) / 0.5;
        sum += z;
        squares += z * z;
    }
    EXPECT_NEAR(sum / n, 0.0, 6 / std::sqrt(n));
    EXPECT_NEAR(squares / n, 1.0, 6 * std::sqrt(2.0 / n));
}

TEST(RandomDraws, FreshDrawsLeaveRandAlone) {
    seed_rand(9);
    const int first = testing::next_rand();
    seed_rand(9);
    fresh_uniform(0.0, 1.0);
    fresh_normal(0.0, 1.0);
    EXPECT_EQ(testing::next_rand(), first);
}

}  // namespace
}  // namespace tessaron
