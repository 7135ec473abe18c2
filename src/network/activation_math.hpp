// Exponential, sigmoid and hyperbolic tangent for the activation functions.
//
// The library's exp and tanh are scalar calls that keep GCC from vectorising the loops of the
// block kernel. These are inline, branch-free per element (special cases are selects), call
// nothing, and consist only of IEEE double operations, integer bit manipulation and one read of a
// fixed table, so a loop over samples vectorises and every lane rounds exactly as a single call
// does: the one-sample pass and every instruction-set variant of the block kernel agree to the bit.
// That holds only without contraction of a multiply and an add (the project builds with
// -ffp-contract=off). exp and tanh end in one rounded addition of a small correction to a table
// value held to about 2^-62, which keeps them within 0.6 ulp of the correctly rounded result
// (measured: exp 0.532 ulp, 0.756 for subnormal results; tanh 0.526 ulp).
//
// The table read is the dearest step where the vector unit has no cheap gather: its index goes
// through the scalar registers. Each function therefore reads one 64-bit entry and splits it
// into two doubles with integer operations. The exponential's table is small enough (32 entries)
// for 512-bit vectors to hold it and read it by permutations: activation_vector.hpp does that for
// the block kernel's sigmoid, with the same steps as below, and reads tanh's table with scalar
// loads beside the vector arithmetic of other samples.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "network/activation_tables.hpp"

#if defined(__FLT_EVAL_METHOD__) && __FLT_EVAL_METHOD__ != 0
#error "activation_math.hpp needs double arithmetic rounded to double, without excess precision"
#endif

