#include "network/shuffle.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <numeric>
#include <vector>

#include "network/forward.hpp"
#include "network/rand_range.hpp"
#include "network_builders.hpp"
#include "variation_support.hpp"

namespace tessaron {
namespace {

using testing::random_network;
using testing::seed_rand;

// A digit source that replays a fixed list and counts what it handed out.
struct ScriptedDigits {
    std::vector<int> digits;
    std::size_t used = 0;
    int operator()() { return digits.at(used++); }
};

TEST(BoundedDraw, RejectsTheIncompleteLastBlock) {
    // Radix 10, three values: 9 would favour 0, so it is drawn again.
    ScriptedDigits source{{9, 9, 4}};
    EXPECT_EQ(uniform_below(3, 10, source), 1u);
    EXPECT_EQ(source.used, 3u);
    // A count that divides the radix never rejects.
    ScriptedDigits exact{{9}};
    EXPECT_EQ(uniform_below(5, 10, exact), 4u);
    EXPECT_EQ(exact.used, 1u);
    // Wider than one digit: two digits, most significant first; 95 lies in the incomplete block
    // of 30 (90 .. 99).
    ScriptedDigits wide{{9, 5, 1, 7}};
    EXPECT_EQ(uniform_below(30, 10, wide), 17u);
    EXPECT_EQ(wide.used, 4u);
}

TEST(BoundedDraw, ReducedDrawTakesOneDigitModuloAndWidensBeyondIt) {
    ScriptedDigits source{{9}};
    EXPECT_EQ(reduced_below(4, 10, source), 1u);  // no rejection within one digit
    ScriptedDigits wide{{1, 2, 3}};
    EXPECT_EQ(reduced_below(1000, 10, wide), 123u);
    EXPECT_EQ(wide.used, 3u);
    // Every one of 100 candidates is reachable with digits 0 .. 9.
    std::vector<bool> reached(100, false);
    for (int high = 0; high < 10; ++high) {
        for (int low = 0; low < 10; ++low) {
            ScriptedDigits pair{{high, low}};
            reached.at(reduced_below(100, 10, pair)) = true;
        }
    }
    EXPECT_TRUE(std::all_of(reached.begin(), reached.end(), [](bool r) { return r; }));
    const DigitSpan span = digits_for(std::uint64_t{1} << 32, std::uint64_t{1} << 15);
    EXPECT_EQ(span.digits, 3);
    EXPECT_EQ(span.span, std::uint64_t{1} << 45);
}

TEST(Shuffle, PermutationMovesEachItemToItsTargetAlongCycles) {
    const std::vector<std::size_t> p{2, 0, 1, 3, 5, 4};
    std::vector<int> items{0, 1, 2, 3, 4, 5};
    apply_permutation(p, [&](std::size_t i, std::size_t j) { std::swap(items[i], items[j]); });
    EXPECT_EQ(items, (std::vector<int>{1, 2, 0, 3, 5, 4}));

    seed_rand(2024);
    std::vector<std::size_t> drawn;
    for (std::size_t n : {0u, 1u, 2u, 7u, 300u}) {
        draw_permutation(n, drawn);
        ASSERT_EQ(drawn.size(), n);
        std::vector<std::size_t> sorted = drawn;
        std::sort(sorted.begin(), sorted.end());
        for (std::size_t x = 0; x < n; ++x) ASSERT_EQ(sorted[x], x);
        std::vector<std::size_t> moved(n);
        std::iota(moved.begin(), moved.end(), std::size_t{0});
        apply_permutation(drawn,
                          [&](std::size_t i, std::size_t j) { std::swap(moved[i], moved[j]); });
        for (std::size_t x = 0; x < n; ++x) EXPECT_EQ(moved[drawn[x]], x);
    }
}

TEST(Shuffle, AllPermutationsOfFourAreEquallyLikely) {
    // Chi-square over the 24 orders of 4 items: 23 degrees of freedom (mean 23, sd 6.8). The
    // bound lies 14 standard deviations above the mean.
    const int draws = 48000;
    std::map<std::vector<std::size_t>, int> counts;
    std::vector<std::size_t> p;
    for (int d = 0; d < draws; ++d) {
        draw_permutation(4, p);
        ++counts[p];
    }
    ASSERT_EQ(counts.size(), 24u);
    const double expected = draws / 24.0;
    double chi_square = 0;
    for (const auto& [order, count] : counts)
        chi_square += (count - expected) * (count - expected) / expected;
    EXPECT_LT(chi_square, 120.0);
}

TEST(Shuffle, NetworksStayWithTheirResultRows) {
    seed_rand(31);
    std::vector<Network> population;
    std::vector<std::vector<double>> results;
    const double sample[] = {0.25, -1.5, 2.0};
    for (int m = 0; m < 9; ++m) {
        population.push_back(random_network(3, 2, m % 4));
        results.push_back(forward(population.back(), sample));
        results.back().push_back(m);  // a tag to see that the order changed
    }
    shuffle_together(population, results);
    bool reordered = false;
    for (std::size_t x = 0; x < population.size(); ++x) {
        std::vector<double> again = forward(population[x], sample);
        again.push_back(results[x].back());
        EXPECT_EQ(again, results[x]);
        reordered = reordered || results[x].back() != static_cast<double>(x);
    }
    EXPECT_TRUE(reordered);
}

TEST(Shuffle, NetworksStayWithTheirScores) {
    seed_rand(5);
    std::vector<Network> population;
    std::vector<double> scores;
    for (int m = 0; m < 6; ++m) {
        population.push_back(random_network(2, 1, m));
        scores.push_back(1000.0 * m + population.back().biases[0]);
    }
    shuffle_together(population, scores);
    for (std::size_t x = 0; x < population.size(); ++x) {
        const int m = population[x].size - 3;
        EXPECT_EQ(scores[x], 1000.0 * m + population[x].biases[0]);
    }
}

TEST(Shuffle, ItemsAreMovedNeverCopied) {
    // unique_ptr cannot be copied: this compiles only because the shuffle moves.
    std::vector<std::unique_ptr<int>> first;
    std::vector<std::unique_ptr<int>> second;
    for (int i = 0; i < 40; ++i) {
        first.push_back(std::make_unique<int>(i));
        second.push_back(std::make_unique<int>(-i));
    }
    shuffle_together(first, second);
    std::vector<int> seen;
    for (std::size_t x = 0; x < first.size(); ++x) {
        EXPECT_EQ(*first[x], -*second[x]);
        seen.push_back(*first[x]);
    }
    std::sort(seen.begin(), seen.end());
    for (int i = 0; i < 40; ++i) EXPECT_EQ(seen[i], i);
}

TEST(Shuffle, SampleTablesKeepTheirRowsTogether) {
    seed_rand(11);
    SampleMatrix x(50, 3), y(50, 2);
    for (std::int32_t i = 0; i < 50; ++i) {
        x.row(i)[0] = i;
        x.row(i)[1] = i + 0.5;
        x.row(i)[2] = -i;
        y.row(i)[0] = 10.0 * i;
        y.row(i)[1] = 7;
    }
    shuffle_together(x, y);
    std::vector<bool> seen(50, false);
    bool reordered = false;
    for (std::int32_t r = 0; r < 50; ++r) {
        const double t = x.row(r)[0];
        ASSERT_TRUE(t >= 0 && t < 50);
        seen[static_cast<std::size_t>(t)] = true;
        reordered = reordered || t != r;
        EXPECT_EQ(x.row(r)[1], t + 0.5);
        EXPECT_EQ(x.row(r)[2], -t);
        EXPECT_EQ(y.row(r)[0], 10.0 * t);
        EXPECT_EQ(y.row(r)[1], 7);
    }
    EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](bool s) { return s; }));
    EXPECT_TRUE(reordered);

    SampleMatrix one_x(1, 2), one_y(1, 1);
    one_x.values = {1, 2};
    one_y.values = {3};
    shuffle_together(one_x, one_y);
    EXPECT_EQ(one_x.values, (std::vector<double>{1, 2}));
    SampleMatrix none_x(0, 2), none_y(0, 1);
    shuffle_together(none_x, none_y);
    EXPECT_EQ(none_x.rows, 0);
}

TEST(Shuffle, DifferentLengthsAreRefusedWithoutChange) {
    std::vector<int> first{1, 2, 3};
    std::vector<double> second{1, 2};
    try {
        shuffle_together(first, second);
        ADD_FAILURE() << "no exception";
    } catch (const InvalidData& error) {
        EXPECT_STREQ(error.what(),
                     "cannot shuffle sequences of different lengths together (3 and 2)");
    }
    EXPECT_EQ(first, (std::vector<int>{1, 2, 3}));
    SampleMatrix x(4, 1), y(3, 1);
    x.values = {1, 2, 3, 4};
    EXPECT_THROW(shuffle_together(x, y), InvalidData);
    EXPECT_EQ(x.values, (std::vector<double>{1, 2, 3, 4}));
}

}  // namespace
}  // namespace tessaron
