// The random sources of the core, held together as one object that a run takes at its start and
// passes down, and how each thread's sources are seeded.
//
// Which source a draw uses is fixed: the rand() sequence (activation kinds, choices among
// candidates, shuffles), the engine seeds (one per new network, whose own engine then draws its
// weights and biases), and the fresh draws of the variation operators.
#pragma once

#include <cstdint>
#include <random>

#include "network/random.hpp"

namespace tessaron {

struct RandomSources {
    RandState rand;
    std::mt19937 engine_seeds;
    FreshDraws fresh;

    // The seed of a new network's engine.
    std::uint32_t engine_seed() { return engine_seeds(); }
};

// The sources the calling thread draws from: those of its innermost SeededScope, or else its own.
// A thread's own sources start from the random device mixed with the clock, or from the value
// given to seed_everything, and restart from that value whenever it is given again (each thread
// at its next draw). A child made by fork() of a process that was never seeded starts afresh.
// Only the calling thread may use them.
RandomSources& thread_random_sources();

// Makes every thread's own sources restart from `value` at their next draw, for good: the same
// sequence of calls on a thread then gives the same draws.
void seed_everything(std::uint64_t value);

// The sources that a thread's own have right after seed_everything(value).
void seed_sources(RandomSources& sources, std::uint64_t value);

// While it lives, the calling thread draws from sources of its own seeded from `value` as
// seed_everything(value) seeds a thread's sources; the thread's own sources, and every other
// thread's, stay as they were. Scopes nest, and end in the reverse order of their start on the
// thread that started them.
class SeededScope {
  public:
    explicit SeededScope(std::uint64_t value);
    ~SeededScope();
    SeededScope(const SeededScope&) = delete;
    SeededScope& operator=(const SeededScope&) = delete;
};

// The same for a scope that is entered and left by separate calls (a Python context manager):
// start_seeded_scope returns the depth of the new scope on the calling thread, end_seeded_scope
// ends it when it is the innermost one there and returns false otherwise, changing nothing.
int start_seeded_scope(std::uint64_t value);
bool end_seeded_scope(int depth);

}  // namespace tessaron
