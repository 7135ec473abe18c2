// The random draws of the variation operators, from the sources passed to them (by default those
// of the calling thread).
//
// random_int makes the structural choices from the rand() sequence. The "fresh" draws (decisions
// of the mutation driver and of crossover, parameter steps, biases of new nodes) come from the
// sources' Mersenne Twister; no engine is built per draw.
#pragma once

#include <cstdint>

#include "network/random_sources.hpp"

namespace tessaron {

// Uniform in low .. high inclusive. One draw reduced modulo the count, as long as a draw covers
// the count; wider counts join several draws, so that every value can come up. Throws
// InvalidData when low > high.
int random_int(int low, int high, RandState& rand = thread_random_sources().rand);

// A double in [low, high) made of two 32-bit engine outputs.
double fresh_uniform(double low, double high, FreshDraws& fresh = thread_random_sources().fresh);

// A normal deviate; exactly `mean` when stddev is 0, NaN when stddev is NaN.
double fresh_normal(double mean, double stddev, FreshDraws& fresh = thread_random_sources().fresh);

// low + c * (high - low), kept below high when rounding would reach it (and high > low).
double scale_unit(double c, double low, double high);

}  // namespace tessaron
