#include "variation/mutate.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>
#include <string>

#include "common/errors.hpp"
#include "network/integrity.hpp"
#include "network_builders.hpp"
#include "variation_support.hpp"

namespace tessaron {
namespace {

using testing::build_network;
using testing::ConsoleCapture;
using testing::naive_valid;
using testing::pattern;
using testing::random_network;
using testing::thin_out;
using testing::well_formed;

TEST(MutationDriver, PerturbationKeepsZeroAndNaNAndAbsentWeights) {
    Network network = random_network(2, 1, 3);  // inputs 0, 1; hidden 2 .. 4; output 5
    network.biases[0] = 0.0;
    network.biases[3] = std::nan("");
    network.link(0, 2) = 0.0;
    network.link(1, 3) = std::nan("");
    disconnect(network, 2, 4);
    const Network start(network);
    for (int round = 0; round < 50; ++round) perturb_parameters(network);
    EXPECT_EQ(network.biases[0], 0.0);
    EXPECT_TRUE(std::isnan(network.biases[3]));
    EXPECT_EQ(network.weight(0, 2), 0.0);
    EXPECT_TRUE(std::isnan(network.weight(1, 3)));
    EXPECT_EQ(network.weight(2, 4), 0.0);
    EXPECT_EQ(pattern(network), pattern(start));
    EXPECT_EQ(network.activations, start.activations);
    // An input's bias moves like every other.
    EXPECT_NE(network.biases[1], start.biases[1]);
    EXPECT_NE(network.biases[5], start.biases[5]);
    EXPECT_NE(network.weight(0, 5), start.weight(0, 5));
    EXPECT_TRUE(well_formed(network));
}

TEST(MutationDriver, PerturbationStepIsAFifthOfTheMagnitude) {
    Network network = random_network(2, 1, 100);
    for (double& bias : network.biases) bias = -5.0;
    for (std::int32_t i = 0; i < network.size; ++i)
        for_each_target(network, i, [&](std::int32_t j) { network.link(i, j) = 10.0; });
    perturb_parameters(network);
    // Standardised steps: (value - old) / (0.2 |old|) should be standard normal.
    double sum = 0, squares = 0;
    int count = 0;
    auto add = [&](double z) {
        sum += z;
        squares += z * z;
        ++count;
    };
    for (double bias : network.biases) add((bias + 5.0) / 1.0);
    for (std::int32_t i = 0; i < network.size; ++i)
        for_each_target(network, i,
                        [&](std::int32_t j) { add((network.weight(i, j) - 10.0) / 2.0); });
    ASSERT_GT(count, 5000);
    EXPECT_NEAR(sum / count, 0.0, 6.0 / std::sqrt(count));
    EXPECT_NEAR(squares / count, 1.0, 6.0 * std::sqrt(2.0 / count));
}

TEST(MutationDriver, ActivationRedrawsHitNonInputNodesOnly) {
    Network network = random_network(5, 5, 400);
    const Network start(network);
    const int rounds = 50;
    int redrawn = 0;
    for (int round = 0; round < rounds; ++round) {
        // A kind outside the table shows every redraw, even one that draws the old kind.
        for (auto& kind : network.activations) kind = -1;
        mutate_activations(network);
        for (std::int32_t i = 0; i < 5; ++i) ASSERT_EQ(network.activations[i], -1);
        for (std::int32_t i = 5; i < network.size; ++i) {
            const std::int32_t kind = network.activations[i];
            ASSERT_TRUE(kind == -1 || (kind >= 0 && kind < 4));
            redrawn += kind != -1;
        }
    }
    EXPECT_EQ(network.biases, start.biases);
    EXPECT_EQ(network.weights, start.weights);
    // Chance 0.05 per node and call: 20250 trials, expected 1012.5, sd 31.
    const double trials = rounds * (network.size - 5.0);
    EXPECT_NEAR(redrawn, 0.05 * trials, 6 * std::sqrt(trials * 0.05 * 0.95));
}

TEST(MutationDriver, BranchSharesMatchTheFixedProbabilities) {
    std::mt19937 engine(4242);
    Network original = random_network(3, 2, 40);
    thin_out(original, 0.5, engine);
    Network network = original;
    enum Branch { perturb, activation, add_node_b, remove_node_b, remove_conn, add_conn, none };
    double seen[7] = {};
    // Expected counts and variances, summed call by call: whether an activation redraw shows
    // depends on the number of non-input nodes at the time.
    double expected[7] = {}, variance[7] = {};
    const double fixed[7] = {0.3, 0.0, 0.049, 0.0441, 0.019845, 0.01885275, 0.0};
    std::vector<double> biases;
    const int calls = 30000;
    for (int call = 0; call < calls; ++call) {
        if (call % 100 == 0) network = original;  // keeps the size, and the cost, bounded
        for (auto& kind : network.activations) kind = -1;
        biases = network.biases;
        const std::int32_t size = network.size;
        const std::size_t connections = connection_count(network);
        const double hidden_share = std::pow(0.95, size - network.inputs);
        mutate(network);
        Branch branch = none;
        if (network.size == size + 1)
            branch = add_node_b;
        else if (network.size == size - 1)
            branch = remove_node_b;
        else if (connection_count(network) + 1 == connections)
            branch = remove_conn;
        else if (connection_count(network) == connections + 1)
            branch = add_conn;
        else if (network.biases != biases)
            branch = perturb;
        else {
            for (std::int32_t i = 0; i < network.size; ++i)
                if (network.activations[i] != -1) branch = activation;
        }
        ++seen[branch];
        double p[7];
        std::copy(fixed, fixed + 7, p);
        p[activation] = 0.21 * (1.0 - hidden_share);
        p[none] = 0.35820225 + 0.21 * hidden_share;
        for (int b = 0; b < 7; ++b) {
            expected[b] += p[b];
            variance[b] += p[b] * (1.0 - p[b]);
        }
    }
    for (int b = 0; b < 7; ++b)
        EXPECT_NEAR(seen[b], expected[b], 5.0 * std::sqrt(variance[b]) + 1.0) << "branch " << b;
}

TEST(MutationDriver, ManyMutationsKeepNetworksWellFormedValidAndSilent) {
    ConsoleCapture console;
    std::mt19937 engine(8);
    int calls = 0;
    for (int n = 0; n < 40; ++n) {
        Network network = random_network(1 + n % 4, 1 + n % 3, n * 7 % 60);
        thin_out(network, 0.1 + 0.02 * n, engine);
        for (int step = 0; step < 150; ++step, ++calls) {
            mutate(network);
            ASSERT_TRUE(well_formed(network)) << "network " << n << " step " << step;
            ASSERT_TRUE(is_valid(network));
            ASSERT_TRUE(naive_valid(network));
        }
    }
    EXPECT_EQ(calls, 6000);
    EXPECT_EQ(console.take(), "");
}

TEST(MutationDriver, ABrokenNetworkFailsWhicheverStructuralBranchIsDrawn) {
    // Hidden node 0 has no incoming connection, and no mutation can give it one: splitting
    // 0 -> 1 keeps it, removing it leaves the output without a source, and there is no spare
    // connection to remove and no absent one to add.
    const Network broken = build_network(0, 1, 2, {{0, 1, 1.0}}, {0.5, -0.5});
    ASSERT_FALSE(is_valid(broken));
    ConsoleCapture console;
    {
        Network copy(broken);
        perturb_parameters(copy);
        mutate_activations(copy);
        EXPECT_EQ(console.take(), "");
    }
    const std::set<std::string> messages{
        "Add node mutation broke network.", "Remove node mutation broke network.",
        "Remove connection mutation broke network.", "Add connection mutation broke network."};
    std::set<std::string> seen;
    const int calls = 4000;
    int failures = 0;
    for (int call = 0; call < calls; ++call) {
        Network network(broken);
        try {
            mutate(network);
            ASSERT_EQ(console.take(), "");
            ASSERT_EQ(pattern(network), pattern(broken));
        } catch (const IntegrityError& error) {
            ++failures;
            const std::string message = error.what();
            ASSERT_TRUE(messages.count(message)) << message;
            ASSERT_EQ(console.take(), message + "\n");
            seen.insert(message);
            // The network keeps what the mutation did.
            if (message == "Add node mutation broke network.") {
                EXPECT_EQ(network.size, 3);
            } else if (message == "Remove node mutation broke network.") {
                EXPECT_EQ(network.size, 1);
            } else {
                EXPECT_EQ(network.size, 2);
                EXPECT_EQ(pattern(network), pattern(broken));
            }
        }
    }
    EXPECT_EQ(seen, messages);
    // Structural branches together: 0.13179775 of the calls.
    const double p = 0.13179775;
    EXPECT_NEAR(failures, p * calls, 5 * std::sqrt(calls * p * (1 - p)));
}

}  // namespace
}  // namespace tessaron
