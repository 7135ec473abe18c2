// Evolution of a network on a labelled dataset: one generation per batch, scored by the compiled
// losses.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "evolution/losses.hpp"
#include "evolution/optimizer.hpp"
#include "evolution/run_loop.hpp"
#include "network/network.hpp"
#include "network/random_sources.hpp"
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
};

// Generations per epoch for n samples: ceil(n / batch_size), with -1 meaning one.
std::int32_t batch_count(std::int32_t samples, std::int32_t batch_size);

// Runs the whole evolution from `start` with `optimizer`, drawing from `sources`. The record of
// an epoch holds, per loss, the mean over its batches of the best network's values, and the
// validation losses of its best. `before_generation` runs before every generation and may throw
// to abandon the run; so may `after_epoch` (which may be empty). Progress lines and the
// small-batch warning go to the console. Throws InvalidData before anything is drawn for samples
// that do not fit the network, a batch size below 1 other than -1, training rows read in place
// that would need shuffling, no loss or an unknown loss kind, and a start that fails the
// integrity test; and (from the optimizer) for a population it cannot breed.
RunResult run_dataset_evolution(const Network& start, DatasetEvolution& run, Optimizer& optimizer,
                                const std::function<void()>& before_generation,
                                const EpochHook& after_epoch = {},
                                RandomSources& sources = thread_random_sources());

}  // namespace tessaron
