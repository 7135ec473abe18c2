#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>

#include "evolution/input_statistics.hpp"
#include "evolution/optimizers/beta_covariance.hpp"
#include "evolution/optimizers/covariance_adaptation.hpp"
#include "evolution/optimizers/network_parameters.hpp"
#include "evolution/optimizers/symmetric_eigen.hpp"
#include "network/activation.hpp"
#include "network/forward.hpp"
#include "network/random_sources.hpp"
#include "network_builders.hpp"

namespace tessaron {
namespace {

TEST(SymmetricEigen, RebuildsTheMatrixFromAscendingValuesAndOrthonormalVectors) {
    const std::size_t n = 7;
    std::mt19937_64 engine(5);
    std::normal_distribution<double> normal;
    std::vector<double> matrix(n * n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j <= i; ++j) matrix[i * n + j] = matrix[j * n + i] = normal(engine);
    SymmetricEigen eigen;
    ASSERT_TRUE(symmetric_eigen(matrix, n, eigen));
    EXPECT_TRUE(std::is_sorted(eigen.values.begin(), eigen.values.end()));
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            double rebuilt = 0.0, dot = 0.0;
            for (std::size_t k = 0; k < n; ++k) {
                rebuilt += eigen.vectors[i * n + k] * eigen.values[k] * eigen.vectors[j * n + k];
                dot += eigen.vectors[k * n + i] * eigen.vectors[k * n + j];
            }
            EXPECT_NEAR(rebuilt, matrix[i * n + j], 1e-12);
            EXPECT_NEAR(dot, i == j ? 1.0 : 0.0, 1e-12);
        }
    matrix[3] = std::numeric_limits<double>::quiet_NaN();
    matrix[3 * n] = matrix[3];
    EXPECT_FALSE(symmetric_eigen(matrix, n, eigen));
}

double ellipsoid(const std::vector<double>& x) {
    double sum = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i)
        sum +=
            std::pow(1e6, static_cast<double>(i) / static_cast<double>(x.size() - 1)) * x[i] * x[i];
    return sum;
}

double rosenbrock(const std::vector<double>& x) {
    double sum = 0.0;
    for (std::size_t i = 0; i + 1 < x.size(); ++i)
        sum += 100.0 * std::pow(x[i + 1] - x[i] * x[i], 2) + std::pow(1.0 - x[i], 2);
    return sum;
}

// One generation of the strategy on f: draws its samples, ranks them by f and updates; the
// samples' losses in the order drawn.
template <class Function>
std::vector<double> generation(CovarianceDistribution& d, Function f, std::mt19937_64& engine,
                               std::normal_distribution<double>& normal) {
    const std::size_t n = d.n;
    std::vector<double> steps, x(n), losses(d.lambda), ranked;
    covariance_sample(d, d.lambda, engine, normal, steps);
    for (std::size_t k = 0; k < d.lambda; ++k) {
        for (std::size_t i = 0; i < n; ++i) x[i] = d.mean[i] + d.sigma * steps[k * n + i];
        losses[k] = f(x);
    }
    std::vector<std::size_t> order(d.lambda);
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return losses[a] < losses[b]; });
    for (std::size_t k : order)
        ranked.insert(ranked.end(), steps.begin() + static_cast<std::ptrdiff_t>(k * n),
                      steps.begin() + static_cast<std::ptrdiff_t>((k + 1) * n));
    covariance_update(d, ranked);
    return losses;
}

// Evaluations until the best sample is below 1e-10, as the strategy's published figures give
// them for n = 10 (a few thousand on both functions).
template <class Function>
long evaluations_to_solve(Function f, std::size_t full_limit) {
    const std::size_t n = 10;
    CovarianceDistribution d = covariance_start(std::vector<double>(n, 0.5),
                                                std::vector<double>(n, 1.0), 0.3, 10, full_limit);
    std::mt19937_64 engine(3);
    std::normal_distribution<double> normal;
    for (long evaluations = 0; evaluations < 100000;) {
        const std::vector<double> losses = generation(d, f, engine, normal);
        for (double loss : losses) {
            ++evaluations;
            if (loss < 1e-10) return evaluations;
        }
    }
    return -1;
}

