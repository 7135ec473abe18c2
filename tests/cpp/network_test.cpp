#include "network/network.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <new>
#include <random>

#include "network/activation.hpp"
#include "network_builders.hpp"

namespace tessaron {
namespace {

using testing::build_network;
using testing::random_network;

// The connection pattern every randomised network must have: all allowed pairs, nothing else.
void expect_full_pattern(const Network& network) {
    const std::int32_t size = network.size;
    for (std::int32_t from = 0; from < size; ++from) {
        for (std::int32_t to = 0; to < size; ++to) {
            const bool allowed = from < to && to >= network.inputs && from < size - network.outputs;
            EXPECT_EQ(network.connected(from, to), allowed) << from << " -> " << to;
            if (!allowed) {
                EXPECT_EQ(network.weight(from, to), 0.0);
            }
        }
    }
}

// A network engine draws the words of std::mt19937 from the same seed, wherever its draws are
// interrupted by a copy or a conversion: before, within and past the words it makes early.
class EngineDraws : public ::testing::TestWithParam<int> {};

TEST_P(EngineDraws, EqualThoseOfTheStandardEngine) {
    const int split = GetParam();
    for (const NetworkEngine::result_type seed : {0u, 1u, 5489u, 0xffffffffu, 2024u}) {
        NetworkEngine engine(seed);
        std::mt19937 expected(seed);
        for (int i = 0; i < split; ++i) ASSERT_EQ(engine(), expected()) << "draw " << i;
        EXPECT_TRUE(std::mt19937(engine) == expected);
        NetworkEngine copy(engine);
        EXPECT_TRUE(copy == engine);
        for (int i = split; i < 1300; ++i) {
            const auto word = expected();
            ASSERT_EQ(engine(), word) << "draw " << i;
            ASSERT_EQ(copy(), word) << "draw " << i << " of the copy";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Network, EngineDraws, ::testing::Values(0, 1, 226, 227, 228, 700));

TEST(Network, BlankNetworkIsAllZero) {
    const Network network(3, 2);
    EXPECT_EQ(network.size, 5);
    EXPECT_EQ(network.biases, std::vector<double>(5, 0.0));
    EXPECT_EQ(network.activations, std::vector<std::int32_t>(5, sigmoid));
    EXPECT_EQ(connection_count(network), 0u);
    EXPECT_EQ(network.first_out, std::vector<std::int32_t>(6, 0));
}

TEST(Network, RandomisedDefaultSizeConnectsEachInputToEachOutput) {
    Network network(3, 2);
    randomise(network);
    EXPECT_EQ(connection_count(network), 6u);
    expect_full_pattern(network);
}

TEST(Network, RandomisedWithHiddenNodesHasEveryAllowedConnection) {
    Network network(2, 1);
    reset(network, 5);
    randomise(network);
    EXPECT_EQ(connection_count(network), 9u);
    expect_full_pattern(network);
    // Sizes that span several words of a connection row.
    for (std::int32_t hidden : {61, 62, 63, 64, 65, 130}) {
        Network big = random_network(3, 2, hidden);
        const std::size_t h = hidden;
        EXPECT_EQ(connection_count(big), 3 * (h + 2) + h * (h - 1) / 2 + h * 2);
        EXPECT_EQ(complete_connection_count(big.size, 3, 2),
                  static_cast<std::int64_t>(connection_count(big)));
        expect_full_pattern(big);
    }
}

TEST(Network, RandomisationDrawsDifferentValuesForEachNetwork) {
    const Network a = random_network(2, 2, 3);
    const Network b = random_network(2, 2, 3);
    EXPECT_NE(a.biases, b.biases);
    EXPECT_NE(a.weights, b.weights);
    for (std::int32_t kind : a.activations) EXPECT_TRUE(kind >= 0 && kind < 4);
}

TEST(Network, ResetDiscardsEverythingButCountsAndEngine) {
    Network network = random_network(2, 1, 4);
    const std::mt19937 engine = network.engine;
    reset(network, 4);
    EXPECT_EQ(network.size, 4);
    EXPECT_EQ(network.inputs, 2);
    EXPECT_EQ(network.outputs, 1);
    EXPECT_EQ(network.engine, engine);
    EXPECT_EQ(connection_count(network), 0u);
    EXPECT_EQ(network.biases, std::vector<double>(4, 0.0));
    EXPECT_EQ(network.first_out, std::vector<std::int32_t>(5, 0));
    EXPECT_TRUE(network.targets.empty() && network.weights.empty());
}

TEST(Network, ImpossibleSizeThrowsBadAllocAndLeavesNetworkAlone) {
    Network network = random_network(2, 1, 1);
    const Network before = network;
    EXPECT_THROW(reset(network, std::numeric_limits<std::int32_t>::max()), std::bad_alloc);
    EXPECT_EQ(network.size, before.size);
    EXPECT_EQ(network.weights, before.weights);
}

TEST(Network, SetConnectionsSortsAndKeepsTheLastOfARepeatedPair) {
    Network network(2, 1);
    reset(network, 4);
    set_connections(network, {{2, 3, 1.0}, {0, 2, 2.0}, {1, 3, 3.0}, {0, 2, 4.0}, {1, 2, 5.0}});
    EXPECT_EQ(network.first_out, (std::vector<std::int32_t>{0, 1, 3, 4, 4}));
    EXPECT_EQ(network.targets, (std::vector<std::int32_t>{2, 2, 3, 3}));
    EXPECT_EQ(network.weights, (std::vector<double>{4.0, 5.0, 3.0, 1.0}));
}

TEST(Activation, Formulas) {
    EXPECT_EQ(activate(relu, -3.5), 0.0);
    EXPECT_EQ(activate(relu, 2.25), 2.25);
    EXPECT_EQ(activate(relu, std::nan("")), 0.0);
    EXPECT_EQ(activate(linear, -3.5), -3.5);
    EXPECT_EQ(activate(sigmoid, 0.0), 0.5);
    EXPECT_DOUBLE_EQ(activate(sigmoid, 2.0), 1.0 / (1.0 + std::exp(-2.0)));
    EXPECT_NEAR(activate(tanh_kind, 0.5), std::tanh(0.5), 1e-16);
    EXPECT_EQ(activate(7, 1.0), 0.0);
    EXPECT_EQ(activate(-1, 1.0), 0.0);
    EXPECT_EQ(activation_names[1], "tanh");
    EXPECT_EQ(activation_from_name("relu"), 2);
    EXPECT_FALSE(activation_from_name("Relu").has_value());
}

TEST(Activation, RandomKindsCoverAllFour) {
    int seen[4] = {};
    for (int i = 0; i < 400; ++i) ++seen[random_activation(thread_random_sources().rand)];
    for (int count : seen) EXPECT_GT(count, 50);
}

TEST(Network, RowIterationVisitsSetBitsInOrderFromFirst) {
    const Network network = build_network(
        1, 1, 140, {{0, 3, 1}, {0, 63, 1}, {0, 64, 1}, {0, 70, 1}, {0, 127, 1}, {0, 128, 1}});
    std::vector<std::int32_t> all, from_64;
    for_each_target(network, 0, [&](std::int32_t to) { all.push_back(to); });
    for_each_target(network, 0, [&](std::int32_t to) { from_64.push_back(to); }, 64);
    EXPECT_EQ(all, (std::vector<std::int32_t>{3, 63, 64, 70, 127, 128}));
    EXPECT_EQ(from_64, (std::vector<std::int32_t>{64, 70, 127, 128}));
}

}  // namespace
}  // namespace tessaron
