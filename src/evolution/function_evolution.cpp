#include "evolution/function_evolution.hpp"

#include <algorithm>

#include "common/console.hpp"
#include "evolution/progress.hpp"

namespace tessaron {

FunctionEvolutionResult run_function_evolution(const Network& start, const FunctionEvolution& run,
                                               const ScoreFunction& score,
                                               const ValidationFunction& validate,
                                               const std::function<void()>& before_generation,
                                               const FunctionEpochHook& after_epoch) {
    FunctionEvolutionResult result;
    // A run of 2^31 - 1 epochs, to be ended by Ctrl-C, is fine: its records are made as it goes.
    result.epochs.reserve(static_cast<std::size_t>(std::min(run.epochs, max_epochs_reserved)));
    PopulationState state = initial_population(start, run.pop_size);
    for (std::int32_t epoch = 0; epoch < run.epochs; ++epoch) {
        before_generation();
        const std::int64_t generation_start = monotonic_nanoseconds();
        const bool found = next_generation(state, score);
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

}  // namespace tessaron
