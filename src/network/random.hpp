// The random generators of the core, as plain values: no shared state and no seeding policy here
// (random_sources.hpp holds the sources of a run and how they are seeded).
#pragma once

#include <cmath>
#include <cstdint>
#include <random>

namespace tessaron {

// Draws exactly what the GNU C library's rand() draws after srand(seed): its additive feedback
// generator of 31 words (r[i] = r[i - 31] + r[i - 3], the top 31 bits drawn), seeded by the
// same Lehmer sequence and with the same 310 draws discarded. Runs that used the process-wide
// rand() keep their draws, while every run now has a state of its own.
class RandState {
  public:
    static constexpr int max = 2147483647;  // RAND_MAX of that library

    explicit RandState(unsigned value = 1) { seed(value); }
    void seed(unsigned value);

    // One value in 0 .. max.
    int operator()() {
        const std::uint32_t value = words_[front_] += words_[rear_];
        front_ = front_ + 1 == degree ? 0 : front_ + 1;
        rear_ = rear_ + 1 == degree ? 0 : rear_ + 1;
        return static_cast<int>(value >> 1);
    }

    friend bool operator==(const RandState&, const RandState&) = default;

  private:
    static constexpr int degree = 31;
    static constexpr int separation = 3;
    std::uint32_t words_[degree];
    int front_ = separation;
    int rear_ = 0;
};

// The 32-bit Mersenne Twister, drawing exactly what std::mt19937 draws from the same seeding, with
// a refill of its state that the compiler can vectorise and that tempers the new words in the
// same pass: the engine of the many fresh draws.
class Mt19937 {
  public:
    using result_type = std::uint32_t;
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return 0xffffffffu; }

    explicit Mt19937(result_type value = 5489u) { seed(value); }
    void seed(result_type value);
    void seed(std::seed_seq& sequence);

    result_type operator()() {
        if (next_ >= words) refill();
        return tempered_[next_++];
    }

  private:
    static constexpr int words = 624;
    void refill();
    result_type state_[words];
    result_type tempered_[words];  // the words drawn, made from state_ by the last refill
    int next_ = words;
};

// c = (r1 + r2 * 2^32) / 2^64, in [0, 1): the rounding to double that would give exactly 1 gives
// the largest double below 1 instead.
inline double unit_from_words(std::uint32_t r1, std::uint32_t r2) {
    const double c =
        (static_cast<double>(r1) + static_cast<double>(r2) * 4294967296.0) / 18446744073709551616.0;
    // Values within 2^10 of 2^64 round up to 2^64 itself.
    return c < 1.0 ? c : 0x1.fffffffffffffp-1;
}

// The "fresh" draws of the variation operators: the engine, and the second standard normal
// deviate of the latest pair.
struct FreshDraws {
    Mt19937 engine;
    double saved_normal = 0.0;
    bool normal_saved = false;

    // A double in [0, 1) made of two 32-bit engine outputs.
    double unit() {
        const std::uint32_t r1 = engine();
        const std::uint32_t r2 = engine();
        return unit_from_words(r1, r2);
    }

    // A standard normal deviate by the polar method, pairs drawn and used as the standard
    // library's normal distribution draws and uses them (adding 0.0 as it does, which turns a
    // -0 into +0), so that seeded runs keep their values.
    double standard_normal() {
        if (normal_saved) {
            normal_saved = false;
            return saved_normal + 0.0;
        }
        double x, y, r2;
        do {
            x = 2.0 * unit() - 1.0;
            y = 2.0 * unit() - 1.0;
            r2 = x * x + y * y;
        } while (r2 > 1.0 || r2 == 0.0);
        const double scale = std::sqrt(-2 * std::log(r2) / r2);
        saved_normal = x * scale;
        normal_saved = true;
        return y * scale + 0.0;
    }

    // A normal deviate; exactly `mean` when stddev is 0 (no draw), NaN when stddev is NaN.
    double normal(double mean, double stddev) {
        if (stddev == 0.0) return mean;
        return standard_normal() * stddev + mean;
    }
};

}  // namespace tessaron
