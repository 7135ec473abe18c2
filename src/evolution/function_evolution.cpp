#include "evolution/function_evolution.hpp"

#include "evolution/progress.hpp"

namespace tessaron {
namespace {

class FunctionScoring final : public Scoring {
  public:
    FunctionScoring(const ScoreFunction& score, const ValidationFunction& validate,
                    const InputStatistics* inputs_seen)
        : score_(score), validate_(validate), inputs_seen_(inputs_seen) {}

    std::int32_t generations_per_epoch() const override { return 1; }
    void begin_epoch(RandomSources&) override {}
    ScoreRows score(const std::vector<Network>& pool, std::int32_t) override {
        return score_(pool);
    }
    const InputStatistics* inputs_seen() const override { return inputs_seen_; }
    void generation_values(const BestMember& best, bool found,
                           std::vector<double>& values) const override {
        values.assign(1, found ? best.row[0] : no_loss_yet);
    }
    std::vector<double> validate(const Network& best) override {
        if (!validate_) return {};
        return {validate_(best)};
    }

    std::string progress_line(const Progress& progress, std::int64_t now) const override {
        if (progress.record == nullptr) return {};
        GenerationLine line;
        fill_common_fields(line, progress);
        line.generation_start = progress.epoch_start;
        line.best_loss = progress.record->losses[0];
        line.has_validation = !progress.record->validation.empty();
        if (line.has_validation) line.validation_loss = progress.record->validation[0];
        return generation_line(line, now);
    }

  private:
    const ScoreFunction& score_;
    const ValidationFunction& validate_;
    const InputStatistics* inputs_seen_;
};

}  // namespace

RunResult run_function_evolution(const Network& start, const FunctionEvolution& run,
                                 Optimizer& optimizer, const ScoreFunction& score,
                                 const ValidationFunction& validate,
                                 const std::function<void()>& before_generation,
                                 const EpochHook& after_epoch, RandomSources& sources) {
    check_start(start);
    RunContext context;
    context.pop_size = run.pop_size;
    context.sources = &sources;
    optimizer.start(start, context);
    // The network handed back draws its engine's seed after the population's, as it always has.
    RunResult result = blank_result(sources);
    FunctionScoring scoring(score, validate, run.inputs_seen.get());
    return run_epochs(optimizer, scoring, {run.epochs, run.verbose, run.show_size},
                      before_generation, after_epoch, sources, std::move(result));
}

}  // namespace tessaron
