#include "network/integrity.hpp"

#include <gtest/gtest.h>

#include <random>

#include "network_builders.hpp"
#include "variation_support.hpp"

namespace tessaron {
namespace {

using testing::build_network;
using testing::naive_valid;
using testing::random_network;

TEST(Integrity, IntactNetworks) {
    EXPECT_TRUE(is_valid(Network()));
    EXPECT_TRUE(is_valid(random_network(3, 2, 0)));
    EXPECT_TRUE(is_valid(random_network(2, 1, 70)));
    // A chain: inputs need no incoming, the output needs no outgoing.
    EXPECT_TRUE(is_valid(build_network(1, 1, 4, {{0, 1, 1}, {1, 2, 1}, {2, 3, 1}})));
    // A connection of weight 0 still counts.
    EXPECT_TRUE(is_valid(build_network(1, 1, 2, {{0, 1, 0.0}})));
}

TEST(Integrity, BrokenNetworksNameTheirFirstFault) {
    const auto fault_of = [](const Network& network) {
        EXPECT_FALSE(is_valid(network));
        return describe(find_integrity_fault(network), network);
    };
    // A blank network: the inputs feed nothing, the output has no source.
    EXPECT_EQ(fault_of(Network(2, 1)), "input node 0 has no outgoing connection");
    EXPECT_EQ(fault_of(build_network(2, 1, 4, {{0, 3, 1}, {1, 3, 1}, {2, 3, 1}})),
              "hidden node 2 has no incoming connection");
    EXPECT_EQ(fault_of(build_network(2, 1, 3, {{0, 2, 1}})),
              "input node 1 has no outgoing connection");
    EXPECT_EQ(fault_of(build_network(1, 1, 4, {{0, 2, 1}, {0, 3, 1}, {0, 1, 1}, {1, 3, 1}})),
              "hidden node 2 has no outgoing connection");
    EXPECT_EQ(fault_of(build_network(1, 2, 4, {{0, 1, 1}, {1, 2, 1}})),
              "output node 3 has no incoming connection");
}

TEST(Integrity, OnlyForwardBitsCountAsIncomingAndOnlyBitsAtOrAboveAsOutgoing) {
    // Hidden node 3 has set bits only below its own index (3 -> 1, 3 -> 2): it feeds nothing.
    Network backward = build_network(
        1, 1, 5, {{0, 1, 1}, {0, 2, 1}, {0, 3, 1}, {1, 4, 1}, {2, 4, 1}, {3, 1, 1}, {3, 2, 1}});
    EXPECT_FALSE(is_valid(backward));
    // Node 1's only source is the later node 3: not an incoming connection.
    Network late_source = build_network(1, 1, 4, {{0, 2, 1}, {3, 1, 1}, {1, 3, 1}, {2, 3, 1}});
    EXPECT_FALSE(is_valid(late_source));
    // A bit on the diagonal is a connection at the node's own index: it counts as outgoing but
    // never as incoming.
    EXPECT_TRUE(is_valid(build_network(1, 1, 3, {{0, 1, 1}, {1, 1, 1}, {0, 2, 1}})));
    EXPECT_FALSE(is_valid(build_network(1, 1, 3, {{0, 2, 1}, {1, 1, 1}, {1, 2, 1}})));
}

TEST(Integrity, BitsPastTheLastNodeAreNoConnections) {
    // Node 1 is hidden; its only outgoing connection, and node 2's only incoming one, lead
    // past the last node.
    Network network = build_network(1, 1, 3, {{0, 1, 1}, {0, 2, 1}});
    network.link(1, 5);
    EXPECT_FALSE(is_valid(network));
    EXPECT_FALSE(naive_valid(network));
    Network no_source = build_network(1, 1, 3, {{0, 1, 1}, {1, 2, 1}});
    disconnect(no_source, 0, 1);
    no_source.link(0, 40);
    EXPECT_FALSE(is_valid(no_source));
}

TEST(Integrity, RowsSpanningSeveralWords) {
    Network network = random_network(2, 1, 130);
    EXPECT_TRUE(is_valid(network));
    // Node 100 loses every incoming connection.
    for (std::int32_t from = 0; from < 100; ++from) disconnect(network, from, 100);
    EXPECT_FALSE(is_valid(network));
    connect(network, 64, 100);
    EXPECT_TRUE(is_valid(network));
    // Node 70 loses every outgoing connection.
    for (std::int32_t to = 71; to < network.size; ++to) disconnect(network, 70, to);
    EXPECT_FALSE(is_valid(network));
}

TEST(Integrity, AgreesWithAPairByPairCheck) {
    std::mt19937 engine(20260101);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    auto below = [&](std::int32_t n) { return static_cast<std::int32_t>(uniform(engine) * n); };
    int intact = 0, broken = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        const std::int32_t inputs = 1 + trial % 3, outputs = 1 + trial % 2;
        const std::int32_t hidden = below(70);
        const std::int32_t size = inputs + outputs + hidden;
        Network network;
        if (trial % 2 == 0) {
            // Sparse random bits anywhere, the diagonal and below it included.
            network = build_network(inputs, outputs, size, {});
            const double density = 0.5 * uniform(engine) * uniform(engine);
            for (std::int32_t from = 0; from < size; ++from)
                for (std::int32_t to = 0; to < size; ++to)
                    if (uniform(engine) < density) network.link(from, to);
        } else {
            // An intact sparse network with a few bits flipped anywhere.
            network = random_network(inputs, outputs, hidden);
            testing::thin_out(network, 0.9, engine);
            for (int flips = below(4); flips > 0; --flips) {
                const std::int32_t from = below(size), to = below(size);
                if (network.connected(from, to))
                    network.unlink(from, to);
                else
                    network.link(from, to);
            }
        }
        const IntegrityFault expected = testing::naive_fault(network);
        const IntegrityFault found = find_integrity_fault(network);
        ASSERT_EQ(found.kind, expected.kind) << "trial " << trial;
        ASSERT_EQ(found.node, expected.node) << "trial " << trial;
        ASSERT_EQ(is_valid(network), expected.kind == IntegrityFault::none);
        (expected.kind == IntegrityFault::none ? intact : broken) += 1;
    }
    EXPECT_GT(intact, 300);
    EXPECT_GT(broken, 300);
}

}  // namespace
}  // namespace tessaron
