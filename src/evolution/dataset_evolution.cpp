#include "evolution/dataset_evolution.hpp"

#include <algorithm>
#include <cmath>

#include "common/console.hpp"
#include "evolution/generation.hpp"
#include "evolution/losses.hpp"
#include "evolution/progress.hpp"
#include "network/shuffle.hpp"

namespace tessaron {
namespace {

constexpr const char* small_batch_warning =
    "WARNING! The batch size is less than 10% the number of samples in your dataset. If the "
    "dataset is highly nonlinear, individual batches may not represent your dataset correctly and "
    "the loss can be extremely underestimated. Make sure to use a validation set to monitor the "
    "actual loss closely.\n";

// The standard deviation of each column of y: the scale of each output's targets.
std::vector<double> column_spreads(const SampleMatrix& y) {
    std::vector<double> mean(static_cast<std::size_t>(y.cols), 0.0), spread(mean.size(), 0.0);
    for (std::int32_t r = 0; r < y.rows; ++r)
        for (std::int32_t c = 0; c < y.cols; ++c) mean[c] += y.row(r)[c] / y.rows;
    for (std::int32_t r = 0; r < y.rows; ++r)
        for (std::int32_t c = 0; c < y.cols; ++c)
            spread[c] += (y.row(r)[c] - mean[c]) * (y.row(r)[c] - mean[c]) / y.rows;
    for (double& s : spread) s = std::sqrt(s);
    return spread;
}

}  // namespace

std::int32_t batch_count(std::int32_t samples, std::int32_t batch_size) {
    if (batch_size == -1 || batch_size >= samples) return 1;
    // Whole numbers: a ceiling taken in single precision can drop the last samples, or add an
    // empty batch, once the counts pass 2^24.
    return static_cast<std::int32_t>((static_cast<std::int64_t>(samples) + batch_size - 1) /
                                     batch_size);
}

namespace {

// The loop itself, for the state and generation step of either optimizer.
template <class MakeState, class Step>
EvolutionResult run_generations(DatasetEvolution& run, MakeState&& make_state, Step&& step,
                                const std::function<void()>& before_generation) {
    const std::int32_t n = run.x.rows;
    const std::int32_t batch_size = run.batch_size == -1 ? n : run.batch_size;
    if (run.batch_size != -1 && batch_size < 0.1 * n) console_write(small_batch_warning);
    const std::int32_t batches = batch_count(n, run.batch_size);
    const std::size_t kinds = run.losses.size();

    EvolutionResult result;
    // A run of 2^31 - 1 epochs, to be ended by Ctrl-C, is fine: its records are made as it goes.
    result.epochs.reserve(static_cast<std::size_t>(std::min(run.epochs, max_epochs_reserved)));
    auto state = make_state();
    std::int32_t first_batch_rows = 0;
    const ScoreFunction score = [&](const std::vector<Network>& pool) {
        return evaluate_population(
            pool, sample_rows(run.x, run.y, first_batch_rows, std::min(batch_size, n - first_batch_rows)),
            run.losses);
    };

    for (std::int32_t epoch = 0; epoch < run.epochs; ++epoch) {
        const std::int64_t epoch_start = monotonic_nanoseconds();
        if (batches > 1) shuffle_together(run.x, run.y);
        std::vector<double> loss_sums(kinds, 0.0);
        double size_sum = 0.0;
        ProgressLine line;
        line.verbose = run.verbose;
        line.show_size = run.show_size;
        line.loss_kinds = &run.losses;
        line.epoch_start = epoch_start;
        line.epoch = epoch;
        line.epochs = run.epochs;
        line.batch_count = batches;
        line.loss_sums = &loss_sums;
        for (std::int32_t batch = 0; batch < batches; ++batch) {
            before_generation();
            first_batch_rows = batch * batch_size;
            step(state, score);
            const std::vector<double>& best_row = state.rows[state.best_index];
            for (std::size_t k = 0; k < kinds; ++k) loss_sums[k] += best_row[k];
            size_sum += state.best.size;
            if (batch < batches - 1) {
                line.batch_index = batch;
                line.size = static_cast<std::int32_t>(size_sum / (batch + 1));
                console_write(progress_line(line, monotonic_nanoseconds()));
            }
        }
        EpochRecord record;
        if (run.x_val)
            record.validation = evaluate_losses(state.best, all_rows(*run.x_val, *run.y_val), run.losses);
        line.batch_index = batches - 1;
        line.size = state.best.size;
        line.validation = run.x_val ? &record.validation : nullptr;
        console_write(progress_line(line, monotonic_nanoseconds()));
        record.losses.resize(kinds);
        for (std::size_t k = 0; k < kinds; ++k) record.losses[k] = loss_sums[k] / batches;
        record.size = state.best.size;
        result.epochs.push_back(std::move(record));
    }
    result.best = std::move(state.best);
    return result;
}

}  // namespace

EvolutionResult run_dataset_evolution(const Network& start, DatasetEvolution& run,
                                      const std::function<void()>& before_generation) {
    if (!run.beta)
        return run_generations(
            run, [&] { return initial_population(start, run.pop_size); }, next_generation,
            before_generation);
    // Another batch is another task: every member is scored on it, not only the new ones.
    const bool rescore_all = run.beta->reevaluate || batch_count(run.x.rows, run.batch_size) > 1;
    const bool average = run.beta->reevaluate;
    return run_generations(
        run, [&] { return beta_initial_population(start, run.pop_size, *run.beta, column_spreads(run.y)); },
        [&](BetaState& state, const ScoreFunction& score) {
            return beta_next_generation(state, score, rescore_all, average);
        },
        before_generation);
}

}  // namespace tessaron
