// The random draws of the variation operators.
//
// random_int makes the structural choices from rand(). The "fresh" draws (decisions of the
// mutation driver and of crossover, parameter steps, biases of new nodes) come from one Mersenne
// Twister per thread, seeded from the random device (mixed with the clock), or from the value
// given to seed_everything so that seeded runs repeat them; no engine is built per draw.
#pragma once

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

// The per-thread engine of the fresh draws.
Mt19937& fresh_engine();

// c = (r1 + r2 * 2^32) / 2^64, in [0, 1): the rounding to double that would give exactly 1 gives
// the largest double below 1 instead.
double unit_from_words(std::uint32_t r1, std::uint32_t r2);

// low + c * (high - low), kept below high when rounding would reach it (and high > low).
double scale_unit(double c, double low, double high);

}  // namespace tessaron
