#include "evolution/generation.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "evolution/dataset_evolution.hpp"
#include "evolution/losses.hpp"
#include "network_builders.hpp"
#include "variation/integrity.hpp"
#include "variation_support.hpp"

namespace tessaron {
namespace {

const double nan = std::numeric_limits<double>::quiet_NaN();

ScoreRows rows_of(const std::vector<double>& losses) {
    ScoreRows rows;
    for (double loss : losses) rows.push_back({loss});
    return rows;
}

TEST(SelectSurvivors, WinnersAreGroupMinimaOfTwoPasses) {
    testing::seed_rand(3);
    std::vector<double> losses;
    for (int i = 0; i < 40; ++i) losses.push_back(i * 1.5);
    std::shuffle(losses.begin(), losses.end(), std::mt19937(1));
    for (int trial = 0; trial < 200; ++trial) {
        const std::vector<std::int32_t> winners = select_survivors(rows_of(losses));
        ASSERT_EQ(winners.size(), 20u);
        // A group winner beats the three others of its group: the three worst never win, and the
        // best wins in both passes.
        const std::int32_t best = std::min_element(losses.begin(), losses.end()) - losses.begin();
        EXPECT_EQ(std::count(winners.begin(), winners.end(), best), 2);
        for (std::int32_t w : winners) {
            const auto worse = std::count_if(losses.begin(), losses.end(),
                                             [&](double l) { return l > losses[w]; });
            EXPECT_GE(worse, 3);
        }
        EXPECT_EQ(std::count(winners.begin(), winners.begin() + 10, best), 1);
    }
}

TEST(SelectSurvivors, NanRanksBelowAnyNumber) {
    testing::seed_rand(5);
    // Two NaNs among eight: each group of four holds a number, so no NaN ever wins.
    const ScoreRows rows = rows_of({nan, 4, 3, nan, 2, 8, 9, 7});
    for (int trial = 0; trial < 300; ++trial)
        for (std::int32_t w : select_survivors(rows)) EXPECT_FALSE(std::isnan(rows[w][0]));
    // All NaN, or all equal: each group is won by its first member, so every winner of a pass is
    // distinct.
    for (const ScoreRows& same : {rows_of({nan, nan, nan, nan, nan, nan, nan, nan}),
                                  rows_of({1, 1, 1, 1, 1, 1, 1, 1})}) {
        const std::vector<std::int32_t> winners = select_survivors(same);
        ASSERT_EQ(winners.size(), 4u);
        EXPECT_NE(winners[0], winners[1]);
    }
}

TEST(SelectSurvivors, SameRandStateSameWinners) {
    const ScoreRows rows = rows_of({5, 1, 4, 2, 8, 3, 7, 6, 0.5, 9, 11, 10});
    testing::seed_rand(42);
    const std::vector<std::int32_t> first = select_survivors(rows);
    testing::seed_rand(42);
    EXPECT_EQ(select_survivors(rows), first);
}

// Loss of a network: its number of nodes, so that growing is punished.
ScoreRows size_scores(const std::vector<Network>& pool) {
    ScoreRows rows;
    for (const Network& network : pool) rows.push_back({static_cast<double>(network.size), 1.0});
    return rows;
}

TEST(Generation, PoolIsParentChildAlternatingAndPopulationKeepsItsSize) {
    testing::ConsoleCapture console;
    const Network start = testing::random_network(2, 1, 3);
    PopulationState state = initial_population(start, 6);
    ASSERT_EQ(state.population.size(), 6u);
    EXPECT_TRUE(testing::same_genes(state.population[0], start));  // member 0 is unchanged
    EXPECT_TRUE(testing::same_genes(state.best, start));
    EXPECT_EQ(state.fitness, std::vector<double>(6, 0.0));
    for (int generation = 0; generation < 50; ++generation) {
        std::size_t pool_size = 0;
        const bool found = next_generation(state, [&](const std::vector<Network>& pool) {
            pool_size = pool.size();
            return size_scores(pool);
        });
        EXPECT_TRUE(found);
        EXPECT_EQ(pool_size, 12u);
        ASSERT_EQ(state.population.size(), 6u);
        ASSERT_EQ(state.rows.size(), 6u);
        for (std::size_t i = 0; i < 6; ++i) {
            EXPECT_EQ(state.rows[i][0], state.population[i].size);
            EXPECT_EQ(state.fitness[i], state.rows[i][0]);
            EXPECT_TRUE(is_valid(state.population[i]));
        }
        // The best is the first member with the lowest loss.
        const auto lowest = std::min_element(state.rows.begin(), state.rows.end()) - state.rows.begin();
        EXPECT_EQ(state.best_index, lowest);
        EXPECT_EQ(state.best_loss, state.rows[lowest][0]);
        EXPECT_TRUE(testing::same_genes(state.best, state.population[lowest]));
    }
    EXPECT_EQ(console.take(), "");
}

TEST(Generation, AllNanFirstGenerationFallsBackToMemberZero) {
    PopulationState state = initial_population(testing::random_network(1, 1, 2), 4);
    const ScoreFunction all_nan = [](const std::vector<Network>& pool) {
        return ScoreRows(pool.size(), std::vector<double>{nan});
    };
    EXPECT_FALSE(next_generation(state, all_nan));
    EXPECT_EQ(state.best_index, 0);
    EXPECT_TRUE(std::isnan(state.best_loss));
    EXPECT_TRUE(testing::same_genes(state.best, state.population[0]));
    EXPECT_EQ(state.fitness, std::vector<double>(4, HUGE_VAL));  // NaN hands over as the worst

    // Once a best exists, a generation without numbers keeps it.
    EXPECT_TRUE(next_generation(state, size_scores));
    const Network best = state.best;
    const double best_loss = state.best_loss;
    EXPECT_FALSE(next_generation(state, all_nan));
    EXPECT_TRUE(testing::same_genes(state.best, best));
    EXPECT_EQ(state.best_loss, best_loss);
}

TEST(Generation, EqualLossesMakeMemberZeroTheBest) {
    PopulationState state = initial_population(testing::random_network(2, 2, 2), 8);
    next_generation(state, [](const std::vector<Network>& pool) {
        return ScoreRows(pool.size(), std::vector<double>{0.25});
    });
    EXPECT_EQ(state.best_index, 0);
}

TEST(Generation, LowestLossOfThePoolSurvivesTwice) {
    PopulationState state = initial_population(testing::random_network(3, 1, 4), 10);
    std::vector<double> pool_losses;
    next_generation(state, [&](const std::vector<Network>& pool) {
        ScoreRows rows;
        for (std::size_t i = 0; i < pool.size(); ++i) rows.push_back({std::fmod(i * 7.0, 23.0)});  // distinct for 20 members
        for (const auto& row : rows) pool_losses.push_back(row[0]);
        return rows;
    });
    const double lowest = *std::min_element(pool_losses.begin(), pool_losses.end());
    EXPECT_EQ(std::count_if(state.rows.begin(), state.rows.end(),
                            [&](const auto& row) { return row[0] == lowest; }),
              2);
    EXPECT_EQ(state.best_loss, lowest);
}

// Scoring a population shares the inputs' node-major rows between its networks; each row must
// still equal the network scored on its own, bit for bit.
TEST(Generation, PopulationScoresEqualEachNetworkScoredAlone) {
    std::mt19937 engine(99);
    std::normal_distribution<double> normal(0.0, 1.5);
    std::vector<Network> population;
    for (std::int32_t hidden : {0, 3, 40, 7}) {
        population.push_back(testing::random_network(3, 2, hidden));
        testing::thin_out(population.back(), 0.5, engine);
    }
    for (std::int32_t rows : {1, 128, 300}) {
        SampleMatrix x(rows, 4), y(rows, 2);
        for (double& v : x.values) v = normal(engine);
        for (double& v : y.values) v = normal(engine);
        const std::vector<std::int32_t> losses{mse, mae};
        const auto scores = evaluate_population(population, all_rows(x, y), losses);
        for (std::size_t i = 0; i < population.size(); ++i) {
            const std::vector<double> alone = evaluate_losses(population[i], all_rows(x, y), losses);
            for (std::size_t k = 0; k < losses.size(); ++k)
                EXPECT_EQ(std::bit_cast<std::uint64_t>(scores[i][k]), std::bit_cast<std::uint64_t>(alone[k]))
                    << rows << " rows, network " << i << ", loss " << k;
        }
    }
}

TEST(DatasetEvolution, BatchCounts) {
    EXPECT_EQ(batch_count(100, 9), 12);
    EXPECT_EQ(batch_count(100, 10), 10);
    EXPECT_EQ(batch_count(100, 100), 1);
    EXPECT_EQ(batch_count(100, 1000), 1);
    EXPECT_EQ(batch_count(100, -1), 1);
    EXPECT_EQ(batch_count(1, 1), 1);
    // Counts where a ceiling in single precision would lose the last sample.
    EXPECT_EQ(batch_count(16777217, 1), 16777217);
    EXPECT_EQ(batch_count(16777215, 16777214), 2);
    EXPECT_EQ(batch_count(2147483647, 2147483646), 2);
}

SampleMatrix table(std::int32_t rows, std::int32_t cols, double start) {
    SampleMatrix m(rows, cols);
    for (std::size_t i = 0; i < m.values.size(); ++i) m.values[i] = start + 0.01 * i;
    return m;
}

TEST(DatasetEvolution, RecordsPerEpochAndLowersTheLoss) {
    testing::ConsoleCapture console;
    DatasetEvolution run;
    run.pop_size = 20;
    run.epochs = 25;
    run.verbose = 0;
    run.losses = {mse, mae};
    run.x = table(50, 2, -0.5);
    run.y = SampleMatrix(50, 1);
    for (std::int32_t i = 0; i < 50; ++i) run.y.row(i)[0] = 0.3 * run.x.row(i)[0] - run.x.row(i)[1];
    run.x_val = run.x;
    run.y_val = run.y;
    Network start = testing::random_network(2, 1, 1);
    const double before = evaluate_losses(start, all_rows(run.x, run.y), run.losses)[0];
    int generations = 0;
    EvolutionResult result = run_dataset_evolution(start, run, [&] { ++generations; });
    EXPECT_EQ(generations, 25);
    ASSERT_EQ(result.epochs.size(), 25u);
    for (const EpochRecord& record : result.epochs) {
        EXPECT_EQ(record.losses.size(), 2u);
        EXPECT_EQ(record.validation.size(), 2u);
    }
    // One batch: the validation figures of an epoch are those of its best on the same data.
    EXPECT_EQ(result.epochs.back().losses, result.epochs.back().validation);
    EXPECT_LE(result.epochs.back().losses[0], result.epochs.front().losses[0]);
    EXPECT_LT(result.epochs.back().losses[0], before);
    EXPECT_EQ(result.epochs.back().size, result.best.size);
    EXPECT_TRUE(is_valid(result.best));
    EXPECT_EQ(console.take(), "");
}

TEST(DatasetEvolution, SmallBatchesWarnOnceAndShuffleRowsInPairs) {
    testing::ConsoleCapture console;
    DatasetEvolution run;
    run.pop_size = 2;
    run.epochs = 3;
    run.batch_size = 3;
    run.verbose = 0;
    run.losses = {mse};
    run.x = table(40, 1, 0.0);
    run.y = run.x;  // y equal to x row by row, so any shuffle must keep them equal
    int generations = 0;
    run_dataset_evolution(testing::random_network(1, 1, 0), run, [&] { ++generations; });
    EXPECT_EQ(generations, 3 * 14);
    EXPECT_EQ(run.x.values, run.y.values);
    EXPECT_NE(run.x.values, table(40, 1, 0.0).values);
    const std::string output = console.take();
    EXPECT_EQ(output.find("WARNING! The batch size is less than 10% the number"), 0u);
    EXPECT_EQ(output.find("WARNING!", 1), std::string::npos);
}

TEST(DatasetEvolution, AbandonedRunThrowsThrough) {
    DatasetEvolution run;
    run.pop_size = 4;
    run.epochs = 5;
    run.verbose = 0;
    run.losses = {mse};
    run.x = table(10, 1, 0.0);
    run.y = table(10, 1, 1.0);
    int generations = 0;
    EXPECT_THROW(run_dataset_evolution(testing::random_network(1, 1, 1), run,
                                       [&] {
                                           if (++generations == 3) throw std::runtime_error("stop");
                                       }),
                 std::runtime_error);
}

}  // namespace
}  // namespace tessaron