TEST(CovarianceAdaptation, SolvesIllConditionedAndCurvedValleysAsTheStrategyShould) {
    const long ellipsoid_full = evaluations_to_solve(ellipsoid, 1000);
    const long ellipsoid_separable = evaluations_to_solve(ellipsoid, 0);
    const long rosenbrock_full = evaluations_to_solve(rosenbrock, 1000);
    EXPECT_GT(ellipsoid_full, 0);
    EXPECT_LT(ellipsoid_full, 12000);
    EXPECT_GT(ellipsoid_separable, 0);  // axis-aligned: the diagonal is all it needs
    EXPECT_LT(ellipsoid_separable, 12000);
    EXPECT_GT(rosenbrock_full, 0);
    EXPECT_LT(rosenbrock_full, 20000);
}

TEST(CovarianceAdaptation, WorseStepsTakeVarianceFromTheirDirectionButNeverAllOfIt) {
    // The better half steps along the second axis, the worse along the first: beyond the decay
    // every coordinate gets, the first loses variance, by the same amount however long the worse
    // steps (each weighs as if of its expected length), so C stays positive definite.
    for (const bool separable : {false, true})
        for (const double length : {1.0, 1e6}) {
            CovarianceDistribution d =
                covariance_start({0.0, 0.0}, {1.0, 1.0}, 1.0, 4, separable ? 0 : 1000);
            const double decay_only = 1.0 - d.c_1 - d.c_mu;
            double negative = 0.0;
            for (double w : d.negative_weights) negative += w;
            covariance_update(d, {0.0, 1.0, 0.0, -1.0, length, 0.0, -length, 0.0});
            const double first = d.matrix[0];  // C_00, full or diagonal
            EXPECT_NEAR(first, decay_only + d.c_mu * negative, 1e-12);
            EXPECT_LT(first, decay_only);
            EXPECT_GT(first, 0.0);
        }
}

TEST(CovarianceAdaptation, StaysPositiveDefiniteWhileItShrinksBetweenDecompositions) {
    // Far too wide around the optimum: C shrinks fast, faster than it is decomposed again, and
    // the worse steps' lengths must be measured by C as it is, not as it was.
    std::mt19937_64 engine(1);
    std::normal_distribution<double> normal;
    CovarianceDistribution d = covariance_start({0.0, 0.0}, {1.0, 1.0}, 100.0, 19, 1000);
    const auto ellipse = [](const std::vector<double>& x) {
        return x[0] * x[0] + 100.0 * x[1] * x[1];
    };
    for (int g = 0; g < 40; ++g) {
        generation(d, ellipse, engine, normal);
        ASSERT_GT(d.matrix[0], 0.0) << "generation " << g;
        ASSERT_GT(d.matrix[0] * d.matrix[3] - d.matrix[1] * d.matrix[2], 0.0) << "generation " << g;
    }
}

TEST(CovarianceAdaptation, RemapKeepsOldCoordinatesAndAddsFreshOnesUncorrelated) {
    CovarianceDistribution d = covariance_start({1.0, 2.0}, {0.5, 3.0}, 0.7, 6, 1000);
    d.matrix[1] = d.matrix[2] = 0.25;
    covariance_remap(d, {1, fresh_coordinate, 0}, {0.0, 9.0, 0.0}, {0.0, 2.0, 0.0});
    ASSERT_EQ(d.n, 3u);
    EXPECT_EQ(d.mean, (std::vector<double>{2.0, 9.0, 1.0}));
    EXPECT_EQ(d.matrix, (std::vector<double>{9.0, 0.0, 0.25, 0.0, 4.0, 0.0, 0.25, 0.0, 0.25}));
    EXPECT_EQ(d.sigma, 0.7);
}

