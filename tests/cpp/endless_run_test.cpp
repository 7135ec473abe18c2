// Runs asked for "as many epochs as an int holds", to be ended from outside: they start at once
// and stop cleanly when their signal check throws.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>

#include "evolution/dataset_evolution.hpp"
#include "evolution/function_evolution.hpp"
#include "evolution/losses.hpp"
#include "evolution/optimizers/alpha.hpp"
#include "network_builders.hpp"

namespace tessaron {
namespace {

constexpr std::int32_t endless = std::numeric_limits<std::int32_t>::max();

struct Interrupted : std::runtime_error {
    Interrupted() : std::runtime_error("interrupted") {}
};

// A signal check that lets `generations` generations run, then throws.
auto stop_after(int generations, int& checks) {
    return [generations, &checks] {
        if (++checks > generations) throw Interrupted();
    };
}

TEST(EndlessRuns, FunctionEvolutionStopsAtItsSignalCheck) {
    const Network start = testing::random_network(2, 1, 2);
    FunctionEvolution run;
    run.pop_size = 4;
    run.epochs = endless;
    run.verbose = 0;
    int scored = 0, checks = 0;
    const ScoreFunction score = [&](const std::vector<Network>& pool) {
        ++scored;
        return ScoreRows(pool.size(), std::vector<double>{1.0});
    };
    EXPECT_THROW(
        run_function_evolution(start, run, *make_alpha(), score, {}, stop_after(3, checks)),
        Interrupted);
    EXPECT_EQ(scored, 3);
    EXPECT_EQ(checks, 4);
}

TEST(EndlessRuns, DatasetEvolutionStopsAtItsSignalCheck) {
    const Network start = testing::random_network(2, 1, 2);
    DatasetEvolution run;
    run.pop_size = 4;
    run.epochs = endless;
    run.verbose = 0;
    run.losses = {mse};
    run.x = SampleMatrix(6, 2);
    run.y = SampleMatrix(6, 1);
    int checks = 0;
    EXPECT_THROW(run_dataset_evolution(start, run, *make_alpha(), stop_after(5, checks)),
                 Interrupted);
    EXPECT_EQ(checks, 6);
}

}  // namespace
}  // namespace tessaron
