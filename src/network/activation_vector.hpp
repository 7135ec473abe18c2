// The sigmoid of activation_math.hpp for eight lanes at once, in the compiler's vector types, for
// processors with 512-bit vectors: there the 32 entries of the exponential's table fit four
// registers and two permutations read all eight lanes' entries, where the plain loop reads them
// one by one. Every other step is the scalar function's own operation in the same order, so each
// lane rounds exactly as activation_sigmoid does (the tests compare them bit for bit).
#pragma once

#include <cstdint>

#include "network/activation_math.hpp"

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__) && \
    !defined(TESSARON_NO_CLONES)
#define TESSARON_VECTOR_SIGMOID 1

namespace tessaron {
namespace activation_vector {

typedef double Doubles8 __attribute__((vector_size(64)));
typedef std::uint64_t Bits8 __attribute__((vector_size(64)));
typedef std::int64_t Mask8 __attribute__((vector_size(64)));

#define TESSARON_VECTOR_INLINE __attribute__((target("avx512f"), always_inline)) inline

TESSARON_VECTOR_INLINE Doubles8 splat(double v) {
    return Doubles8{v, v, v, v, v, v, v, v};
}
TESSARON_VECTOR_INLINE Bits8 splat_bits(std::uint64_t v) {
    return Bits8{v, v, v, v, v, v, v, v};
}
// condition ? a : b per lane, a mask lane being all ones or zero.
TESSARON_VECTOR_INLINE Doubles8 select(Mask8 condition, Doubles8 a, Doubles8 b) {
    const Bits8 mask = reinterpret_cast<Bits8>(condition);
    return reinterpret_cast<Doubles8>((reinterpret_cast<Bits8>(a) & mask) |
                                      (reinterpret_cast<Bits8>(b) & ~mask));
}

// activation_sigmoid of each lane of x.
TESSARON_VECTOR_INLINE Doubles8 sigmoid8(Doubles8 x) {
    using namespace activation_math;
    Bits8 table[4];
    __builtin_memcpy(table, activation_tables::exp_fixed, sizeof table);
    // scaled_exp(-x)
    const Doubles8 minus_x = -x;
    const Doubles8 shifted = minus_x * steps_per_ln2 + shifter;
    const Doubles8 k = shifted - shifter;
    const Doubles8 r = (minus_x - k * step_high) - k * step_low;
    const Doubles8 r2 = r * r;
    const Doubles8 series =
        r + r2 * ((0.5 + r * exp_c3) + r2 * ((exp_c4 + r * exp_c5) + r2 * (exp_c6 + r * exp_c7)));
    const Bits8 k_bits = reinterpret_cast<Bits8>(shifted);
    // exp_step(k_bits & 31): each shuffle takes its indices modulo 16, bit 4 picks the half.
    const Bits8 lower = __builtin_shuffle(table[0], table[1], k_bits);
    const Bits8 upper = __builtin_shuffle(table[2], table[3], k_bits);
    const Bits8 v = (k_bits & 16) != 0 ? upper : lower;
    const Doubles8 step_high_part =
        reinterpret_cast<Doubles8>((v >> 10) + splat_bits(std::uint64_t{1022} << 52));
    const Doubles8 step_low_part =
        reinterpret_cast<Doubles8>((v & 1023) | splat_bits(std::bit_cast<std::uint64_t>(0x1p-10))) -
        0x1p-10;
    const Doubles8 mantissa = step_high_part + (step_low_part + step_high_part * series);
    // biased_exponent(k_bits, 1022), then the sigmoid's scaling
    const Bits8 exponent = (k_bits - splat_bits(shifter_bits - (std::uint64_t{1022} << 5))) >> 5;
    const Doubles8 exp_minus_x = mantissa * reinterpret_cast<Doubles8>(exponent << 52) * 2.0;
    const Doubles8 quotient = 1.0 / (exp_minus_x + 1.0);
    return select(x > 40.0, splat(1.0), select(x < -710.0, splat(0.0), quotient));
}

// values[i] = activation_sigmoid(values[i]) for i < count rounded up to a multiple of 8 (the
// values past `count` must be readable and writable).
__attribute__((target("avx512f"))) inline void sigmoid_lanes(double* values, std::int32_t count) {
    for (std::int32_t i = 0; i < count; i += 8) {
        Doubles8 x;
        __builtin_memcpy(&x, values + i, sizeof x);
        x = sigmoid8(x);
        __builtin_memcpy(values + i, &x, sizeof x);
    }
}

}  // namespace activation_vector
}  // namespace tessaron

#undef TESSARON_VECTOR_INLINE
#endif
