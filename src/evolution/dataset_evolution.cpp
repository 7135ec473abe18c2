#include "evolution/dataset_evolution.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "common/console.hpp"
#include "common/errors.hpp"
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

// The standard deviation of each of the first `cols` columns of rows `stride` values apart.
std::vector<double> column_spreads(const double* values, std::size_t stride, std::int32_t rows,
                                   std::int32_t cols) {
    std::vector<double> mean(static_cast<std::size_t>(cols), 0.0), spread(mean.size(), 0.0);
    const auto at = [&](std::int32_t r, std::int32_t c) {
        return values[static_cast<std::size_t>(r) * stride + static_cast<std::size_t>(c)];
    };
    for (std::int32_t r = 0; r < rows; ++r)
        for (std::int32_t c = 0; c < cols; ++c) mean[c] += at(r, c) / rows;
    for (std::int32_t r = 0; r < rows; ++r)
        for (std::int32_t c = 0; c < cols; ++c)
            spread[c] += (at(r, c) - mean[c]) * (at(r, c) - mean[c]) / rows;
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

// Scores on the batch of each generation (the training rows in place, or the run's own copy
// shuffled every epoch), records the best's value of every loss, validates on the validation
// rows.
class DatasetScoring final : public Scoring {
  public:
    explicit DatasetScoring(DatasetEvolution& run) : run_(run) {
        samples_ = run.training_in_place ? run.training_in_place->rows : run.x.rows;
        batch_size_ = run.batch_size == -1 ? samples_ : run.batch_size;
        if (run.batch_size != -1 && batch_size_ < 0.1 * samples_)
            console_write(small_batch_warning);
        batches_ = batch_count(samples_, run.batch_size);
        if (run.training_in_place && batches_ > 1)
            throw InvalidData("training rows read in place cannot be shuffled into batches");
    }

    std::int32_t generations_per_epoch() const override { return batches_; }
    std::int32_t samples_per_score() const { return std::min(batch_size_, samples_); }

    void begin_epoch(RandomSources& sources) override {
        if (batches_ > 1) shuffle_together(run_.x, run_.y, sources.rand);
    }

    ScoreRows score(const std::vector<Network>& pool, std::int32_t batch) override {
        if (run_.training_in_place)
            return evaluate_population(pool, *run_.training_in_place, run_.losses);
        const std::int32_t first = batch * batch_size_;
        return evaluate_population(
            pool, sample_rows(run_.x, run_.y, first, std::min(batch_size_, samples_ - first)),
            run_.losses);
    }

    void generation_values(const BestMember& best, bool,
                           std::vector<double>& values) const override {
        values.assign(best.row.begin(), best.row.begin() + static_cast<std::ptrdiff_t>(kinds()));
    }

    std::vector<double> validate(const Network& best) override {
        if (run_.validation_in_place)
            return evaluate_losses(best, *run_.validation_in_place, run_.losses);
        if (run_.x_val)
            return evaluate_losses(best, all_rows(*run_.x_val, *run_.y_val), run_.losses);
        return {};
    }

    std::string progress_line(const Progress& progress, std::int64_t now) const override {
        ProgressLine line;
        fill_common_fields(line, progress);
        line.loss_kinds = &run_.losses;
        line.epoch_start = progress.epoch_start;
        line.batch_index = progress.generation;
        line.batch_count = progress.generations;
        line.loss_sums = progress.sums;
        const bool validated = run_.validation_in_place || run_.x_val;
        line.validation =
            progress.record != nullptr && validated ? &progress.record->validation : nullptr;
        return tessaron::progress_line(line, now);
    }

    // Column spreads of the training targets and of the first `inputs` columns of the samples,
    // for the optimizer's start.
    std::vector<double> target_scales() const {
        const SampleView rows = training();
        return column_spreads(rows.y, static_cast<std::size_t>(rows.y_cols), rows.rows,
                              rows.y_cols);
    }
    std::vector<double> input_scales(std::int32_t inputs) const {
        const SampleView rows = training();
        return column_spreads(rows.x, rows.x_stride, rows.rows, inputs);
    }

  private:
    std::size_t kinds() const { return run_.losses.size(); }
    SampleView training() const {
        return run_.training_in_place ? *run_.training_in_place : all_rows(run_.x, run_.y);
    }

    DatasetEvolution& run_;
    std::int32_t samples_ = 0, batch_size_ = 0, batches_ = 1;
};

}  // namespace

RunResult run_dataset_evolution(const Network& start, DatasetEvolution& run, Optimizer& optimizer,
                                const std::function<void()>& before_generation,
                                const EpochHook& after_epoch, RandomSources& sources) {
    check_run(start, run);
    check_start(start);
    DatasetScoring scoring(run);
    RunResult result = blank_result(sources);
    RunContext context;
    context.pop_size = run.pop_size;
    context.target_scales = scoring.target_scales();
    context.input_scales = scoring.input_scales(start.inputs);
    context.comparable_scores = scoring.generations_per_epoch() == 1;
    context.repeatable_scores = context.comparable_scores;
    context.samples_per_score = scoring.samples_per_score();
    context.softmax_loss = run.losses.front() == categorical_crossentropy;
    context.sources = &sources;
    optimizer.start(start, context);
    return run_epochs(optimizer, scoring, {run.epochs, run.verbose, run.show_size},
                      before_generation, after_epoch, sources, std::move(result));
}

}  // namespace tessaron
