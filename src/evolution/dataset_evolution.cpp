#include "evolution/dataset_evolution.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "common/console.hpp"
#include "common/errors.hpp"
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

// What the run reads without looking: samples to score, x rows as wide as the network's inputs,
// y rows as wide as its outputs, a batch size that splits them, a known kind for every loss.
void check_samples(const SampleMatrix& x, const SampleMatrix& y, const Network& start,
                   const char* what) {
    const auto cells = [](const SampleMatrix& m) {
        return static_cast<std::size_t>(m.rows) * static_cast<std::size_t>(m.cols);
    };
    if (x.rows < 1 || x.rows != y.rows || x.cols != start.inputs || y.cols != start.outputs ||
        x.values.size() != cells(x) || y.values.size() != cells(y))
        throw InvalidData(std::string(what) + " must be " + std::to_string(start.inputs) + " and " +
                          std::to_string(start.outputs) +
                          " columns wide with the same number of rows, at least 1; got " +
                          std::to_string(x.rows) + " x " + std::to_string(x.cols) + " and " +
                          std::to_string(y.rows) + " x " + std::to_string(y.cols));
}

// Rows read in place: present, and at least as wide as the network reads them.
void check_view(const SampleView& view, const Network& start, const char* what) {
    if (view.rows < 1 || view.x == nullptr || view.y == nullptr || view.x_cols < start.inputs ||
        view.y_cols < start.outputs)
        throw InvalidData(std::string(what) + " read in place must have at least 1 row, " +
                          std::to_string(start.inputs) + " x columns and " +
                          std::to_string(start.outputs) + " y columns; got " +
                          std::to_string(view.rows) + " rows of " + std::to_string(view.x_cols) +
                          " and " + std::to_string(view.y_cols));
}

void check_run(const Network& start, const DatasetEvolution& run) {
    if (run.training_in_place)
        check_view(*run.training_in_place, start, "the training samples");
    else
        check_samples(run.x, run.y, start, "the training samples");
    if (run.x_val.has_value() != run.y_val.has_value())
        throw InvalidData("validation needs both samples and targets");
    if (run.validation_in_place)
        check_view(*run.validation_in_place, start, "the validation samples");
    else if (run.x_val)
        check_samples(*run.x_val, *run.y_val, start, "the validation samples");
    if (run.batch_size < 1 && run.batch_size != -1)
        throw InvalidData("batch_size must be positive or -1, got " +
                          std::to_string(run.batch_size));
    if (run.losses.empty()) throw InvalidData("the run has no loss to rank networks by");
    for (std::int32_t kind : run.losses)
        if (kind < 0 || kind >= static_cast<std::int32_t>(loss_names.size()))
            throw InvalidData("unknown loss kind " + std::to_string(kind));
}

// The standard deviation of each column of the targets: the scale of each output's targets.
std::vector<double> column_spreads(const SampleView& samples) {
    const std::int32_t rows = samples.rows, cols = samples.y_cols;
    std::vector<double> mean(static_cast<std::size_t>(cols), 0.0), spread(mean.size(), 0.0);
    const auto y = [&](std::int32_t r, std::int32_t c) {
        return samples.y[static_cast<std::size_t>(r) * cols + c];
    };
    for (std::int32_t r = 0; r < rows; ++r)
        for (std::int32_t c = 0; c < cols; ++c) mean[c] += y(r, c) / rows;
    for (std::int32_t r = 0; r < rows; ++r)
        for (std::int32_t c = 0; c < cols; ++c)
            spread[c] += (y(r, c) - mean[c]) * (y(r, c) - mean[c]) / rows;
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
                                const std::function<void()>& before_generation,
                                const DatasetEpochHook& after_epoch, RandomSources& sources) {
    const std::int32_t n = run.training_in_place ? run.training_in_place->rows : run.x.rows;
    const std::int32_t batch_size = run.batch_size == -1 ? n : run.batch_size;
    if (run.batch_size != -1 && batch_size < 0.1 * n) console_write(small_batch_warning);
    const std::int32_t batches = batch_count(n, run.batch_size);
    if (run.training_in_place && batches > 1)
        throw std::invalid_argument("training rows read in place cannot be shuffled into batches");
    const std::size_t kinds = run.losses.size();

    EvolutionResult result{Network(NetworkEngine(sources.engine_seed())), {}};
    // A run of 2^31 - 1 epochs, to be ended by Ctrl-C, is fine: its records are made as it goes.
    result.epochs.reserve(static_cast<std::size_t>(std::min(run.epochs, max_epochs_reserved)));
    auto state = make_state();
    std::int32_t first_batch_rows = 0;
    const ScoreFunction score = [&](const std::vector<Network>& pool) {
        if (run.training_in_place)
            return evaluate_population(pool, *run.training_in_place, run.losses);
        return evaluate_population(
            pool,
            sample_rows(run.x, run.y, first_batch_rows, std::min(batch_size, n - first_batch_rows)),
            run.losses);
    };
    const bool validated = run.validation_in_place || run.x_val;

    for (std::int32_t epoch = 0; epoch < run.epochs; ++epoch) {
        const std::int64_t epoch_start = monotonic_nanoseconds();
        if (batches > 1) shuffle_together(run.x, run.y, sources.rand);
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
        if (validated)
            record.validation =
                evaluate_losses(state.best,
                                run.validation_in_place ? *run.validation_in_place
                                                        : all_rows(*run.x_val, *run.y_val),
                                run.losses);
        line.batch_index = batches - 1;
        line.size = state.best.size;
        line.validation = validated ? &record.validation : nullptr;
        console_write(progress_line(line, monotonic_nanoseconds()));
        record.losses.resize(kinds);
        for (std::size_t k = 0; k < kinds; ++k) record.losses[k] = loss_sums[k] / batches;
        record.size = state.best.size;
        result.epochs.push_back(std::move(record));
        if (after_epoch && after_epoch(Network(state.best), result.epochs.back(), epoch)) break;
    }
    result.best = std::move(state.best);
    return result;
}

}  // namespace

EvolutionResult run_dataset_evolution(const Network& start, DatasetEvolution& run,
                                      const std::function<void()>& before_generation,
                                      const DatasetEpochHook& after_epoch,
                                      RandomSources& sources) {
    check_run(start, run);
    if (!run.beta)
        return run_generations(
            run, [&] { return initial_population(start, run.pop_size, sources); },
            [&](PopulationState& state, const ScoreFunction& score) {
                return next_generation(state, score, sources);
            },
            before_generation, after_epoch, sources);
    const SampleView training =
        run.training_in_place ? *run.training_in_place : all_rows(run.x, run.y);
    // Another batch is another task: every member is scored on it, not only the new ones.
    const bool rescore_all = run.beta->reevaluate || batch_count(training.rows, run.batch_size) > 1;
    const bool average = run.beta->reevaluate;
    return run_generations(
        run,
        [&] {
            return beta_initial_population(start, run.pop_size, *run.beta,
                                           column_spreads(training), sources);
        },
        [&](BetaState& state, const ScoreFunction& score) {
            return beta_next_generation(state, score, rescore_all, average);
        },
        before_generation, after_epoch, sources);
}

}  // namespace tessaron
