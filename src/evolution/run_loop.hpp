// The one loop of every run, whatever the search and whatever scores its networks: epochs of
// generations, the signal check before each generation, progress lines, the epoch records, the
// validation of each epoch's best and the hook after each epoch.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "evolution/optimizer.hpp"
#include "network/network.hpp"
#include "network/random_sources.hpp"

namespace tessaron {

// The records of at most this many epochs are reserved ahead; longer runs grow them as they go.
inline constexpr std::int32_t max_epochs_reserved = 4096;

struct EpochRecord {
    std::vector<double> losses;      // per value recorded: the mean over the epoch's generations
    std::vector<double> validation;  // empty without validation
    std::int32_t size = 0;           // the best network's node count after the epoch
};

struct RunResult {
    Network best;
    bool scored = false;  // some generation had a loss below no_loss_yet
    std::vector<EpochRecord> epochs;
};

// Runs after an epoch's record is made, with a copy of the epoch's best network; returns true to
// end the run there. May throw to abandon the run.
using EpochHook = std::function<bool(Network best, const EpochRecord& record, std::int32_t epoch)>;

// What a progress line shows after a generation.
struct Progress {
    int verbose = 1;
    bool show_size = false;
    std::int32_t epoch = 0;
    std::int32_t epochs = 0;
    std::int32_t generation = 0;  // within the epoch
    std::int32_t generations = 1;
    std::int64_t epoch_start = 0;
    const std::vector<double>* sums = nullptr;  // the generations' values so far, summed
    const EpochRecord* record = nullptr;        // after the epoch's last generation
    std::int32_t size = 0;
};

// The fields every kind of progress line shares, copied from `progress`.
template <class Line>
void fill_common_fields(Line& line, const Progress& progress) {
    line.verbose = progress.verbose;
    line.show_size = progress.show_size;
    line.size = progress.size;
    line.epoch = progress.epoch;
    line.epochs = progress.epochs;
}

// How a run scores its networks, and what its records and lines show: a dataset's batches, or
// the user's function.
class Scoring {
  public:
    virtual ~Scoring() = default;
    virtual std::int32_t generations_per_epoch() const = 0;
    // Before the first generation of every epoch.
    virtual void begin_epoch(RandomSources& sources) = 0;
    // One row per network of the pool, in the epoch's generation `generation`.
    virtual ScoreRows score(const std::vector<Network>& pool, std::int32_t generation) = 0;
    // After score: the statistics of the values the pool was given to predict, where the
    // scoring could see them; null where it could not.
    virtual const InputStatistics* inputs_seen() const { return nullptr; }
    // The values a generation adds to its epoch's record, from the best and whether the
    // generation had a usable loss.
    virtual void generation_values(const BestMember& best, bool found,
                                   std::vector<double>& values) const = 0;
    // The validation values of an epoch's best; none without validation.
    virtual std::vector<double> validate(const Network& best) = 0;
    // The console line after a generation ("" for none).
    virtual std::string progress_line(const Progress& progress, std::int64_t now) const = 0;
};

struct RunSettings {
    std::int32_t epochs = 100;
    int verbose = 1;
    bool show_size = false;  // monitors were compiled
};

// InvalidData naming the fault when `start` fails the integrity test: no search may start from
// such a network.
void check_start(const Network& start);

// A result whose network has an engine seeded from `sources` (the network is replaced at the
// end of the run; the seed keeps the place it has always had among the run's draws).
RunResult blank_result(RandomSources& sources);

// Runs the epochs of a started search. `before_generation` runs before every generation and
// may throw to abandon the run; so may scoring and `after_epoch` (which may be empty). An epoch
// of one generation records that generation's values as they are, a longer one their mean.
RunResult run_epochs(Optimizer& optimizer, Scoring& scoring, const RunSettings& settings,
                     const std::function<void()>& before_generation, const EpochHook& after_epoch,
                     RandomSources& sources, RunResult result);

}  // namespace tessaron
