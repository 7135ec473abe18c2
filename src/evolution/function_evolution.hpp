// Evolution of a network against a fitness function: one generation per epoch, scored by a
// caller-supplied function.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "evolution/beta.hpp"
#include "evolution/generation.hpp"
#include "network/network.hpp"

namespace tessaron {

struct FunctionEvolution {
    std::int32_t pop_size = 100;
    std::int32_t epochs = 100;
    int verbose = 1;
    bool show_size = false;            // monitors were compiled
    std::optional<BetaSettings> beta;  // evolve with Beta instead of Alpha
};

struct FunctionEpochRecord {
    double loss = 0.0;        // the generation's best loss (no_loss_yet when none was a number)
    double validation = 0.0;  // the validation function's result for the best network
    std::int32_t size = 0;    // the best network's node count
};

struct FunctionEvolutionResult {
    Network best;
    bool scored = false;  // some generation had a loss that was a number: best was ever ranked
    std::vector<FunctionEpochRecord> epochs;
};

// Scores the best network of an epoch.
using ValidationFunction = std::function<double(const Network& best)>;

// Runs after an epoch's record is made, with a copy of the epoch's best network; returns true to
// end the run there.
using FunctionEpochHook =
    std::function<bool(Network best, const FunctionEpochRecord& record, std::int32_t epoch)>;

// Runs the evolution from `start`. `before_generation` runs before every generation and may throw
// to abandon the run; so may `score`, `validate` and `after_epoch` (the last two may be empty).
FunctionEvolutionResult run_function_evolution(const Network& start, const FunctionEvolution& run,
                                               const ScoreFunction& score,
                                               const ValidationFunction& validate,
                                               const std::function<void()>& before_generation,
                                               const FunctionEpochHook& after_epoch = {},
                                               RandomSources& sources = thread_random_sources());

}  // namespace tessaron
