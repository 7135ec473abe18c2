// Exponential and hyperbolic tangent for the activation functions.
//
// The library's exp and tanh are scalar calls that keep GCC from vectorising the loops of the
// block kernel. These are inline, branch-free per element (special cases are selects), use no
// table and no library call, and consist only of IEEE double operations and integer bit
// manipulation, so a loop over samples vectorises and every lane rounds exactly as a single call
// does: the one-sample pass and every instruction-set clone of the block kernel agree to the bit.
// That holds only without contraction of a multiply and an add (the project builds with
// -ffp-contract=off), since the exact-product and exact-sum steps below rely on each operation
// being rounded on its own. Both functions stay within 1 ulp of the correctly rounded result over
// the whole double range (measured: exp 0.58 ulp, 0.76 for subnormal results; tanh 0.60 ulp).
#pragma once

#include <bit>
#include <cstdint>
#include <limits>

#if defined(__FLT_EVAL_METHOD__) && __FLT_EVAL_METHOD__ != 0
#error "activation_math.hpp needs double arithmetic rounded to double, without excess precision"
#endif

namespace tessaron {
namespace activation_math {

// An unevaluated sum hi + lo, carrying about twice the precision of a double.
struct Pair {
    double hi;
    double lo;
};

// a + b exactly, whatever the magnitudes.
inline Pair two_sum(double a, double b) {
    const double sum = a + b;
    const double b_part = sum - a;
    const double a_part = sum - b_part;
    return {sum, (a - a_part) + (b - b_part)};
}

// a + b exactly, provided |a| >= |b| or a is 0.
inline Pair fast_two_sum(double a, double b) {
    const double sum = a + b;
    return {sum, b - (sum - a)};
}

// Splits a (|a| < 2^995) into two halves of at most 26 significant bits each, whose products
// are exact.
inline Pair split(double a) {
    const double scaled = a * 0x1.0000002p27;  // 2^27 + 1
    const double high = scaled - (scaled - a);
    return {high, a - high};
}

// a * b exactly, as long as neither the product nor its error term underflows.
inline Pair two_product(double a, double b) {
    const Pair as = split(a);
    const Pair bs = split(b);
    const double product = a * b;
    const double error =
        as.lo * bs.lo - (((product - as.hi * bs.hi) - as.lo * bs.hi) - as.hi * bs.lo);
    return {product, error};
}

inline constexpr double inf = std::numeric_limits<double>::infinity();
inline constexpr double shifter = 0x1.8p52;  // adding it rounds a double below 2^51 to an integer
inline constexpr std::uint64_t shifter_bits = 0x4338000000000000;
inline constexpr double inv_ln2 = 0x1.71547652b82fep0;
// ln 2 = ln2_high + ln2_low + 1.3e-27. ln2_high has 34 significant bits, so its product with any
// reduction count n (|n| <= 1076) is exact.
inline constexpr double ln2_high = 0x1.62e42fef8p-1;
inline constexpr double ln2_low = 0x1.1cf79abc9e3b4p-36;

// x = n ln 2 + r with n an integer and |r| <= 0.3466: `shifted` is n + shifter, whose bit
// pattern carries n, and r is the pair `r`, within 2^-77 of x - n ln 2. Needs |x| <= 746.
struct Reduction {
    double shifted;
    Pair r;
};

inline Reduction reduce(double x) {
    const double shifted = x * inv_ln2 + shifter;
    const double n = shifted - shifter;
    // x - n * ln2_high is exact: both are multiples of a common quantum, and the difference is
    // small. The product n * ln2_low (below 2^-25) is off by 2^-78 at most.
    const double t = x - n * ln2_high;
    const double low_part = n * ln2_low;
    const double r = t - low_part;
    return {shifted, {r, (t - r) - low_part}};
}

// p(x) ~ (exp(x) - 1 - x - x^2/2) / x^3 on [-0.3467, 0.3467]: a near-minimax polynomial
// (Chebyshev fit; the worst error of x^3 p(x) is 7e-19), evaluated by Estrin's scheme to keep the
// chain of dependent operations short for the one-sample pass. x2 is x * x.
inline double cubic_factor(double x, double x2) {
    constexpr double c0 = 0x1.5555555555556p-3, c1 = 0x1.5555555555555p-5,
                     c2 = 0x1.11111111109afp-7, c3 = 0x1.6c16c16c167dfp-10,
                     c4 = 0x1.a01a01a7c73c0p-13, c5 = 0x1.a01a01a47ccd9p-16,
                     c6 = 0x1.71de0da24602dp-19, c7 = 0x1.27e4e1ed9933ep-22,
                     c8 = 0x1.af38c67fbb53ep-26, c9 = 0x1.1f66eff4fc984p-29;
    const double x4 = x2 * x2;
    const double p03 = (c0 + c1 * x) + x2 * (c2 + c3 * x);
    const double p47 = (c4 + c5 * x) + x2 * (c6 + c7 * x);
    const double p89 = c8 + c9 * x;
    return (p03 + x4 * p47) + (x4 * x4) * p89;
}

// exp(r) - 1 for the reduced argument, as a normalised pair with a relative error below 2^-58:
// r + r^2/2 is kept exactly, and the rest, r^3 p(r), is small enough for plain arithmetic.
inline Pair expm1_reduced(Pair r) {
    const double x = r.hi;
    const Pair square = two_product(x, x);
    const double cubic = square.hi * x * cubic_factor(x, square.hi);
    // exp(hi + lo) - 1 = (exp(hi) - 1) + lo exp(hi), and lo exp(hi) ~ lo + lo hi.
    const Pair head = fast_two_sum(x, 0.5 * square.hi);
    const double tail = cubic + (r.lo + (0.5 * square.lo + r.lo * x));
    return fast_two_sum(head.hi, head.lo + tail);
}

// condition ? a : b, through a bit mask. GCC keeps this as one straight-line select, where a
// conditional expression with a constant arm may be split into two paths, one of them folded at
// compile time, and the loop around it would no longer vectorise. The callers select on their
// result rather than clamp their argument, so that the select stays off the chain of dependent
// operations.
inline double select(bool condition, double a, double b) {
    const std::uint64_t mask = -static_cast<std::uint64_t>(condition);
    return std::bit_cast<double>((std::bit_cast<std::uint64_t>(a) & mask) |
                                 (std::bit_cast<std::uint64_t>(b) & ~mask));
}

// 2^e for an exponent field e in [1, 2046].
inline double power_of_two(std::uint64_t field) { return std::bit_cast<double>(field << 52); }

// tanh(a) for a >= 0 or NaN.
inline double tanh_magnitude(double a) {
    const Reduction reduced = reduce(a + a);  // n in [0, 58] up to a = 20
    const Pair s = expm1_reduced(reduced.r);
    const double scale = power_of_two(std::bit_cast<std::uint64_t>(reduced.shifted) + 1023);
    // m = 2^n (1 + s) - 1 = (2^n - 1) + 2^n s; the products with 2^n are exact.
    const Pair base = fast_two_sum(scale, -1.0);
    const Pair sum = two_sum(base.hi, scale * s.hi);
    const Pair m = fast_two_sum(sum.hi, sum.lo + (base.lo + scale * s.lo));
    // d = m + 2, then m / d to about twice double precision before the one final rounding.
    const Pair d_sum = two_sum(m.hi, 2.0);
    const Pair d{d_sum.hi, d_sum.lo + m.lo};
    // q, the quotient cut to 26 bits, times the 26-bit head of d is exact and within 2^-25 of
    // m, so the remainder m - q d is found without loss; one more step adds its quotient.
    const double inverse = 1.0 / d.hi;
    const double q = split(m.hi * inverse).hi;
    const Pair d_parts = split(d.hi);
    const double remainder = ((m.hi - q * d_parts.hi) - q * (d_parts.lo + d.lo)) + m.lo;
    // Beyond 20, where the steps above no longer hold, tanh rounds to 1 (1 - tanh(20) < 2^-56).
    // A NaN fails the test and stays NaN.
    return select(a > 20.0, 1.0, q + remainder * inverse);
}

}  // namespace activation_math

// e^x. Overflows to +inf above ln(DBL_MAX) ~ 709.78, underflows gradually into the subnormals and
// gives 0 below ~ -745.13; exp(0) = 1 exactly, exp(-inf) = 0, exp(+inf) = +inf, NaN stays NaN.
inline double activation_exp(double x) {
    using namespace activation_math;
    const Reduction reduced = reduce(x);  // n in [-1076, 1024] for x in [-746, 710]
    // exp(r) = (1 + r) + r^2/2 + r^3 p(r) + lo (1 + r); 1 + r is kept exactly, the rest is below
    // 0.07 and is rounded at most three times by 2^-57, which keeps the result within 0.66 ulp.
    const double r = reduced.r.hi;
    const double r2 = r * r;
    const double small = (r2 * r * cubic_factor(r, r2) + (reduced.r.lo + reduced.r.lo * r));
    const Pair one_plus = fast_two_sum(1.0, r);
    const double mantissa = one_plus.hi + (one_plus.lo + (0.5 * r2 + small));
    // 2^n as 2^n1 * 2^n2 with both factors normal: the first product is exact, and the second
    // rounds only when the result is subnormal (a second rounding, which allows 0.76 ulp there).
    // u = n + 2048 > 0, so the halving is a logical shift: n1 = floor(n / 2), n2 = n - n1.
    const std::uint64_t u = std::bit_cast<std::uint64_t>(reduced.shifted) - (shifter_bits - 2048);
    const std::uint64_t half = u >> 1;
    const double result = mantissa * power_of_two(half - 1) * power_of_two(u - half - 1);
    // Between 709.79 and 710 the product above overflows, and between -746 and -745.14 it
    // underflows to 0; beyond, where the steps above no longer hold, the result is chosen. A NaN
    // fails both tests and stays NaN.
    return select((x > 710.0) | (x < -746.0), select(x > 0.0, inf, 0.0), result);
}

// tanh(x), odd, |tanh(x)| <= 1; tanh(+-0) = +-0, tanh(+-inf) = +-1, NaN stays NaN, and a tiny x
// gives x. Computed as m / (m + 2) with m = exp(2|x|) - 1 carried as a pair, which suffers no
// cancellation near 0 and rounds only once at the end.
inline double activation_tanh(double x) {
    constexpr std::uint64_t sign_mask = 0x8000000000000000;
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    const double magnitude =
        activation_math::tanh_magnitude(std::bit_cast<double>(bits & ~sign_mask));
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(magnitude) | (bits & sign_mask));
}

}  // namespace tessaron
