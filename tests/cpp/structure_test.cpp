// Copying, assigning, moving, connecting and disconnecting networks.
#include <gtest/gtest.h>

#include <random>
#include <utility>

#include "network/forward.hpp"
#include "network/network.hpp"
#include "network_builders.hpp"
#include "variation_support.hpp"

namespace tessaron {
namespace {

using testing::build_network;
using testing::random_network;
using testing::same_genes;

// The weight that connect will give next: the first deviate of a new standard normal
// distribution on (a copy of) the network's engine.
double next_connect_weight(const Network& network) {
    std::mt19937 engine = network.engine;
    std::normal_distribution<double> normal(0.0, 1.0);
    return normal(engine);
}

TEST(StructureMaintenance, CopyWithFreshEngineEvaluatesAlikeButDrawsItsOwnWeights) {
    Network source = random_network(3, 2, 4);
    Network copy = copy_with_fresh_engine(source);
    EXPECT_TRUE(same_genes(copy, source));
    EXPECT_NE(copy.engine, source.engine);
    const double samples[][3] = {{0.5, -1, 2}, {3, 0, -0.25}, {-7, 1e3, 0.1}};
    for (const auto& sample : samples) EXPECT_EQ(forward(copy, sample), forward(source, sample));

    disconnect(source, 0, 3);
    disconnect(copy, 0, 3);
    connect(source, 0, 3);
    connect(copy, 0, 3);
    EXPECT_NE(source.weight(0, 3), copy.weight(0, 3));
}

TEST(StructureMaintenance, CopiesAndAssignmentCopyEverythingIncludingTheEngine) {
    Network source = random_network(2, 1, 5);
    const Network constructed(source);
    EXPECT_TRUE(same_genes(constructed, source));
    EXPECT_EQ(constructed.engine, source.engine);
    Network target = random_network(4, 3, 0);
    target = source;
    EXPECT_TRUE(same_genes(target, source));
    EXPECT_EQ(target.engine, source.engine);
    disconnect(source, 1, 6);
    disconnect(target, 1, 6);
    connect(source, 1, 6);
    connect(target, 1, 6);
    EXPECT_EQ(target.weight(1, 6), source.weight(1, 6));
    EXPECT_TRUE(same_genes(target, source));

    // A larger network assigned over a smaller one and back.
    Network small = random_network(2, 1, 0);
    small = source;
    EXPECT_EQ(small.size, 8);
    Network tiny = random_network(1, 1, 0);
    small = tiny;
    EXPECT_TRUE(same_genes(small, tiny));
}

TEST(StructureMaintenance, SelfAssignmentChangesNothing) {
    Network network = random_network(3, 1, 3);
    const Network before(network);
    const std::mt19937 engine = network.engine;
    Network& alias = network;
    network = alias;
    EXPECT_TRUE(same_genes(network, before));
    EXPECT_EQ(network.engine, engine);
}

TEST(StructureMaintenance, MovesTransferTheArraysAndKeepTheEngineState) {
    Network source = random_network(2, 2, 3);
    const Network genes(source);
    const std::mt19937 engine = source.engine;
    const double* weights = source.weights.data();

    Network moved(std::move(source));
    EXPECT_TRUE(same_genes(moved, genes));
    EXPECT_EQ(moved.engine, engine);
    EXPECT_EQ(moved.weights.data(), weights);  // taken over, not copied
    EXPECT_TRUE(source.weights.empty());
    EXPECT_TRUE(source.biases.empty());

    Network target = random_network(1, 1, 1);
    target = std::move(moved);
    EXPECT_TRUE(same_genes(target, genes));
    EXPECT_EQ(target.engine, engine);
    EXPECT_EQ(target.weights.data(), weights);
}

TEST(StructureMaintenance, ConnectDrawsFromTheNetworkEngineAndDisconnectClears) {
    Network network = build_network(2, 1, 4, {{0, 2, 1.5}, {1, 2, -2}, {2, 3, 0.5}});
    const double expected = next_connect_weight(network);
    connect(network, 0, 3);
    EXPECT_TRUE(network.connected(0, 3));
    EXPECT_EQ(network.weight(0, 3), expected);
    EXPECT_EQ(connection_count(network), 4u);

    const double old = network.weight(0, 3);
    disconnect(network, 0, 3);
    EXPECT_FALSE(network.connected(0, 3));
    EXPECT_EQ(network.weight(0, 3), 0.0);
    connect(network, 0, 3);
    EXPECT_TRUE(network.connected(0, 3));
    EXPECT_NE(network.weight(0, 3), old);
    // Nothing else moved.
    EXPECT_EQ(network.weight(0, 2), 1.5);
    EXPECT_EQ(network.weight(1, 2), -2);
    EXPECT_EQ(network.weight(2, 3), 0.5);
    EXPECT_EQ(connection_count(network), 4u);
}

}  // namespace
}  // namespace tessaron
