// What the exported form of a network holds for each node, worked out from the network alone.
// Every export format (Keras layers, ONNX graphs) is built from this one plan.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "network/network.hpp"

namespace tessaron {

// The nodes feeding node k, in ascending order: the order of its concatenated inputs and of the
// rows of its kernel. Input nodes are fed by the input tensor, not by nodes.
std::vector<std::int32_t> node_sources(const Network& network, std::int32_t k);

// Column 0 of node k's kernel: for an input node a one-hot column over the input tensor, which
// passes input k through unchanged; otherwise the weights of its sources in ascending order.
std::vector<double> node_kernel(const Network& network, std::int32_t k);

// Input nodes carry their input unchanged, whatever their stored bias and kind.
double node_bias(const Network& network, std::int32_t k);

// The name of node k's activation, an entry of activation_names (which is also its attribute
// name in keras.activations). The kind must be a valid one (see invariant_fault).
std::string_view node_activation_name(const Network& network, std::int32_t k);

// One node of the exported form: node k computes activation(bias + sum over m of
// kernel[m] * value of sources[m]), the sum taken in ascending m; an input node passes its
// input column through.
struct NodePlan {
    std::vector<std::int32_t> sources;
    std::vector<double> kernel;
    double bias = 0.0;
    std::string_view activation;
};

// A whole network: nodes[k] is node k; the outputs are the last `outputs` nodes in order.
struct ExportPlan {
    std::int32_t inputs = 0;
    std::int32_t outputs = 0;
    std::vector<NodePlan> nodes;
};

// The plan of a network. A network that breaks an invariant the exported form relies on is
// refused with InvalidData "cannot export the network to <format>: <the fault>".
ExportPlan export_plan(const Network& network, std::string_view format);

}  // namespace tessaron
