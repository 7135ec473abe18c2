// What the Keras form of a network holds for each node, worked out from the network alone.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "network/activation.hpp"
#include "network/network.hpp"

namespace tessaron {

// The nodes feeding node k, in ascending order: the order of its concatenated inputs and of the
// rows of its kernel. Input nodes are fed by the input tensor, not by nodes.
inline std::vector<std::int32_t> node_sources(const Network& network, std::int32_t k) {
    std::vector<std::int32_t> sources;
    if (k < network.inputs) return sources;
    for (std::int32_t j = 0; j < k; ++j)
        if (network.connected(j, k)) sources.push_back(j);
    return sources;
}

// Column 0 of node k's kernel: for an input node a one-hot column over the input tensor, which
// passes input k through unchanged; otherwise the weights of its sources in ascending order.
inline std::vector<double> node_kernel(const Network& network, std::int32_t k) {
    if (k < network.inputs) {
        std::vector<double> one_hot(static_cast<std::size_t>(network.inputs), 0.0);
        one_hot[static_cast<std::size_t>(k)] = 1.0;
        return one_hot;
    }
    std::vector<double> kernel;
    for (std::int32_t j : node_sources(network, k)) kernel.push_back(network.weight(j, k));
    return kernel;
}

// Input nodes carry their input unchanged, whatever their stored bias and kind.
inline double node_bias(const Network& network, std::int32_t k) {
    return k < network.inputs ? 0.0 : network.biases[static_cast<std::size_t>(k)];
}

// The name of node k's activation, which is also its attribute name in keras.activations. The
// kind must be a valid one (see invariant_fault).
inline std::string_view node_activation_name(const Network& network, std::int32_t k) {
    if (k < network.inputs) return activation_names[linear];
    return activation_names[static_cast<std::size_t>(
        network.activations[static_cast<std::size_t>(k)])];
}

}  // namespace tessaron