TEST(CovarianceSearch, AddedNodeLeavesTheOutputsAndTheOtherParametersAsTheyWere) {
    const Network network =
        testing::build_network(2, 1, 4, {{0, 2, 0.5}, {1, 2, -1.5}, {0, 3, 2.0}, {2, 3, 0.75}},
                               {0, 0, 0.1, -0.2}, {linear, linear, tanh_kind, linear});
    const Network grown = with_added_node(network, {0.3, -0.4});
    ASSERT_EQ(grown.size, 5);
    EXPECT_EQ(grown.weight(0, 3), 0.3);
    EXPECT_EQ(grown.weight(3, 4), 0.0);
    const std::array<std::array<double, 2>, 2> samples{{{0.2, -1.0}, {3.0, 0.5}}};
    for (const std::array<double, 2>& sample : samples)
        EXPECT_EQ(forward(grown, sample.data()), forward(network, sample.data()));
    const std::vector<std::ptrdiff_t> from_old = parameter_map(network, grown, {0, 1, 2, 4});
    const std::vector<double> before = parameters_of(network), after = parameters_of(grown);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < after.size(); ++i)
        if (from_old[i] >= 0) {
            EXPECT_EQ(after[i], before[static_cast<std::size_t>(from_old[i])]);
            ++kept;
        }
    EXPECT_EQ(kept, before.size());
}

// A search of a network of one input and one output, of 20 networks a generation, the model's
// own network not among them.
BetaCovarianceState one_input_search(std::int32_t max_hidden, RunContext context) {
    BetaSettings settings;
    settings.max_hidden = max_hidden;
    settings.keep_model = false;
    context.pop_size = 20;
    context.sources = &thread_random_sources();
    Network start(1, 1);
    reset(start, 2);
    return beta_covariance_start(start, settings, context);
}

// Where scores are noisy, one lucky score early on must not make a search whose mean is still
// improving look stalled: it restarts only once the mean's losses stop falling.
TEST(CovarianceSearch, NoisySearchRestartsOnlyOnceItsMeanStopsImproving) {
    RunContext context;
    context.repeatable_scores = false;
    BetaCovarianceState state = one_input_search(0, context);
    const auto loss = [](const Network& network) {
        const double w = network.weight(0, 1) - 3.0, b = network.biases[1] + 1.0;
        return w * w + b * b;
    };
    for (int generation = 0; state.restarts == 0; ++generation) {
        ASSERT_LT(generation, 1000);
        const std::vector<Network>& asked = beta_covariance_ask(state);
        ScoreRows rows;
        for (const Network& network : asked) rows.push_back({loss(network)});
        if (generation == 0) rows[0][0] = -1e9;  // an episode of rare luck
        const double mean_loss = rows.back()[0];
        beta_covariance_tell(state, std::move(rows));
        if (state.restarts > 0) {
            EXPECT_LT(mean_loss, 1e-9) << "restarted at generation " << generation;
        }
    }
}

// One generation scored by noise alone.
struct NoiseScores {
    std::mt19937_64 engine;
    std::normal_distribution<double> noise{100.0, 10.0};
};
void tell_noise(BetaCovarianceState& state, NoiseScores& scores) {
    const std::size_t asked = beta_covariance_ask(state).size();
    ScoreRows rows;
    for (std::size_t k = 0; k < asked; ++k) rows.push_back({scores.noise(scores.engine)});
    beta_covariance_tell(state, std::move(rows));
}

