// Evolution of a network against a fitness function: one generation per epoch, scored by a
// caller-supplied function.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "evolution/optimizer.hpp"
#include "evolution/run_loop.hpp"
#include "network/network.hpp"
#include "network/random_sources.hpp"

namespace tessaron {

struct FunctionEvolution {
    std::int32_t pop_size = 100;
    std::int32_t epochs = 100;
    int verbose = 1;
    bool show_size = false;  // monitors were compiled
    // Refilled by every scoring with what the pool was given to predict; null where the run
    // does not watch it.
    std::shared_ptr<const InputStatistics> inputs_seen;
};

// Scores the best network of an epoch.
using ValidationFunction = std::function<double(const Network& best)>;

// Runs the evolution from `start` with `optimizer`, drawing from `sources`. The record of an
// epoch holds one loss, the generation's best loss (no_loss_yet when none was a number), and the
// validation function's result for the best network when there is one. `before_generation` runs
// before every generation and may throw to abandon the run; so may `score`, `validate` and
// `after_epoch` (the last two may be empty). Throws InvalidData, before anything is drawn, for a
// start that fails the integrity test.
RunResult run_function_evolution(const Network& start, const FunctionEvolution& run,
                                 Optimizer& optimizer, const ScoreFunction& score,
                                 const ValidationFunction& validate,
                                 const std::function<void()>& before_generation,
                                 const EpochHook& after_epoch = {},
                                 RandomSources& sources = thread_random_sources());

}  // namespace tessaron
