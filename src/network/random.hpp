// Process-wide random sources shared by the network and variation code.
//
// Three sources exist, and which one a draw uses is fixed: the C library's rand() (activation
// kinds, choices among candidates, shuffles), each network's own engine (weights and biases), and
// the "fresh" draws of the variation operators.
#pragma once

#include <cstdint>
#include <random>

namespace tessaron {

// rand() is seeded with the time before its first use by each kind of draw; each flag triggers
// the seeding at most once per process.
void seed_activation_draws_once();
void seed_structure_draws_once();

// One value of rand(), in 0 .. RAND_MAX.
int rand_draw();

// A seed for a new network engine or a per-thread engine: unpredictable, from a per-thread
// generator seeded once from the nondeterministic random device.
std::uint32_t engine_seed();

}  // namespace tessaron
