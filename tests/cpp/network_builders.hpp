// Hand-built networks, and bit-exact comparison of networks, for the unit tests.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <random>
#include <utility>
#include <vector>

#include "network/instruction_set.hpp"
#include "network/network.hpp"

namespace tessaron::testing {

struct Link {
    std::int32_t from;
    std::int32_t to;
    double weight;
};

// A network of `size` nodes with exactly the given connections; biases 0 and kinds linear
// unless given.
inline Network build_network(std::int32_t inputs, std::int32_t outputs, std::int32_t size,
                             std::initializer_list<Link> links, std::vector<double> biases = {},
                             std::vector<std::int32_t> kinds = {}) {
    Network network(inputs, outputs);
    reset(network, size);
    for (std::int32_t i = 0; i < size; ++i) {
        network.activations[i] = kinds.empty() ? 3 : kinds[i];
        network.biases[i] = biases.empty() ? 0.0 : biases[i];
    }
    for (const Link& link : links) {
        network.link(link.from, link.to) = link.weight;
    }
    return network;
}

// A randomised network with `hidden` hidden nodes.
inline Network random_network(std::int32_t inputs, std::int32_t outputs, std::int32_t hidden) {
    Network network(inputs, outputs);
    reset(network, inputs + outputs + hidden);
    randomise(network);
    return network;
}

// Drops each connection with probability `drop` while every node keeps what validity needs
// (one outgoing connection for non-outputs, one incoming for non-inputs), to get sparse networks.
inline void thin_out(Network& network, double drop, std::mt19937& engine) {
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    auto outgoing = [&](std::int32_t node) {
        int count = 0;
        for (std::int32_t k = 0; k < network.size; ++k) count += network.connected(node, k);
        return count;
    };
    auto incoming = [&](std::int32_t node) {
        int count = 0;
        for (std::int32_t j = 0; j < network.size; ++j) count += network.connected(j, node);
        return count;
    };
    for (std::int32_t from = 0; from < network.size; ++from)
        for (std::int32_t to = 0; to < network.size; ++to)
            if (network.connected(from, to) && uniform(engine) < drop && outgoing(from) > 1 &&
                incoming(to) > 1)
                disconnect(network, from, to);
}

// Every connection as (from, to), in row-major order.
inline std::vector<std::pair<std::int32_t, std::int32_t>> pattern(const Network& network) {
    std::vector<std::pair<std::int32_t, std::int32_t>> pairs;
    for (std::int32_t from = 0; from < network.size; ++from)
        for_each_target(network, from, [&](std::int32_t to) { pairs.emplace_back(from, to); });
    return pairs;
}

// Calls run(set) with the kernel made to run each instruction-set variant this machine supports,
// then puts back the variant chosen before.
template <class Run>
void for_each_instruction_set(Run&& run) {
    const InstructionSet chosen = active_instruction_set();
    for (const InstructionSet set : instruction_sets)
        if (use_instruction_set(set)) run(set);
    use_instruction_set(chosen);
}

inline std::uint64_t bits(double value) {
    return std::bit_cast<std::uint64_t>(value);
}

// Counts, kinds, connection bits and every bias and weight equal to the bit.
inline void expect_same_network(const Network& read, const Network& written) {
    EXPECT_EQ(read.size, written.size);
    EXPECT_EQ(read.inputs, written.inputs);
    EXPECT_EQ(read.outputs, written.outputs);
    EXPECT_EQ(read.activations, written.activations);
    EXPECT_EQ(pattern(read), pattern(written));
    ASSERT_EQ(read.biases.size(), written.biases.size());
    for (std::size_t i = 0; i < read.biases.size(); ++i)
        EXPECT_EQ(bits(read.biases[i]), bits(written.biases[i])) << "bias " << i;
    ASSERT_EQ(read.weights.size(), written.weights.size());
    for (std::size_t i = 0; i < read.weights.size(); ++i)
        EXPECT_EQ(bits(read.weights[i]), bits(written.weights[i])) << "weight cell " << i;
}

}  // namespace tessaron::testing
