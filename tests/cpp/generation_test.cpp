#include "evolution/optimizers/alpha.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <string>

#include "common/errors.hpp"
#include "evolution/dataset_evolution.hpp"
#include "evolution/losses.hpp"
#include "network/integrity.hpp"
#include "network/random.hpp"
#include "network/shuffle.hpp"
#include "network_builders.hpp"
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
    for (const ScoreRows& same :
         {rows_of({nan, nan, nan, nan, nan, nan, nan, nan}), rows_of({1, 1, 1, 1, 1, 1, 1, 1})}) {
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

// The winners that the rule "a strictly lower loss takes over" gives, with the groups formed as
// select_survivors forms them: each pass shuffles the pool's indices once more. Counts the groups
// whose lowest loss is shared in `ties`.
std::vector<std::int32_t> first_lowest_of_groups(const ScoreRows& rows, int& ties) {
    std::vector<std::int32_t> order(rows.size());
    std::iota(order.begin(), order.end(), 0);
    std::vector<std::size_t> permutation;
    std::vector<std::int32_t> winners;
    for (int pass = 0; pass < 2; ++pass) {
        draw_permutation(rows.size(), permutation);
        apply_permutation(permutation,
                          [&](std::size_t i, std::size_t j) { std::swap(order[i], order[j]); });
        for (std::size_t group = 0; group + 4 <= rows.size(); group += 4) {
            const auto first = order.begin() + group, last = first + 4;
            const auto lowest = std::min_element(first, last, [&](std::int32_t a, std::int32_t b) {
                return rows[a][0] < rows[b][0];
            });
            winners.push_back(*lowest);  // min_element keeps the first of equal elements
            ties += std::count_if(first, last, [&](std::int32_t m) {
                        return rows[m][0] == rows[*lowest][0];
                    }) > 1;
        }
    }
    return winners;
}

TEST(SelectSurvivors, TiesGoToTheEarlierMemberOfAGroup) {
    // Many equal losses: most groups share their lowest.
    const ScoreRows rows = rows_of({2, 1, 1, 3, 1, 2, 1, 1, 3, 1, 1, 2, 1, 1, 2, 1});
    int ties = 0;
    for (unsigned seed = 1; seed <= 30; ++seed) {
        testing::seed_rand(seed);
        const std::vector<std::int32_t> winners = select_survivors(rows);
        testing::seed_rand(seed);
        ASSERT_EQ(winners, first_lowest_of_groups(rows, ties)) << "seed " << seed;
    }
    EXPECT_GT(ties, 100);  // of 240 groups: the rule was put to the test
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
        const auto lowest =
            std::min_element(state.rows.begin(), state.rows.end()) - state.rows.begin();
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
        for (std::size_t i = 0; i < pool.size(); ++i)
            rows.push_back({std::fmod(i * 7.0, 23.0)});  // distinct for 20 members
        for (const auto& row : rows) pool_losses.push_back(row[0]);
        return rows;
    });
    const double lowest = *std::min_element(pool_losses.begin(), pool_losses.end());
    EXPECT_EQ(std::count_if(state.rows.begin(), state.rows.end(),
                            [&](const auto& row) { return row[0] == lowest; }),
              2);
    EXPECT_EQ(state.best_loss, lowest);
}

