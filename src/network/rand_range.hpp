// Integers in a range from a source of uniform digits, such as the rand() sequence (digits 0 ..
// RandState::max).
//
// A count beyond one digit's reach is served by joining several digits into one wider value, so
// every index of a large range stays reachable.
#pragma once

#include <cstdint>

#include "network/random.hpp"

namespace tessaron {

inline constexpr std::uint64_t rand_radix = std::uint64_t{RandState::max} + 1;

// Number of digits of base `radix` needed for `count` values, and radix to that power. The span
// stays below 2^63 for every count up to 2^32 and every radix from 2 up.
struct DigitSpan {
    int digits;
    std::uint64_t span;
};

inline DigitSpan digits_for(std::uint64_t count, std::uint64_t radix) {
    DigitSpan result{1, radix};
    while (result.span < count) {
        result.span *= radix;
        ++result.digits;
    }
    return result;
}

// One value in 0 .. span-1 made of `digits` draws, the first draw being the most significant.
template <class Draw>
std::uint64_t joined_draw(int digits, std::uint64_t radix, Draw& draw) {
    std::uint64_t value = 0;
    for (int d = 0; d < digits; ++d) value = value * radix + static_cast<std::uint64_t>(draw());
    return value;
}

// Uniform in 0 .. count-1 (count >= 1): draws that fall into the incomplete last block of the
// span are rejected, so every result is exactly equally likely.
template <class Draw>
std::uint64_t uniform_below(std::uint64_t count, std::uint64_t radix, Draw&& draw) {
    const DigitSpan span = digits_for(count, radix);
    const std::uint64_t limit = span.span - span.span % count;
    for (;;) {
        const std::uint64_t value = joined_draw(span.digits, radix, draw);
        if (value < limit) return value % count;
    }
}

// One draw reduced modulo count (count >= 1) when a draw covers the count, as the structural
// choices are made; a larger count joins digits and rejects like uniform_below.
template <class Draw>
std::uint64_t reduced_below(std::uint64_t count, std::uint64_t radix, Draw&& draw) {
    if (count <= radix) return static_cast<std::uint64_t>(draw()) % count;
    return uniform_below(count, radix, draw);
}

}  // namespace tessaron
