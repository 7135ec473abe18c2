// The sigmoid and tanh of activation_math.hpp for eight lanes at once, in the compiler's vector
// types, for processors with 512-bit vectors (the avx512f variant of the block kernel). There the
// 32 entries of the exponential's table fit four registers and two permutations read all eight
// lanes' entries, where the plain loop reads them one by one. tanh's table is too large for
// registers; its reads are scalar loads, run beside the vector arithmetic of other lanes. Every
// other step is the scalar function's own operation in the same order, so each lane rounds
// exactly as activation_sigmoid and activation_tanh do (the tests compare them bit for bit).
#pragma once

#include "network/instruction_set.hpp"

#ifdef TESSARON_X86_VARIANTS

#include <immintrin.h>

#include <algorithm>
#include <cstdint>

#include "network/activation_math.hpp"

namespace tessaron {
namespace activation_vector {

typedef double Doubles8 __attribute__((vector_size(64)));
typedef std::uint64_t Bits8 __attribute__((vector_size(64)));
typedef std::int64_t Mask8 __attribute__((vector_size(64)));
typedef std::int64_t Ints8 __attribute__((vector_size(64)));

#define TESSARON_VECTOR_INLINE __attribute__((target("avx512f"), always_inline)) inline

TESSARON_VECTOR_INLINE Doubles8 splat(double v) {
    return Doubles8{v, v, v, v, v, v, v, v};
}
TESSARON_VECTOR_INLINE Bits8 splat_bits(std::uint64_t v) {
    return Bits8{v, v, v, v, v, v, v, v};
}
// For each lane, entry indices[lane] % 16 of the sixteen in low and then high.
TESSARON_VECTOR_INLINE Bits8 permute(Bits8 low, Bits8 high, Bits8 indices) {
    return reinterpret_cast<Bits8>(_mm512_permutex2var_epi64(reinterpret_cast<__m512i>(low),
                                                             reinterpret_cast<__m512i>(indices),
                                                             reinterpret_cast<__m512i>(high)));
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
    // exp_step(k_bits & 31): each permutation takes its indices modulo 16, bit 4 picks the half.
    const Bits8 lower = permute(table[0], table[1], k_bits);
    const Bits8 upper = permute(table[2], table[3], k_bits);
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
    return x > 40.0 ? splat(1.0) : (x < -710.0 ? splat(0.0) : quotient);
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

// activation_tanh in three stages over groups of eight lanes: the table entry and tanh(b) of each
// lane (vector), the table reads (scalar loads), and the rest (vector). The stages of a group
// pass their results through memory.
TESSARON_VECTOR_INLINE void tanh_first_stage(const double* x_lanes, std::uint64_t* entries,
                                             double* tanh_b_lanes) {
    using namespace activation_math;
    Doubles8 x;
    __builtin_memcpy(&x, x_lanes, sizeof x);
    const Bits8 bits = reinterpret_cast<Bits8>(x);
    const Doubles8 absolute = reinterpret_cast<Doubles8>(bits & ~sign_mask);
    const Doubles8 magnitude = absolute > 32.0 ? splat(32.0) : absolute;
    const Bits8 magnitude_bits = reinterpret_cast<Bits8>(magnitude);
    const Ints8 part = reinterpret_cast<Ints8>(magnitude_bits >> 46) - ((1023 - 7) * 64 - 1);
    // The scalar function's entry: part <= 0 exactly when |x| < 2^-7, where it takes entry 0.
    const Ints8 capped = part > 768 ? Ints8{} + 768 : part;
    const Ints8 entry = capped < 0 ? Ints8{} : capped;
    __builtin_memcpy(entries, &entry, sizeof entry);
    constexpr std::uint64_t part_bits = (std::uint64_t{1} << 46) - 1;
    const Mask8 small = magnitude < 0x1p-7;
    const Bits8 midpoint_bits = (magnitude_bits & ~part_bits) | (std::uint64_t{1} << 45);
    const Doubles8 midpoint = reinterpret_cast<Doubles8>(small ? splat_bits(0) : midpoint_bits);
    const Doubles8 b = magnitude - midpoint;
    // b + tanh_cubic_part(b)
    const Doubles8 y = b * b;
    const Doubles8 tanh_b = b + (b * y) * (tanh_c3 + y * (tanh_c5 + y * tanh_c7));
    __builtin_memcpy(tanh_b_lanes, &tanh_b, sizeof tanh_b);
}

TESSARON_VECTOR_INLINE void tanh_table_stage(const std::uint64_t* entries, std::uint64_t* fixed) {
    for (std::int32_t lane = 0; lane < 8; ++lane) {
        std::uint64_t entry = entries[lane];
        // Kept scalar: a vectorised loop would use the hardware gather, which is slower here.
        asm("" : "+r"(entry));
        fixed[lane] = activation_tables::tanh_fixed[entry];
    }
}

TESSARON_VECTOR_INLINE void tanh_last_stage(double* x_lanes, const std::uint64_t* fixed,
                                            const double* tanh_b_lanes) {
    using namespace activation_math;
    Doubles8 x, tanh_b;
    Bits8 v;
    __builtin_memcpy(&x, x_lanes, sizeof x);
    __builtin_memcpy(&tanh_b, tanh_b_lanes, sizeof tanh_b);
    __builtin_memcpy(&v, fixed, sizeof v);
    // tanh_at_midpoint
    const Doubles8 high =
        reinterpret_cast<Doubles8>((v >> 12) | std::bit_cast<std::uint64_t>(1.0)) - 1.0;
    const Doubles8 low =
        reinterpret_cast<Doubles8>((v & 4095) | std::bit_cast<std::uint64_t>(0x1p-12)) - 0x1p-12;
    const Doubles8 slope = ((1.0 - high) - low) * (1.0 + high);
    const Doubles8 correction = (tanh_b * slope) / (1.0 + high * tanh_b);
    const Doubles8 value = high + (low + correction);
    x = reinterpret_cast<Doubles8>(reinterpret_cast<Bits8>(value) |
                                   (reinterpret_cast<Bits8>(x) & sign_mask));
    __builtin_memcpy(x_lanes, &x, sizeof x);
}

// values[i] = activation_tanh(values[i]) for i < count rounded up to a multiple of 8 (the values
// past `count` must be readable and writable). Up to 128 lanes at a time, in two halves: the
// table reads of one half run in the loop that does the vector stage of the other, where the
// processor overlaps them.
__attribute__((target("avx512f"))) inline void tanh_lanes(double* values, std::int32_t count) {
    constexpr std::int32_t piece = 128;
    alignas(64) std::uint64_t entries[piece];
    alignas(64) double tanh_b[piece];
    alignas(64) std::uint64_t fixed[piece];
    for (std::int32_t start = 0; start < count; start += piece) {
        double* v = values + start;
        const std::int32_t groups = (std::min(count - start, piece) + 7) / 8;
        const std::int32_t half = groups / 2;  // the second half has the odd group
        for (std::int32_t i = 0; i < 8 * half; i += 8)
            tanh_first_stage(v + i, entries + i, tanh_b + i);
        for (std::int32_t i = 0; i < 8 * half; i += 8) {
            tanh_table_stage(entries + i, fixed + i);
            const std::int32_t j = i + 8 * half;
            tanh_first_stage(v + j, entries + j, tanh_b + j);
        }
        const std::int32_t odd = 8 * (groups - 1);
        if (groups % 2 != 0) tanh_first_stage(v + odd, entries + odd, tanh_b + odd);
        for (std::int32_t i = 0; i < 8 * half; i += 8) {
            tanh_last_stage(v + i, fixed + i, tanh_b + i);
            const std::int32_t j = i + 8 * half;
            tanh_table_stage(entries + j, fixed + j);
        }
        if (groups % 2 != 0) tanh_table_stage(entries + odd, fixed + odd);
        for (std::int32_t i = 8 * half; i < 8 * groups; i += 8)
            tanh_last_stage(v + i, fixed + i, tanh_b + i);
    }
}

}  // namespace activation_vector
}  // namespace tessaron

#undef TESSARON_VECTOR_INLINE
#endif
