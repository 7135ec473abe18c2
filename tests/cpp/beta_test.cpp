#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "common/errors.hpp"
#include "evolution/optimizers/beta_gradient.hpp"
#include "evolution/optimizers/beta_searches.hpp"
#include "evolution/optimizers/beta_select.hpp"
#include "network/integrity.hpp"
#include "network/random_sources.hpp"
#include "network_builders.hpp"

namespace tessaron {
namespace {

using testing::build_network;

// Counts, kinds, biases, connections and weights equal to the bit.
bool same_network(const Network& a, const Network& b) {
    if (a.size != b.size || a.inputs != b.inputs || a.outputs != b.outputs) return false;
    if (a.activations != b.activations) return false;
    if (std::memcmp(a.biases.data(), b.biases.data(), a.biases.size() * sizeof(double)) != 0)
        return false;
    for (std::int32_t from = 0; from < a.size; ++from)
        for (std::int32_t to = 0; to < a.size; ++to) {
            if (a.connected(from, to) != b.connected(from, to)) return false;
            if (testing::bits(a.weight(from, to)) != testing::bits(b.weight(from, to)))
                return false;
        }
    return true;
}

// Sum of squared distances of every weight and non-input bias from `target`.
double distance_loss(const Network& network, double target) {
    double loss = 0.0;
    for (std::int32_t i = network.inputs; i < network.size; ++i)
        loss += (network.biases[i] - target) * (network.biases[i] - target);
    for (std::int32_t from = 0; from < network.size; ++from)
        for_each_target(network, from, [&](std::int32_t to) {
            const double d = network.weight(from, to) - target;
            loss += d * d;
        });
    return loss;
}

ScoreFunction score_by(double (*loss)(const Network&)) {
    return [loss](const std::vector<Network>& pool) {
        ScoreRows rows;
        for (const Network& network : pool) rows.push_back({loss(network)});
        return rows;
    };
}

// A run of pop_size members drawing from the calling thread's sources.
RunContext context_of(std::int32_t pop_size, std::vector<double> target_scales = {},
                      bool comparable_scores = true) {
    RunContext context;
    context.pop_size = pop_size;
    context.target_scales = std::move(target_scales);
    context.comparable_scores = comparable_scores;
    context.sources = &thread_random_sources();
    return context;
}

bool generation(BetaSelectState& state, const ScoreFunction& score) {
    const std::vector<Network>& pool = beta_select_ask(state);
    return beta_select_tell(state, score(pool));
}

bool generation(BetaGradientState& state, const ScoreFunction& score) {
    const std::vector<Network>& pool = beta_gradient_ask(state);
    return beta_gradient_tell(state, score(pool));
}

Network start_network() {
    Network network(3, 2);
    reset(network, 7);
    randomise(network);
    return network;
}

BetaSettings fixed_shape(double step) {
    BetaSettings settings;
    settings.step_size = step;
    settings.structure_rate = 0.0;
    settings.size_penalty = 0.0;
    return settings;
}

double median_step(const BetaSelectState& state) {
    std::vector<double> steps;
    for (const std::vector<double>& member : state.steps)
        steps.insert(steps.end(), member.begin(), member.end());
    std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
    return steps[steps.size() / 2];
}

// On a bowl the steps shrink as the population closes in; on an endless slope they grow.
TEST(Beta, StepSizesAdaptToTheLandscape) {
    seed_everything(11);
    BetaSelectState bowl = beta_select_start(start_network(), fixed_shape(0.5), context_of(20));
    const ScoreFunction to_bowl = score_by([](const Network& n) { return distance_loss(n, 0.25); });
    for (int g = 0; g < 150; ++g) generation(bowl, to_bowl);
    EXPECT_LT(median_step(bowl), 0.05);
    EXPECT_EQ(beta_select_figures(bowl).at(0).second, median_step(bowl));

    BetaSelectState slope = beta_select_start(start_network(), fixed_shape(0.5), context_of(20));
    const ScoreFunction down_slope =
        score_by([](const Network& n) { return -distance_loss(n, 0.0); });
    for (int g = 0; g < 60; ++g) generation(slope, down_slope);
    EXPECT_GT(median_step(slope), 5.0);
}

// Where scores are noisy (reevaluate), steps stay above a tenth of where they started: the hidden
// nodes' at a tenth of step_size, each output's at a tenth of its start on its target's scale.
TEST(Beta, NoisyScoresKeepStepsAboveATenthOfTheirStart) {
    seed_everything(15);
    BetaSettings settings = fixed_shape(0.5);
    settings.reevaluate = true;
    BetaSelectState state =
        beta_select_start(start_network(), settings, context_of(20, {0.01, 100.0}));
    const ScoreFunction to_bowl = score_by([](const Network& n) { return distance_loss(n, 0.25); });
    for (int g = 0; g < 150; ++g) generation(state, to_bowl);
    const std::vector<double> floors{0.05, 0.0005, 5.0};
    std::vector<double> lowest(3, HUGE_VAL);
    for (const std::vector<double>& steps : state.steps)
        for (std::size_t k = 0; k < steps.size(); ++k) {
            const std::size_t kind = k + 2 < steps.size() ? 0 : 3 + k - steps.size();
            lowest[kind] = std::min(lowest[kind], steps[k]);
        }
    // The bowl pulls every step down to its floor, and no further.
    for (std::size_t kind = 0; kind < 3; ++kind) EXPECT_DOUBLE_EQ(lowest[kind], floors[kind]);
}

// The best members go on unchanged with their scores; no network is scored twice unless every
// generation scores on another batch.
TEST(Beta, ElitesStayAndOnlyNewNetworksAreScored) {
    seed_everything(12);
    BetaSettings settings = fixed_shape(0.1);
    settings.elites = 3;
    settings.structure_rate = 0.5;
    for (const bool rescore : {false, true}) {
        BetaSelectState state =
            beta_select_start(start_network(), settings, context_of(10, {}, !rescore));
        std::vector<Network> seen;
        bool repeated = false;
        const ScoreFunction counting = [&](const std::vector<Network>& pool) {
            ScoreRows rows;
            for (const Network& network : pool) {
                for (const Network& old : seen) repeated = repeated || same_network(old, network);
                seen.push_back(network);
                rows.push_back({distance_loss(network, 1.0)});
            }
            return rows;
        };
        const BetaMembers& members = state.members;
        generation(state, counting);
        for (int g = 0; g < 6; ++g) {
            const std::vector<Network> elites(members.population.begin(),
                                              members.population.begin() + 3);
            const ScoreRows elite_rows(members.rows.begin(), members.rows.begin() + 3);
            generation(state, counting);
            for (std::size_t e = 0; e < elites.size(); ++e) {
                bool kept = false;
                for (std::size_t i = 0; i < members.population.size(); ++i)
                    kept = kept || (same_network(members.population[i], elites[e]) &&
                                    members.rows[i] == elite_rows[e]);
                EXPECT_TRUE(kept) << "elite " << e << " of generation " << g;
            }
            EXPECT_LE(members.best_loss, elite_rows[0][0]);
        }
        EXPECT_EQ(seen.size(), rescore ? 70u : 10u + 6u * 7u);
        EXPECT_EQ(repeated, rescore);
    }
}

// The start network stays best while every later score is worse than its first; 50 generations
// without a better best widen its steps tenfold, but only where scores are kept: a re-scored
// member's average rises with the offset and must not count as a stalled search.
TEST(Beta, StalledSearchWidensStepsOnlyWhereScoresAreKept) {
    for (const bool rescore : {false, true}) {
        seed_everything(15);
        const Network start = start_network();
        BetaSettings settings = fixed_shape(0.1);
        settings.reevaluate = rescore;
        BetaSelectState state = beta_select_start(start, settings, context_of(10));
        double offset = 0.0;
        const ScoreFunction later_is_worse = [&](const std::vector<Network>& pool) {
            offset += 1.0;
            ScoreRows rows;
            for (const Network& network : pool)
                rows.push_back({offset + (same_network(network, start) ? 0.0 : 1.0)});
            return rows;
        };
        for (int g = 0; g < 55; ++g) generation(state, later_is_worse);
        ASSERT_TRUE(same_network(state.members.population[0], start));
        for (const double step : state.steps[0]) EXPECT_DOUBLE_EQ(step, rescore ? 0.1 : 1.0);
    }
}

// Averages of 16 noisy scores (variance 1) at 1 and 3, and one lucky single score of 0.5: the
// single score is drawn further toward the mean and ranks after the long average of 1.
TEST(Beta, SingleScoresCountLessThanLongAveragesOfNoisyLosses) {
    BetaMembers state;
    state.rows = {{1.0}, {0.5}, {3.0}};
    state.scored = {16, 1, 16};
    state.scatter = {15.0, 0.0, 15.0};
    const std::vector<double> ranked = shrunk_losses(state);
    EXPECT_LT(ranked[0], ranked[1]);
    EXPECT_LT(ranked[1], ranked[2]);
    EXPECT_GT(ranked[0], 1.0);
    EXPECT_LT(ranked[2], 3.0);
    state.scatter = {0.0, 0.0, 0.0};
    EXPECT_EQ(shrunk_losses(state), (std::vector<double>{1.0, 0.5, 3.0}));
}

// The network keeps its engine, as under every structural change.
TEST(Beta, RemovingANodeBridgesItsPaths) {
    // 0 -> 1 (2.0), 1 -> 2 (3.0), 0 -> 2 (0.5): without node 1, 0 -> 1 carries 0.5 + 2 * 3.
    Network network =
        build_network(1, 1, 3, {{0, 1, 2.0}, {1, 2, 3.0}, {0, 2, 0.5}}, {0.0, 0.7, 0.2});
    const NetworkEngine engine = network.engine;
    BetaDraws draws;
    const std::vector<double> steps(2, 0.1);
    BetaStructureDraws structure(draws, steps);
    EXPECT_EQ(remove_node(network, structure), 1);
    EXPECT_EQ(network.size, 2);
    EXPECT_TRUE(network.connected(0, 1));
    EXPECT_EQ(network.weight(0, 1), 6.5);
    EXPECT_EQ(network.biases[1], 0.2);
    EXPECT_TRUE(network.engine == engine);
}

TEST(Beta, StructuralChangesKeepNetworksValidAndCapped) {
    seed_everything(13);
    BetaSettings settings;
    settings.structure_rate = 1.0;
    BetaDraws engine{std::mt19937_64(5)};
    Network network =
        beta_random_network(start_network(), 1.0, {1.0, 1.0}, engine, thread_random_sources());
    std::vector<double> steps(static_cast<std::size_t>(network.size - network.inputs), 0.1);
    std::int32_t largest = 0;
    for (int i = 0; i < 3000; ++i) {
        beta_mutate(network, steps, settings, 4, engine);
        ASSERT_TRUE(is_valid(network)) << "after change " << i;
        ASSERT_EQ(steps.size(), static_cast<std::size_t>(network.size - network.inputs));
        largest = std::max(largest, network.size);
    }
    EXPECT_EQ(largest, 3 + 2 + 4);
}

TEST(Beta, SeededRunsRepeat) {
    auto run = [](const BetaSearch& search) {
        seed_everything(14);
        BetaSettings settings;
        settings.structure_rate = 0.5;
        settings.search = search.name;
        const std::unique_ptr<Optimizer> optimizer = make_beta(settings, 8);
        optimizer->start(start_network(), context_of(8));
        const ScoreFunction score =
            score_by([](const Network& n) { return distance_loss(n, 0.3); });
        for (int g = 0; g < 10; ++g) run_generation(*optimizer, score);
        return optimizer->best().network;
    };
    for (const BetaSearch& search : beta_searches())
        EXPECT_TRUE(same_network(run(search), run(search)));
}

// The core refuses what it cannot use, whoever calls it: settings out of range (a NaN share of
// parents included), a population without room for children, and score rows that do not match
// the networks handed over.
TEST(Beta, EverySearchRefusesWhatItCannotUse) {
    for (const BetaSearch& search : beta_searches()) {
        BetaSettings settings;
        settings.search = search.name;
        BetaSettings no_share = settings;
        no_share.parent_fraction = std::nan("");
        EXPECT_THROW(make_beta(no_share, 8), InvalidData) << search.name;
        EXPECT_THROW(search.make(no_share)->start(start_network(), context_of(8)), InvalidData);
        EXPECT_THROW(search.make(settings)->start(start_network(), context_of(0)), InvalidData);
        for (const bool empty_row : {false, true}) {
            const std::unique_ptr<Optimizer> optimizer = make_beta(settings, 8);
            optimizer->start(start_network(), context_of(8));
            const std::size_t handed = optimizer->ask().size();
            ScoreRows rows(empty_row ? handed : handed - 1, std::vector<double>{1.0});
            if (empty_row) rows.back().clear();
            EXPECT_THROW(optimizer->tell(rows), InvalidData) << search.name;
        }
    }
}

BetaSettings gradient_search(double step) {
    BetaSettings settings = fixed_shape(step);
    settings.search = "gradient";
    return settings;
}

// b - c == -(a - c) for every bias and weight, a != c, and the same connections.
bool mirrored(const Network& a, const Network& b, const Network& centre) {
    bool moved = false, opposite = true;
    auto check = [&](double x, double y, double c) {
        moved = moved || x != c;
        opposite = opposite && std::fabs((x - c) + (y - c)) <= 1e-12 * (1.0 + std::fabs(c));
    };
    for (std::int32_t i = centre.inputs; i < centre.size; ++i)
        check(a.biases[i], b.biases[i], centre.biases[i]);
    for (std::int32_t from = 0; from < centre.size; ++from)
        for (std::int32_t to = 0; to < centre.size; ++to) {
            if (a.connected(from, to) != centre.connected(from, to) ||
                b.connected(from, to) != centre.connected(from, to))
                return false;
            if (centre.connected(from, to))
                check(a.weight(from, to), b.weight(from, to), centre.weight(from, to));
        }
    return moved && opposite;
}

// The gradient search hands over the centre (when it moved) and its mirrored perturbations; on a
// bowl the centre closes in on the bottom and the steps shrink.
TEST(Beta, GradientSearchFollowsMirroredPerturbationsDownhill) {
    seed_everything(16);
    BetaGradientState state =
        beta_gradient_start(start_network(), gradient_search(0.05), context_of(10));
    std::vector<Network> pool;
    const ScoreFunction to_bowl = [&](const std::vector<Network>& handed) {
        pool = handed;
        ScoreRows rows;
        for (const Network& network : handed) rows.push_back({distance_loss(network, 0.25)});
        return rows;
    };
    generation(state, to_bowl);
    const double first = state.members.best_loss;
    for (int g = 0; g < 300; ++g) {
        generation(state, to_bowl);
        ASSERT_EQ(pool.size(), 10u);
        for (std::size_t k = 1; k + 1 < pool.size(); k += 2)
            ASSERT_TRUE(mirrored(pool[k], pool[k + 1], pool[0])) << "generation " << g;
        // The centre is the generation's network.
        ASSERT_TRUE(same_network(state.members.best, pool[0]));
    }
    EXPECT_LT(state.members.best_loss, 0.01 * first);
    // Near the bottom the steps have shrunk with the distance left.
    for (const double step : state.parameter_steps) EXPECT_LT(step, 0.05);
}

// Without the model's network the centre starts at zero, with every allowed connection, linear
// inputs and outputs and tanh hidden nodes. Where every score is the same the estimate is zero:
// the centre stays and is not scored again.
TEST(Beta, GradientSearchKeepsAnUnmovedCentreAndItsScore) {
    seed_everything(17);
    BetaSettings settings = gradient_search(0.1);
    settings.keep_model = false;
    BetaGradientState state = beta_gradient_start(start_network(), settings, context_of(8));
    const Network& start = state.members.population[0];
    EXPECT_EQ(connection_count(start), 3 * 2 + 3 * 2 + 2 * 2 + 1);  // 3 in, 2 hidden, 2 out
    EXPECT_EQ(distance_loss(start, 0.0), 0.0);
    EXPECT_EQ(start.activations, (std::vector<std::int32_t>{3, 3, 3, 1, 1, 3, 3}));
    std::vector<std::size_t> handed;
    const ScoreFunction flat = [&](const std::vector<Network>& pool) {
        handed.push_back(pool.size());
        return ScoreRows(pool.size(), std::vector<double>{1.0});
    };
    for (int g = 0; g < 4; ++g) generation(state, flat);
    const Network centre = state.members.population[0];
    generation(state, flat);
    EXPECT_TRUE(same_network(state.members.population[0], centre));
    EXPECT_EQ(handed, (std::vector<std::size_t>{8, 7, 7, 7, 7}));
}

}  // namespace
}  // namespace tessaron