TEST(Generation, RefusesPopulationsItCannotBreed) {
    const Network start = testing::random_network(2, 1, 2);
    for (std::int32_t pop_size : {-2, 0, 1, 5}) {
        try {
            initial_population(start, pop_size);
            ADD_FAILURE() << pop_size;
        } catch (const InvalidData& error) {
            EXPECT_EQ(
                std::string(error.what()),
                "pop_size must be an even number of at least 2, got " + std::to_string(pop_size));
        }
    }
    EXPECT_THROW(initial_population(Network(), 4), InvalidData);

    // A population that lost a member (or its fitness values) is refused before anything changes.
    PopulationState state = initial_population(start, 6);
    state.population.pop_back();
    state.fitness.pop_back();
    bool scored = false;
    const ScoreFunction score = [&](const std::vector<Network>& pool) {
        scored = true;
        return size_scores(pool);
    };
    EXPECT_THROW(next_generation(state, score), InvalidData);
    EXPECT_EQ(state.population.size(), 5u);
    state.population.pop_back();
    EXPECT_THROW(next_generation(state, score), InvalidData);  // 4 members, 5 fitness values
    EXPECT_FALSE(scored);
    state.fitness.pop_back();
    EXPECT_TRUE(next_generation(state, score));

    // Scores that do not give one loss per pool member.
    for (const ScoreFunction& wrong : {ScoreFunction([](const std::vector<Network>& pool) {
                                           return ScoreRows(pool.size() - 1,
                                                            std::vector<double>{1.0});
                                       }),
                                       ScoreFunction([](const std::vector<Network>& pool) {
                                           return ScoreRows(pool.size(), std::vector<double>{});
                                       })}) {
        PopulationState fresh = initial_population(start, 4);
        EXPECT_THROW(next_generation(fresh, wrong), InvalidData);
    }
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
            const std::vector<double> alone =
                evaluate_losses(population[i], all_rows(x, y), losses);
            for (std::size_t k = 0; k < losses.size(); ++k)
                EXPECT_EQ(std::bit_cast<std::uint64_t>(scores[i][k]),
                          std::bit_cast<std::uint64_t>(alone[k]))
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

TEST(DatasetEvolution, RefusesRunsItCannotScore) {
    const Network start = testing::random_network(2, 1, 1);
    const auto good = [] {
        DatasetEvolution run;
        run.pop_size = 4;
        run.epochs = 1;
        run.verbose = 0;
        run.losses = {mse};
        run.x = table(8, 2, 0.0);
        run.y = table(8, 1, 1.0);
        return run;
    };
    const std::vector<std::function<void(DatasetEvolution&)>> faults = {
        [](DatasetEvolution& run) { run.pop_size = 5; },
        [](DatasetEvolution& run) { run.pop_size = 0; },
        [](DatasetEvolution& run) { run.batch_size = 0; },
        [](DatasetEvolution& run) { run.losses.clear(); },
        [](DatasetEvolution& run) {
            run.losses = {mse, static_cast<std::int32_t>(loss_names.size())};
        },
        [](DatasetEvolution& run) { run.x = table(0, 2, 0.0), run.y = table(0, 1, 0.0); },
        [](DatasetEvolution& run) { run.y = table(7, 1, 0.0); },
        [](DatasetEvolution& run) { run.x = table(8, 1, 0.0); },
        [](DatasetEvolution& run) { run.y = table(8, 2, 0.0); },
        [](DatasetEvolution& run) { run.x_val = run.x; },
        [](DatasetEvolution& run) { run.x_val = table(3, 2, 0.0), run.y_val = table(3, 3, 0.0); },
    };
    for (std::size_t i = 0; i < faults.size(); ++i) {
        DatasetEvolution run = good();
        faults[i](run);
        int generations = 0;
        EXPECT_THROW(run_dataset_evolution(start, run, *make_alpha(), [&] { ++generations; }),
                     InvalidData)
            << i;
        EXPECT_EQ(generations, 0) << i;
    }
    DatasetEvolution run = good();
    EXPECT_EQ(run_dataset_evolution(start, run, *make_alpha(), [] {}).epochs.size(), 1u);
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
    RunResult result = run_dataset_evolution(start, run, *make_alpha(), [&] { ++generations; });
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
    run_dataset_evolution(testing::random_network(1, 1, 0), run, *make_alpha(),
                          [&] { ++generations; });
    EXPECT_EQ(generations, 3 * 14);
    EXPECT_EQ(run.x.values, run.y.values);
    EXPECT_NE(run.x.values, table(40, 1, 0.0).values);
    const std::string output = console.take();
    EXPECT_EQ(output.find("WARNING! The batch size is less than 10% the number"), 0u);
    EXPECT_EQ(output.find("WARNING!", 1), std::string::npos);
}

TEST(DatasetEvolution, RowsReadInPlaceGiveTheRunOfACopy) {
    const SampleMatrix x = table(30, 2, -0.5);
    SampleMatrix y(30, 1);
    // The x rows read in place lie in a wider table whose third column must never be read.
    SampleMatrix wide(30, 3);
    for (std::int32_t i = 0; i < 30; ++i) {
        y.row(i)[0] = x.row(i)[0] * x.row(i)[1];
        std::copy_n(x.row(i), 2, wide.row(i));
        wide.row(i)[2] = nan;
    }
    const SampleView in_place{wide.values.data(), 3, 3, y.values.data(), 1, 30};
    const Network start = testing::random_network(2, 1, 2);
    const auto evolve = [&](bool read_in_place) {
        DatasetEvolution run;
        run.pop_size = 10;
        run.epochs = 4;
        run.verbose = 0;
        run.losses = {mse, mae};
        if (read_in_place) {
            run.training_in_place = in_place;
            run.validation_in_place = in_place;
        } else {
            run.x = run.x_val.emplace(x);
            run.y = run.y_val.emplace(y);
        }
        seed_everything(5);
        return run_dataset_evolution(start, run, *make_alpha(), [] {});
    };
    const RunResult copied = evolve(false);
    const RunResult read = evolve(true);
    ASSERT_EQ(read.epochs.size(), copied.epochs.size());
    for (std::size_t e = 0; e < read.epochs.size(); ++e) {
        EXPECT_EQ(read.epochs[e].losses, copied.epochs[e].losses);
        EXPECT_EQ(read.epochs[e].validation, copied.epochs[e].validation);
        EXPECT_FALSE(std::isnan(read.epochs[e].validation[0]));
    }
    EXPECT_EQ(read.best.biases, copied.best.biases);
    EXPECT_EQ(read.best.weights, copied.best.weights);
    EXPECT_EQ(read.best.targets, copied.best.targets);

    DatasetEvolution batched;
    batched.batch_size = 10;  // three batches: rows read in place cannot be shuffled
    batched.losses = {mse};
    batched.training_in_place = in_place;
    EXPECT_THROW(run_dataset_evolution(start, batched, *make_alpha(), [] {}), InvalidData);
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
    EXPECT_THROW(run_dataset_evolution(testing::random_network(1, 1, 1), run, *make_alpha(),
                                       [&] {
                                           if (++generations == 3) throw std::runtime_error("stop");
                                       }),
                 std::runtime_error);
}

// A run that hands copies of its best network to callbacks keeps the draws of one that does not.
TEST(NetworkCopy, GivesAnExactCopyAndLeavesTheSeedStreamAlone) {
    seed_everything(17);
    Network original = testing::random_network(2, 1, 3);
    original.engine();  // an engine with a state of its own, not just its seed
    seed_everything(5);
    const std::uint32_t expected = thread_random_sources().engine_seed();
    seed_everything(5);
    const Network copy = original;  // a copy draws no seed
    EXPECT_EQ(thread_random_sources().engine_seed(), expected);
    for (const Network* network : {static_cast<const Network*>(&original), &copy}) {
        EXPECT_EQ(network->biases, copy.biases);
        EXPECT_EQ(network->weights, copy.weights);
        EXPECT_EQ(network->targets, copy.targets);
        EXPECT_EQ(network->activations, copy.activations);
    }
    EXPECT_EQ(copy.engine, original.engine);
    EXPECT_EQ(copy.size, 6);
}

}  // namespace
}  // namespace tessaron
