// Evolution of a network on a labelled dataset: one generation per batch, scored by the compiled
// losses.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "evolution/beta.hpp"
#include "evolution/losses.hpp"
#include "network/network.hpp"
#include "network/sample_matrix.hpp"

namespace tessaron {

struct DatasetEvolution {
    std::int32_t pop_size = 100;
    std::int32_t batch_size = -1;  // -1: all samples
    std::int32_t epochs = 100;
    int verbose = 1;
    std::vector<std::int32_t> losses;  // the loss, then the metrics
    bool show_size = false;            // monitors were compiled
    SampleMatrix x, y;                 // shuffled in place between epochs
    std::optional<SampleMatrix> x_val, y_val;
    // Rows read where they lie instead of x and y, or of x_val and y_val: data that the caller
    // keeps alive and unchanged for the whole run. Training rows only for a single batch, which
    // is never shuffled.
    std::optional<SampleView> training_in_place, validation_in_place;
    std::optional<BetaSettings> beta;  // evolve with Beta instead of Alpha
};

struct EpochRecord {
    std::vector<double> losses;      // per entry of `losses`: the mean over the epoch's generations
    std::vector<double> validation;  // empty without validation data
    std::int32_t size = 0;           // the best network's node count after the epoch
};

struct EvolutionResult {
    Network best;
    std::vector<EpochRecord> epochs;
};

// Generations per epoch for n samples: ceil(n / batch_size), with -1 meaning one.
std::int32_t batch_count(std::int32_t samples, std::int32_t batch_size);

// Runs after an epoch's record is made, with a copy of the epoch's best network; returns true to
// end the run there. May throw to abandon the run.
using DatasetEpochHook =
    std::function<bool(Network best, const EpochRecord& record, std::int32_t epoch)>;

// Runs the whole evolution from `start`. `before_generation` runs before every generation and
// may throw to abandon the run; so may `after_epoch` (which may be empty). Progress lines and the
// small-batch warning go to the console. Throws InvalidData before anything is drawn for samples
// that do not fit the network, a batch size below 1 other than -1, no loss or an unknown loss
// kind, and (from the generation step) a population it cannot breed.
EvolutionResult run_dataset_evolution(const Network& start, DatasetEvolution& run,
                                      const std::function<void()>& before_generation,
                                      const DatasetEpochHook& after_epoch = {},
                                      RandomSources& sources = thread_random_sources());

}  // namespace tessaron