// On scores that are noise alone, the mean's average sets new lows by chance: a noisy search
// without hidden nodes (here one over batches, which knows its targets' scale) must still see the
// plateau and bring them in within four patiences, on every noise sequence.
TEST(CovarianceSearch, NoisyPlateauBringsInTheHiddenNodes) {
    constexpr int four_patiences = 4 * 14;  // 10 + 30 * 2 parameters / 19 samples, rounded up
    RunContext context;
    context.repeatable_scores = false;
    context.target_scales = {1.0};
    for (std::uint64_t sequence = 0; sequence < 20; ++sequence) {
        BetaCovarianceState state = one_input_search(1, context);
        NoiseScores scores{std::mt19937_64(sequence)};
        int generation = 0;
        for (; hidden_nodes(state.structure) == 0 && generation < four_patiences; ++generation)
            tell_noise(state, scores);
        EXPECT_LT(generation, four_patiences) << "noise sequence " << sequence;
    }
}

// A function's noisy search starts with every hidden node it may have, as a plain multilayer
// perceptron: every parameter 0 and searched with one spread. A noisy run that knows its targets'
// scale (one over batches) starts without them.
TEST(CovarianceSearch, NoisyFunctionSearchStartsWithItsHiddenNodesLayered) {
    for (const bool function : {true, false}) {
        RunContext context;
        context.repeatable_scores = false;
        if (!function) context.target_scales = {1.0};
        const BetaCovarianceState state = one_input_search(2, context);
        EXPECT_EQ(hidden_nodes(state.structure), function ? 2 : 0) << "function " << function;
        if (!function) continue;
        const CovarianceDistribution& d = state.distribution;
        EXPECT_EQ(d.n, 8u);  // 2 weights in, 2 out, 3 biases, and the input's link to the output
        for (std::size_t i = 0; i < d.n; ++i) {
            EXPECT_EQ(d.mean[i], 0.0);
            EXPECT_DOUBLE_EQ(d.matrix[i * d.n + i], 0.25);
        }
    }
}

// Where scores are noisy the network handed back is the mean as the update left it (the one the
// next generation scores as its mean), with the loss of the mean just scored.
TEST(CovarianceSearch, NoisySearchHandsBackTheUpdatedMean) {
    RunContext context;
    context.repeatable_scores = false;
    BetaCovarianceState state = one_input_search(0, context);
    double mean_loss = 0.0;
    for (int generation = 0; generation < 4; ++generation) {
        const std::vector<Network>& asked = beta_covariance_ask(state);
        const std::size_t mean_index = state.distribution.lambda;
        if (generation > 0) {
            const BestMember best = beta_covariance_best(state);
            EXPECT_EQ(parameters_of(best.network), parameters_of(asked[mean_index]));
            EXPECT_EQ(best.row[0], mean_loss);
        }
        ScoreRows rows;
        for (const Network& network : asked) rows.push_back({std::abs(network.weight(0, 1) - 3.0)});
        mean_loss = rows[mean_index][0];
        beta_covariance_tell(state, std::move(rows));
    }
}

// The one-input search of a run on whole data of `samples` samples, which may grow one node.
BetaCovarianceState whole_data_search(std::int32_t samples, bool softmax) {
    RunContext context;
    context.repeatable_scores = true;
    context.samples_per_score = samples;
    context.softmax_loss = softmax;
    return one_input_search(1, context);
}

// A hidden node that takes a tenth off a loss of 1 over 100 samples, for 3 parameters more, pays
// where the loss is a log-likelihood (100 * 0.1 > 3), not where it is a squared error
// (100 ln(1 / 0.9) < 3 ln 100).
TEST(CovarianceSearch, GrownNodesPayByTheLikelihoodOfTheirLoss) {
    for (const bool softmax : {true, false}) {
        BetaCovarianceState state = whole_data_search(100, softmax);
        const auto loss = [](const Network& network) {
            double bowl = 0.0;
            for (const double value : parameters_of(network)) bowl += (value - 0.5) * (value - 0.5);
            return (hidden_nodes(network) > 0 ? 0.9 : 1.0) + 1e-3 * bowl;
        };
        for (int generation = 0; state.restarts == 0 && state.hidden_cap > 0; ++generation) {
            ASSERT_LT(generation, 5000);
            ScoreRows rows;
            for (const Network& network : beta_covariance_ask(state))
                rows.push_back({loss(network)});
            beta_covariance_tell(state, std::move(rows));
        }
        EXPECT_EQ(hidden_nodes(state.best), softmax ? 1 : 0) << "softmax loss " << softmax;
    }
}

