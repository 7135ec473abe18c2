// The random draws of the variation operators.
//
// random_int makes the structural choices from rand(). The "fresh" draws (decisions of the
// mutation driver and of crossover, parameter steps, biases of new nodes) come from one Mersenne
// Twister per thread, seeded from the random device (mixed with the clock), or from the value
// given to seed_everything so that seeded runs repeat them; no engine is built per draw.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>

#include "network/random.hpp"

namespace tessaron {

// Uniform in low .. high inclusive, from rand() (seeded on first use of the structural draws).
// One draw reduced modulo the count, as long as a draw covers the count; wider counts join
// several draws, so that every value can come up. Throws InvalidData when low > high.
int random_int(int low, int high);

// A double in [low, high) made of two 32-bit engine outputs.
double fresh_uniform(double low, double high);

// A normal deviate; exactly `mean` when stddev is 0, NaN when stddev is NaN.
double fresh_normal(double mean, double stddev);

// c = (r1 + r2 * 2^32) / 2^64, in [0, 1): the rounding to double that would give exactly 1 gives
// the largest double below 1 instead.
inline double unit_from_words(std::uint32_t r1, std::uint32_t r2) {
    const double c =
        (static_cast<double>(r1) + static_cast<double>(r2) * 4294967296.0) / 18446744073709551616.0;
    // Values within 2^10 of 2^64 round up to 2^64 itself.
    return c < 1.0 ? c : 0x1.fffffffffffffp-1;
}

// low + c * (high - low), kept below high when rounding would reach it (and high > low).
double scale_unit(double c, double low, double high);

// The fresh draws of one thread: the engine, and the second standard normal deviate of the
// latest pair. Loops that draw many values take it once (fresh_draws) and draw from it directly;
// they draw exactly what fresh_uniform(0, 1) and fresh_normal would, in the same order.
struct FreshDraws {
    Mt19937 engine;
    double saved_normal = 0.0;
    bool normal_saved = false;
    std::uint64_t generation = no_generation;

    // fresh_uniform(0.0, 1.0).
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

    // fresh_normal(mean, stddev).
    double normal(double mean, double stddev) {
        if (stddev == 0.0) return mean;
        return standard_normal() * stddev + mean;
    }
};

// The fresh draws of the calling thread, kept in step with seed_everything.
FreshDraws& fresh_draws();

// The per-thread engine of the fresh draws.
inline Mt19937& fresh_engine() {
    return fresh_draws().engine;
}

}  // namespace tessaron
