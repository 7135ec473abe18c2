#include "evolution/function_evolution.hpp"

#include <algorithm>

#include "common/console.hpp"
#include "evolution/progress.hpp"

namespace tessaron {

namespace {

// The loop itself, for the state and generation step of either optimizer.
template <class State, class Step>
FunctionEvolutionResult run_generations(const FunctionEvolution& run, State state, Step&& step,
                                        const ScoreFunction& score,
                                        const ValidationFunction& validate,
                                        const std::function<void()>& before_generation,
                                        const FunctionEpochHook& after_epoch,
                                        RandomSources& sources) {
    FunctionEvolutionResult result{Network(NetworkEngine(sources.engine_seed())), false, {}};
    // A run of 2^31 - 1 epochs, to be ended by Ctrl-C, is fine: its records are made as it goes.
    result.epochs.reserve(static_cast<std::size_t>(std::min(run.epochs, max_epochs_reserved)));
    for (std::int32_t epoch = 0; epoch < run.epochs; ++epoch) {
        before_generation();
        const std::int64_t generation_start = monotonic_nanoseconds();
        const bool found = step(state, score);
        result.scored = result.scored || found;
        FunctionEpochRecord record;
        record.loss = found ? state.best_loss : no_loss_yet;
        record.size = state.best.size;
        if (validate) record.validation = validate(state.best);

        GenerationLine line;
        line.verbose = run.verbose;
        line.show_size = run.show_size;
        line.size = record.size;
        line.generation_start = generation_start;
        line.epoch = epoch;
        line.epochs = run.epochs;
        line.best_loss = record.loss;
        line.has_validation = static_cast<bool>(validate);
        line.validation_loss = record.validation;
        console_write(generation_line(line, monotonic_nanoseconds()));
        result.epochs.push_back(record);
        if (after_epoch && after_epoch(Network(state.best), record, epoch)) break;
    }
    result.best = std::move(state.best);
    return result;
}

}  // namespace

FunctionEvolutionResult run_function_evolution(const Network& start, const FunctionEvolution& run,
                                               const ScoreFunction& score,
                                               const ValidationFunction& validate,
                                               const std::function<void()>& before_generation,
                                               const FunctionEpochHook& after_epoch,
                                               RandomSources& sources) {
    if (!run.beta)
        return run_generations(
            run, initial_population(start, run.pop_size, sources),
            [&](PopulationState& state, const ScoreFunction& score_pool) {
                return next_generation(state, score_pool, sources);
            },
            score, validate, before_generation, after_epoch, sources);
    const bool reevaluate = run.beta->reevaluate;
    return run_generations(
        run, beta_initial_population(start, run.pop_size, *run.beta, {}, sources),
        [reevaluate](BetaState& state, const ScoreFunction& score_pool) {
            return beta_next_generation(state, score_pool, reevaluate, reevaluate);
        },
        score, validate, before_generation, after_epoch, sources);
}

}  // namespace tessaron
