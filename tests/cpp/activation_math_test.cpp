#include "network/activation_math.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "network/activation.hpp"
#include "network/forward.hpp"
#include "network_builders.hpp"

namespace tessaron {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double denorm_min = std::numeric_limits<double>::denorm_min();

// The reference is the long double library (64-bit significands or more): its own error is
// below 0.001 ulp of a double.
bool reference_is_precise() {
    return std::numeric_limits<long double>::digits >= 64;
}

// |value - exact| in units of the last place of the double nearest to `exact` (2^-1074 for the
// subnormals).
double ulp_error(double value, long double exact) {
    const double rounded = static_cast<double>(exact);
    int exponent = 0;
    std::frexp(rounded == 0.0 ? denorm_min : rounded, &exponent);
    const long double ulp = std::ldexp(1.0L, std::max(exponent - 53, -1074));
    return static_cast<double>(std::fabs(static_cast<long double>(value) - exact) / ulp);
}

bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// The largest error of `ours` against `exact` over the arguments, and where it occurred.
struct Worst {
    double error = 0.0;
    double at = 0.0;
};

template <class Ours, class Exact>
Worst worst_error(const std::vector<double>& arguments, Ours ours, Exact exact) {
    Worst worst;
    for (const double x : arguments) {
        const double error = ulp_error(ours(x), exact(static_cast<long double>(x)));
        if (!(error <= worst.error)) worst = {error, x};  // a NaN error is the worst of all
    }
    return worst;
}

// Random arguments of both signs in every binade from 2^lowest to 2^highest, with |x| <= limit.
std::vector<double> binade_points(int lowest, int highest, double limit, int per_binade,
                                  std::uint64_t seed) {
    std::mt19937_64 engine(seed);
    std::uniform_real_distribution<double> mantissa(1.0, 2.0);
    std::vector<double> points;
    for (int binade = lowest; binade <= highest; ++binade)
        for (int i = 0; i < per_binade; ++i) {
            const double x = std::ldexp(mantissa(engine), binade);
            if (x <= limit) {
                points.push_back(x);
                points.push_back(-x);
            }
        }
    return points;
}

std::vector<double> uniform_points(double low, double high, int count, std::uint64_t seed) {
    std::mt19937_64 engine(seed);
    std::uniform_real_distribution<double> draw(low, high);
    std::vector<double> points(count);
    for (double& x : points) x = draw(engine);
    return points;
}

// The 2 * reach doubles around x, appended to points.
void add_neighbours(std::vector<double>& points, double x, int reach) {
    for (int i = 0; i < reach; ++i) x = std::nextafter(x, -inf);
    for (int i = 0; i < 2 * reach; ++i, x = std::nextafter(x, inf)) points.push_back(x);
}

// Around each point where exp's table step changes, (k + 1/2) ln 2 / 32, for k taken `stride`
// apart.
std::vector<double> exp_step_boundaries(int lowest_k, int highest_k, int stride, int reach) {
    std::vector<double> points;
    for (int k = lowest_k; k <= highest_k; k += stride)
        add_neighbours(points, (k + 0.5) * 0x1.62e42fefa39efp-6, reach);
    return points;
}

// Around each point where tanh's table entry changes, 2^e (1 + i/64) for 2^-7 <= |x| <= 2^5,
// and around the entries' midpoints.
std::vector<double> tanh_part_boundaries(int reach) {
    std::vector<double> points;
    for (int e = -7; e <= 5; ++e)
        for (int i = 0; i < 128; ++i) add_neighbours(points, std::ldexp(1.0 + i / 128.0, e), reach);
    return points;
}

double exp_of(double x) {
    return activation_exp(x);
}
long double exp_exact(long double x) {
    return std::exp(x);
}
double tanh_of(double x) {
    return activation_tanh(x);
}
long double tanh_exact(long double x) {
    return std::tanh(x);
}

TEST(ActivationExp, SpecialValues) {
    EXPECT_TRUE(same_bits(activation_exp(0.0), 1.0));
    EXPECT_TRUE(same_bits(activation_exp(-0.0), 1.0));
    EXPECT_TRUE(same_bits(activation_exp(-inf), 0.0));
    EXPECT_TRUE(same_bits(activation_exp(inf), inf));
    EXPECT_TRUE(std::isnan(activation_exp(nan)));
    EXPECT_TRUE(std::isnan(activation_exp(-nan)));
    for (const double x : {710.0, 800.0, 1e10, 1e300, std::numeric_limits<double>::max()})
        EXPECT_TRUE(same_bits(activation_exp(x), inf)) << x;
    for (const double x : {-745.2, -746.0, -800.0, -1e10, -std::numeric_limits<double>::max()})
        EXPECT_TRUE(same_bits(activation_exp(x), 0.0)) << x;
}

TEST(ActivationExp, OverflowAndUnderflowThresholds) {
    // The largest argument with a finite result, just below ln(DBL_MAX).
    const double last_finite = 0x1.62e42fefa39efp+9;
    ASSERT_TRUE(std::isfinite(static_cast<double>(exp_exact(last_finite))));
    ASSERT_TRUE(std::isinf(static_cast<double>(exp_exact(std::nextafter(last_finite, inf)))));
    EXPECT_TRUE(std::isfinite(activation_exp(last_finite)));
    EXPECT_LE(ulp_error(activation_exp(last_finite), exp_exact(last_finite)), 1.0);
    EXPECT_TRUE(same_bits(activation_exp(std::nextafter(last_finite, inf)), inf));

    // The smallest argument whose result rounds up to the smallest subnormal (its exact exp is
    // 0.50000000000005 of it); one double lower the result is 0.
    const double last_nonzero = -0x1.74910d52d3051p+9;
    ASSERT_EQ(static_cast<double>(exp_exact(last_nonzero)), denorm_min);
    ASSERT_EQ(static_cast<double>(exp_exact(std::nextafter(last_nonzero, -inf))), 0.0);
    EXPECT_TRUE(same_bits(activation_exp(last_nonzero), denorm_min));
    EXPECT_TRUE(same_bits(activation_exp(std::nextafter(last_nonzero, -inf)), 0.0));

    // Gradual underflow: below -708.4 the results are subnormal, each within an ulp of 2^-1074.
    for (const double x : {-708.5, -720.0, -730.25, -740.0, -744.0, -745.0}) {
        const double y = activation_exp(x);
        EXPECT_TRUE(y > 0.0 && y < std::numeric_limits<double>::min()) << x;
        EXPECT_LE(ulp_error(y, exp_exact(x)), 1.0) << x;
    }
}

TEST(ActivationExp, WithinOneUlpOverTheWholeRange) {
    if (!reference_is_precise()) GTEST_SKIP() << "long double is not precise enough here";
    // Results in the normal range: a table value plus a correction below 2^-6 of it, so within
    // 0.54 ulp by construction (0.532 measured).
    const std::vector<std::vector<double>> normal{
        binade_points(-40, 9, 708.0, 10000, 1),   uniform_points(-708.0, 709.78, 200000, 2),
        uniform_points(-1.0, 1.0, 100000, 3),     uniform_points(709.0, 709.78, 20000, 4),
        exp_step_boundaries(-32500, 32750, 2, 4),
    };
    for (const auto& points : normal) {
        const Worst worst = worst_error(points, exp_of, exp_exact);
        EXPECT_LT(worst.error, 0.55) << "at " << worst.at;
    }
    // Subnormal results round twice (to a double, then to the subnormal grid): within 0.76 ulp.
    const std::vector<double> subnormal = uniform_points(-745.13, -708.4, 200000, 5);
    const Worst worst = worst_error(subnormal, exp_of, exp_exact);
    EXPECT_LT(worst.error, 0.8) << "at " << worst.at;
    // Tiny arguments give exactly 1.
    for (const double x : binade_points(-1074, -55, 1.0, 20, 6)) EXPECT_EQ(activation_exp(x), 1.0);
}

TEST(ActivationTanh, SpecialValues) {
    EXPECT_TRUE(same_bits(activation_tanh(0.0), 0.0));
    EXPECT_TRUE(same_bits(activation_tanh(-0.0), -0.0));
    EXPECT_TRUE(same_bits(activation_tanh(inf), 1.0));
    EXPECT_TRUE(same_bits(activation_tanh(-inf), -1.0));
    EXPECT_TRUE(std::isnan(activation_tanh(nan)));
    EXPECT_TRUE(std::isnan(activation_tanh(-nan)));
    for (const double x : {20.0, 25.0, 1e10, 1e300, std::numeric_limits<double>::max()}) {
        EXPECT_TRUE(same_bits(activation_tanh(x), 1.0)) << x;
        EXPECT_TRUE(same_bits(activation_tanh(-x), -1.0)) << x;
    }
    // tanh(x) = x (1 - x^2/3 + ...) rounds to x below 2^-27: no cancellation, no flush to zero.
    for (const double x : binade_points(-1074, -28, 1.0, 50, 7)) {
        EXPECT_TRUE(same_bits(activation_tanh(x), x)) << x;
    }
    EXPECT_TRUE(same_bits(activation_tanh(denorm_min), denorm_min));
}

TEST(ActivationTanh, OddAndNeverBeyondOne) {
    std::vector<double> points = binade_points(-60, 6, 100.0, 5000, 8);
    const std::vector<double> large = uniform_points(17.0, 23.0, 200000, 9);
    points.insert(points.end(), large.begin(), large.end());
    for (const double x : points) {
        const double y = activation_tanh(x);
        ASSERT_TRUE(same_bits(activation_tanh(-x), -y)) << x;
        ASSERT_LE(std::fabs(y), 1.0) << x;
        ASSERT_EQ(std::signbit(y), std::signbit(x)) << x;
    }
}

TEST(ActivationTanh, WithinOneUlpOverTheWholeRange) {
    if (!reference_is_precise()) GTEST_SKIP() << "long double is not precise enough here";
    // The C library's own tanh is off by up to 1.8 ulps, hence the long double reference.
    // A table value plus a correction of at most 1/128 of it: within 0.56 ulp by construction
    // (0.53 measured, in the lower binades where the correction is relatively largest).
    const std::vector<std::vector<double>> sets{
        binade_points(-40, 5, 40.0, 10000, 10),
        uniform_points(-20.0, 20.0, 200000, 11),
        uniform_points(0.5, 1.0, 200000, 12),
        uniform_points(0.0078, 0.0313, 200000, 13),
        tanh_part_boundaries(64),
    };
    for (const auto& points : sets) {
        const Worst worst = worst_error(points, tanh_of, tanh_exact);
        EXPECT_LT(worst.error, 0.6) << "at " << worst.at;
    }
}

TEST(Activate, SigmoidStaysWithinThreeUlps) {
    if (!reference_is_precise()) GTEST_SKIP() << "long double is not precise enough here";
    EXPECT_EQ(activate(sigmoid, 0.0), 0.5);
    EXPECT_EQ(activate(sigmoid, -0.0), 0.5);
    EXPECT_TRUE(same_bits(activate(sigmoid, inf), 1.0));
    EXPECT_TRUE(same_bits(activate(sigmoid, -inf), 0.0));
    EXPECT_TRUE(same_bits(activate(sigmoid, 800.0), 1.0));
    EXPECT_TRUE(same_bits(activate(sigmoid, -800.0), 0.0));
    EXPECT_TRUE(std::isnan(activate(sigmoid, nan)));
    EXPECT_TRUE(std::isnan(activate(tanh_kind, nan)));
    // exp within 0.54 ulp, then one rounded addition and one rounded division: 1.66 ulps of the
    // relative spacing of their operands, which may be up to twice the result's. (Below -709.78,
    // exp(-x) overflows and the formula gives 0 for values under 2^-1022.)
    std::vector<double> points = binade_points(-30, 9, 709.0, 5000, 14);
    const Worst worst = worst_error(
        points, [](double x) { return activate(sigmoid, x); },
        [](long double x) { return 1.0L / (1.0L + std::exp(-x)); });
    EXPECT_LT(worst.error, 3.0) << "at " << worst.at;
}

// Hard arguments for the bit-for-bit comparisons: special values, both ends of the range and the
// points where the table entries change.
std::vector<double> hard_points() {
    std::vector<double> points{0.0,         -0.0,    inf,   -inf,   nan,   denorm_min,
                               -denorm_min, 1e-300,  19.0,  20.0,   32.0,  -32.0,
                               709.78,      -709.78, 745.2, -745.2, 746.0, -746.0};
    std::vector<double> tanh_edges = tanh_part_boundaries(2);
    for (const double x : std::vector<double>(tanh_edges)) tanh_edges.push_back(-x);
    for (const auto& more :
         {binade_points(-60, 9, 800.0, 200, 15), exp_step_boundaries(-34475, 32775, 1, 1),
          tanh_edges, uniform_points(-745.2, -708.0, 2000, 16),
          uniform_points(708.0, 745.2, 2000, 17)})
        points.insert(points.end(), more.begin(), more.end());
    return points;
}

bool same_result(double a, double b) {
    return std::isnan(a) ? std::isnan(b) : same_bits(a, b);
}

// The sigmoid scales e^-x only as far as its arguments need, and must still be the formula
// computed with activation_exp.
TEST(Activate, SigmoidIsTheFormulaWithActivationExp) {
    for (const double x : hard_points())
        ASSERT_TRUE(same_result(activate(sigmoid, x), 1.0 / (activation_exp(-x) + 1.0))) << x;
}

// The block kernel runs the same functions in vector registers, in every instruction-set variant
// this machine supports; a network that passes its input straight to one output node shows each
// activation of each argument. The counts leave partial vectors, an odd number of vectors and a
// partial last piece of the 512-bit tanh's scratch.
TEST(Activate, EveryInstructionSetGivesTheScalarBits) {
    const std::vector<double> points = hard_points();
    for (const std::int32_t kind : {sigmoid, tanh_kind}) {
        Network network = testing::build_network(1, 1, 2, {{0, 1, 1.0}}, {0, 0}, {0, kind});
        testing::for_each_instruction_set([&](InstructionSet set) {
            for (const std::size_t count : {std::size_t{1}, std::size_t{9}, std::size_t{23},
                                            std::size_t{135}, points.size()}) {
                SampleMatrix x(static_cast<std::int32_t>(count), 1);
                std::copy(points.begin(), points.begin() + count, x.values.begin());
                std::vector<double> block(count);
                ForwardScratch scratch;
                forward_rows(network, x, block.data(), scratch);
                for (std::size_t i = 0; i < count; ++i) {
                    // The output node's sum is 0 + 1 * x.
                    const double single = activate(kind, 0.0 + points[i]);
                    ASSERT_TRUE(same_result(single, block[i]))
                        << instruction_set_name(set) << ", kind " << kind << " at " << points[i]
                        << ": " << single << " vs " << block[i];
                    ASSERT_TRUE(same_result(
                        single, forward(network, x.row(static_cast<std::int32_t>(i)))[0]));
                }
            }
        });
    }
}

}  // namespace
}  // namespace tessaron
