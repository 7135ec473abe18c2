#include "network/random.hpp"

namespace tessaron {

void RandState::seed(unsigned value) {
    // Word i is 16807^i times the seed modulo 2^31 - 1 (Schrage's method, in the library's
    // integer widths: a seed above 2^31 is read as a negative 32-bit word); a seed of 0 is 1.
    std::int32_t word = static_cast<std::int32_t>(value == 0 ? 1u : value);
    words_[0] = static_cast<std::uint32_t>(word);
    for (int i = 1; i < degree; ++i) {
        const std::int64_t high = word / 127773;
        const std::int64_t low = word % 127773;
        word = static_cast<std::int32_t>(16807 * low - 2836 * high);
        if (word < 0) word += 2147483647;
        words_[i] = static_cast<std::uint32_t>(word);
    }
    front_ = separation;
    rear_ = 0;
    for (int i = 0; i < 10 * degree; ++i) (*this)();
}

void Mt19937::seed(result_type value) {
    state_[0] = value;
    for (int i = 1; i < words; ++i)
        state_[i] =
            1812433253u * (state_[i - 1] ^ (state_[i - 1] >> 30)) + static_cast<result_type>(i);
    next_ = words;
}

void Mt19937::seed(std::seed_seq& sequence) {
    sequence.generate(state_, state_ + words);
    // An all-zero state (its top bit of word 0 included) would stay zero.
    bool zero = (state_[0] & 0x80000000u) == 0;
    for (int i = 1; zero && i < words; ++i) zero = state_[i] == 0;
    if (zero) state_[0] = 0x80000000u;
    next_ = words;
}

namespace {

inline std::uint32_t twisted(std::uint32_t high, std::uint32_t low, std::uint32_t far) {
    const std::uint32_t y = (high & 0x80000000u) | (low & 0x7fffffffu);
    return far ^ (y >> 1) ^ ((0u - (y & 1u)) & 0x9908b0dfu);
}

}  // namespace

void Mt19937::refill() {
    constexpr int shift = 397;
    for (int i = 0; i < words - shift; ++i)
        state_[i] = twisted(state_[i], state_[i + 1], state_[i + shift]);
    for (int i = words - shift; i < words - 1; ++i)
        state_[i] = twisted(state_[i], state_[i + 1], state_[i + shift - words]);
    state_[words - 1] = twisted(state_[words - 1], state_[0], state_[shift - 1]);
    for (int i = 0; i < words; ++i) {
        result_type y = state_[i];
        y ^= y >> 11;
        y ^= (y << 7) & 0x9d2c5680u;
        y ^= (y << 15) & 0xefc60000u;
        tempered_[i] = y ^ (y >> 18);
    }
    next_ = 0;
}

}  // namespace tessaron