// A cross-entropy over 50 samples that falls by 0.0012 a generation gains more than a thousandth
// each time but less than a nat over a patience (14 generations here): the search is polishing,
// and grows. A squared error falling alike still counts as gaining.
TEST(CovarianceSearch, GainsWorthLessThanANatOverItsPatienceCountAsAStall) {
    for (const bool softmax : {true, false}) {
        BetaCovarianceState state = whole_data_search(50, softmax);
        for (int generation = 0; generation < 30; ++generation) {
            const ScoreRows rows(beta_covariance_ask(state).size(), {1.0 - 0.0012 * generation});
            beta_covariance_tell(state, rows);
        }
        EXPECT_EQ(hidden_nodes(state.structure), softmax ? 1 : 0) << "softmax loss " << softmax;
    }
}

TEST(InputTransform, FoldedNetworkOnRawInputsIsTheNetworkOnTransformedOnes) {
    const Network network = testing::random_network(3, 2, 4);
    const InputTransform transform{{5.0, -0.3, 0.0}, {0.01, 40.0, 1.0}};
    Network folded = network;
    fold_inputs(folded, transform);
    std::mt19937_64 engine(9);
    std::normal_distribution<double> normal;
    for (int k = 0; k < 20; ++k) {
        std::array<double, 3> raw{}, transformed{};
        for (std::size_t i = 0; i < 3; ++i) {
            raw[i] = transform.shift[i] + transform.scale[i] * normal(engine);
            transformed[i] = (raw[i] - transform.shift[i]) / transform.scale[i];
        }
        const std::vector<double> want = forward(network, transformed.data());
        const std::vector<double> got = forward(folded, raw.data());
        for (std::size_t o = 0; o < want.size(); ++o)
            EXPECT_NEAR(got[o], want[o], 1e-9 * (1.0 + std::abs(want[o])));
    }
    unfold_inputs(folded, transform);
    const std::vector<double> before = parameters_of(network), after = parameters_of(folded);
    for (std::size_t i = 0; i < before.size(); ++i)
        EXPECT_NEAR(after[i], before[i], 1e-9 * (1.0 + std::abs(before[i])));
}

TEST(InputStatistics, MergedPartsGiveTheTwoPassMeanAndSpreadAndSkipRowsNotFinite) {
    std::mt19937_64 engine(4);
    std::normal_distribution<double> normal;
    std::vector<double> rows;  // 3 values per row, stride 4
    for (int r = 0; r < 50; ++r)
        for (double scale : {1e-3, 1.0, 1e3, 0.0}) rows.push_back(1e4 + scale * normal(engine));
    rows[4 * 17 + 1] = std::numeric_limits<double>::quiet_NaN();
    InputStatistics whole, first, second;
    add_input_rows(whole, rows.data(), 4, 50, 3);
    add_input_rows(first, rows.data(), 4, 20, 3);
    add_input_rows(second, rows.data() + 4 * 20, 4, 30, 3);
    merge_input_statistics(first, second);
    for (const InputStatistics* statistics : {&whole, &first}) {
        ASSERT_EQ(statistics->count, 49);
        for (std::size_t i = 0; i < 3; ++i) {
            double sum = 0.0, squares = 0.0;
            for (int r = 0; r < 50; ++r)
                if (r != 17) sum += rows[4 * r + i];
            const double mean = sum / 49.0;
            for (int r = 0; r < 50; ++r)
                if (r != 17) squares += (rows[4 * r + i] - mean) * (rows[4 * r + i] - mean);
            EXPECT_NEAR(statistics->mean[i], mean, 1e-12 * std::abs(mean));
            EXPECT_NEAR(statistics->m2[i], squares, 1e-9 * squares);
        }
    }
}

}  // namespace
}  // namespace tessaron