namespace tessaron {
namespace activation_math {

inline constexpr std::uint64_t sign_mask = 0x8000000000000000;
inline constexpr double inf = std::numeric_limits<double>::infinity();

// condition ? a : b, through a bit mask. GCC keeps this as one straight-line select, where a
// conditional expression with a constant arm may be split into two paths, one of them folded at
// compile time, and the loop around it would no longer vectorise.
inline std::uint64_t select_bits(bool condition, std::uint64_t a, std::uint64_t b) {
    const std::uint64_t mask = -static_cast<std::uint64_t>(condition);
    return (a & mask) | (b & ~mask);
}

inline double select(bool condition, double a, double b) {
    return std::bit_cast<double>(
        select_bits(condition, std::bit_cast<std::uint64_t>(a), std::bit_cast<std::uint64_t>(b)));
}

// 2^e for an exponent field e in [1, 2046].
inline double power_of_two(std::uint64_t field) {
    return std::bit_cast<double>(field << 52);
}

// An unevaluated sum high + low.
struct Pair {
    double high;
    double low;
};

// The double whose bits are `bits`, minus `offset`: with offset a power of two whose exponent
// field is ORed into `bits`, the integer bits (below 2^52) times the offset's ulp, exactly.
inline double from_bits(std::uint64_t bits, double offset) {
    return std::bit_cast<double>(bits | std::bit_cast<std::uint64_t>(offset)) - offset;
}

// 2^(j/32) from its 62-bit fixed-point entry (2^62 <= v < 2^63): the top 53 bits as a double
// in [1, 2), the 10 bits below them as a second double.
inline Pair exp_step(std::size_t j) {
    const std::uint64_t v = activation_tables::exp_fixed[j];
    return {std::bit_cast<double>((v >> 10) + (std::uint64_t{1022} << 52)),
            from_bits(v & 1023, 0x1p-10)};
}

// tanh at table entry i from its 64-bit fixed-point value: the bits down to 2^-52, and the 12
// below them.
inline Pair tanh_at_midpoint(std::size_t i) {
    const std::uint64_t v = activation_tables::tanh_fixed[i];
    return {from_bits(v >> 12, 1.0), from_bits(v & 4095, 0x1p-12)};
}

inline constexpr double shifter = 0x1.8p52;  // adding it rounds a double below 2^51 to an integer
inline constexpr std::uint64_t shifter_bits = 0x4338000000000000;
inline constexpr double steps_per_ln2 = 0x1.71547652b82fep5;  // 32 / ln 2
// ln 2 / 32 = step_high + step_low + 4e-29. step_high has 34 significant bits, so its product
// with any step count k (|k| < 2^16) is exact.
inline constexpr double step_high = 0x1.62e42fef8p-6;
inline constexpr double step_low = 0x1.1cf79abc9e3b4p-41;

// tanh(b) - b as b^3 P(b^2): the Taylor series up to b^7. For |b| <= 2^-7 the next term is below
// 2^-61 b; for larger b (at most 2^-3) it is scaled down by the slope 1 - tanh(a)^2 it is
// multiplied with.
inline constexpr double tanh_c3 = -0x1.5555555555555p-2, tanh_c5 = 0x1.1111111111111p-3,
                        tanh_c7 = -0x1.ba1ba1ba1ba1cp-5;
inline double tanh_cubic_part(double b) {
    const double y = b * b;
    return (b * y) * (tanh_c3 + y * (tanh_c5 + y * tanh_c7));
}

// e^x = 2^n * mantissa, for |x| <= 746: x = (32 n + j) ln 2 / 32 + r with |r| <= ln 2 / 64, so
// e^x = 2^n 2^(j/32) e^r, where 2^(j/32) is a table pair and e^r - 1 a series whose rounding
// errors are scaled down by |r| before they reach the result. The mantissa lies in [0.98, 2.03].
// The 32 entries fit four vector registers, where permutations read them (see
// activation_vector.hpp).
struct ScaledExp {
    double mantissa;
    std::uint64_t k_bits;  // the bits of k + shifter, with k = 32 n + j
};

// e^r - 1 up to r^7 / 5040, for |r| <= ln 2 / 64; the next term is below 2^-64.
inline constexpr double exp_c3 = 0x1.5555555555555p-3, exp_c4 = 0x1.5555555555555p-5,
                        exp_c5 = 0x1.1111111111111p-7, exp_c6 = 0x1.6c16c16c16c17p-10,
                        exp_c7 = 0x1.a01a01a01a01ap-13;

inline ScaledExp scaled_exp(double x) {
    const double shifted = x * steps_per_ln2 + shifter;
    const double k = shifted - shifter;
    // x - k * step_high is exact (k < 2^16 for |x| <= 746); the low product is off by 2^-76 at
    // most.
    const double r = (x - k * step_high) - k * step_low;
    const double r2 = r * r;
    const double series =
        r + r2 * ((0.5 + r * exp_c3) + r2 * ((exp_c4 + r * exp_c5) + r2 * (exp_c6 + r * exp_c7)));
    const std::uint64_t k_bits = std::bit_cast<std::uint64_t>(shifted);
    const Pair step = exp_step(k_bits & 31);  // in range whatever x is
    return {step.high + (step.low + step.high * series), k_bits};
}

// n + bias for the n of k_bits, when k + 32 bias > 0 (the shift then rounds down, as n does).
inline std::uint64_t biased_exponent(std::uint64_t k_bits, std::uint64_t bias) {
    return (k_bits - (shifter_bits - (bias << 5))) >> 5;
}

}  // namespace activation_math

// e^x. Overflows to +inf above ln(DBL_MAX) ~ 709.78, underflows gradually into the subnormals and
// gives 0 below ~ -745.13; exp(0) = 1 exactly, exp(-inf) = 0, exp(+inf) = +inf, NaN stays NaN.
inline double activation_exp(double x) {
    using namespace activation_math;
    const ScaledExp e = scaled_exp(x);
    // 2^n as 2^n1 * 2^n2 with both factors normal: the first product is exact, and the second
    // rounds only when the result is subnormal (a second rounding, which allows 0.76 ulp there).
    // u = n + 2048 > 0, so the halving is a logical shift: n1 = floor(n / 2), n2 = n - n1.
    const std::uint64_t u = biased_exponent(e.k_bits, 2048);
    const std::uint64_t half = u >> 1;
    const double result = e.mantissa * power_of_two(half - 1) * power_of_two(u - half - 1);
    // Between 709.79 and 710 the product above overflows, and between -746 and -745.14 it
    // underflows to 0; beyond, where the steps above no longer hold, the result is chosen. A NaN
    // fails both tests and stays NaN.
    return select((x > 710.0) | (x < -746.0), select(x > 0.0, inf, 0.0), result);
}

// 1 / (e^-x + 1), bit for bit with activation_exp, but with the scaling that the arguments
// left after the selects need: for -40 <= -x <= 710, 2^n lies in [2^-58, 2^1024], and e^-x is
// normal or overflows. Above 40 the result rounds to 1; below -710 e^-x overflows and it is 0.
inline double activation_sigmoid(double x) {
    using namespace activation_math;
    const ScaledExp e = scaled_exp(-x);
    const double exp_minus_x = e.mantissa * power_of_two(biased_exponent(e.k_bits, 1022)) * 2.0;
    return select(x > 40.0, 1.0, select(x < -710.0, 0.0, 1.0 / (exp_minus_x + 1.0)));
}

// tanh(x), odd, |tanh(x)| <= 1; tanh(+-0) = +-0, tanh(+-inf) = +-1, NaN stays NaN, and a tiny x
// gives x.
//
// For |x| >= 2^-7, |x| = a + b with a the midpoint of one of 64 equal parts of the binade of |x|
// and |b| <= a / 128 (b is exact), and
//   tanh(a + b) = tanh(a) + tanh(b) (1 - tanh(a)^2) / (1 + tanh(a) tanh(b)),
// tanh(a) a table pair and tanh(b) a short series. The correction is at most 1/128 of the result,
// so its own rounding errors cost less than 0.03 ulp. Below 2^-7 the table entry is 0 and the
// result is the series alone.
inline double activation_tanh(double x) {
    using namespace activation_math;
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    // From 19.06 on tanh rounds to 1; above 32 the steps below no longer hold. A NaN stays NaN.
    const double absolute = std::bit_cast<double>(bits & ~sign_mask);
    const double magnitude = select(absolute > 32.0, 32.0, absolute);
    const std::uint64_t magnitude_bits = std::bit_cast<std::uint64_t>(magnitude);
    // Exponent and the top 6 bits of the significand: the binade and its part, entries 1 to 768
    // for 2^-7 <= |x| < 2^5. Below, entry 0; 32 and NaN read the last entry.
    const std::int64_t part =
        static_cast<std::int64_t>(magnitude_bits >> 46) - ((1023 - 7) * 64 - 1);
    const bool small = magnitude < 0x1p-7;
    const std::size_t entry = select_bits(small, 0, select_bits(part > 768, 768, part));
    constexpr std::uint64_t part_bits = (std::uint64_t{1} << 46) - 1;
    // a, or 0 below the table; b = |x| - a is exact.
    const double midpoint =
        select(small, 0.0,
               std::bit_cast<double>((magnitude_bits & ~part_bits) | (std::uint64_t{1} << 45)));
    const double b = magnitude - midpoint;
    const double tanh_b = b + tanh_cubic_part(b);
    const Pair table = tanh_at_midpoint(entry);
    // 1 - tanh(a)^2 to three roundings, leaving out the low part where it is not cancelled (an
    // error below 2^-52 of the slope); the correction needs no more.
    const double slope = ((1.0 - table.high) - table.low) * (1.0 + table.high);
    const double correction = (tanh_b * slope) / (1.0 + table.high * tanh_b);
    const double value = table.high + (table.low + correction);
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(value) | (bits & sign_mask));
}

}  // namespace tessaron
