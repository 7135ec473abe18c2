#include "evolution/run_loop.hpp"

#include <algorithm>

#include "common/console.hpp"
#include "common/errors.hpp"
#include "evolution/progress.hpp"
#include "network/integrity.hpp"

namespace tessaron {
namespace {

struct EpochTotals {
    std::vector<double> sums;
    std::vector<double> values;  // of the latest generation
    double size_sum = 0.0;
    std::int64_t start = 0;
};

// One generation: ask, score, tell, and the best's values added to the epoch's totals.
void breed_and_score(Optimizer& optimizer, Scoring& scoring, std::int32_t generation,
                     EpochTotals& totals, bool& scored) {
    const std::vector<Network>& pool = optimizer.ask();
    ScoreRows rows;
    if (!pool.empty()) {
        rows = scoring.score(pool, generation);
        if (const InputStatistics* seen = scoring.inputs_seen()) optimizer.observe_inputs(*seen);
    }
    const bool found = optimizer.tell(std::move(rows));
    scored = scored || found;
    const BestMember best = optimizer.best();
    scoring.generation_values(best, found, totals.values);
    if (generation == 0) totals.sums.assign(totals.values.size(), 0.0);
    for (std::size_t k = 0; k < totals.sums.size(); ++k) totals.sums[k] += totals.values[k];
    totals.size_sum += best.network.size;
}

EpochRecord epoch_record(Optimizer& optimizer, Scoring& scoring, const EpochTotals& totals,
                         std::int32_t generations) {
    EpochRecord record;
    const Network& best = optimizer.best().network;
    record.validation = scoring.validate(best);
    record.losses = totals.values;
    if (generations > 1)
        for (std::size_t k = 0; k < record.losses.size(); ++k)
            record.losses[k] = totals.sums[k] / generations;
    record.size = best.size;
    return record;
}

EpochRecord run_epoch(Optimizer& optimizer, Scoring& scoring, const RunSettings& settings,
                      const std::function<void()>& before_generation, std::int32_t epoch,
                      RandomSources& sources, bool& scored) {
    const std::int32_t generations = scoring.generations_per_epoch();
    EpochTotals totals;
    Progress progress;
    progress.verbose = settings.verbose;
    progress.show_size = settings.show_size;
    progress.epoch = epoch;
    progress.epochs = settings.epochs;
    progress.generations = generations;
    progress.sums = &totals.sums;
    for (std::int32_t generation = 0; generation < generations; ++generation) {
        before_generation();
        if (generation == 0) {
            totals.start = monotonic_nanoseconds();
            progress.epoch_start = totals.start;
            scoring.begin_epoch(sources);
        }
        breed_and_score(optimizer, scoring, generation, totals, scored);
        if (generation < generations - 1) {
            progress.generation = generation;
            progress.size = static_cast<std::int32_t>(totals.size_sum / (generation + 1));
            console_write(scoring.progress_line(progress, monotonic_nanoseconds()));
        }
    }
    EpochRecord record = epoch_record(optimizer, scoring, totals, generations);
    progress.generation = generations - 1;
    progress.record = &record;
    progress.size = record.size;
    console_write(scoring.progress_line(progress, monotonic_nanoseconds()));
    return record;
}

}  // namespace

void check_start(const Network& start) {
    const IntegrityFault fault = find_integrity_fault(start);
    if (fault.kind != IntegrityFault::none)
        throw InvalidData("the network to evolve is not valid: " + describe(fault, start));
}

RunResult blank_result(RandomSources& sources) {
    return RunResult{Network(NetworkEngine(sources.engine_seed())), false, {}};
}

RunResult run_epochs(Optimizer& optimizer, Scoring& scoring, const RunSettings& settings,
                     const std::function<void()>& before_generation, const EpochHook& after_epoch,
                     RandomSources& sources, RunResult result) {
    // A run of 2^31 - 1 epochs, to be ended by Ctrl-C, is fine: its records are made as it goes.
    result.epochs.reserve(static_cast<std::size_t>(std::min(settings.epochs, max_epochs_reserved)));
    for (std::int32_t epoch = 0; epoch < settings.epochs; ++epoch) {
        result.epochs.push_back(run_epoch(optimizer, scoring, settings, before_generation, epoch,
                                          sources, result.scored));
        if (after_epoch &&
            after_epoch(Network(optimizer.best().network), result.epochs.back(), epoch))
            break;
    }
    result.best = optimizer.best().network;
    return result;
}

}  // namespace tessaron
