// Rebuilding a network from what was read off an exported model, trusting none of it: every
// index, shape and name is checked before it is used, and a failure (InvalidData) names the layer
// at fault.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "network/network.hpp"
#include "network/sample_matrix.hpp"

namespace tessaron {

// One node layer as read from Keras.
struct NodeLayer {
    std::string name;
    std::int32_t index = -1;
    SampleMatrix kernel;               // rows x columns as read
    std::vector<double> bias;          // every value, in order
    std::string activation;            // the __name__ of its activation function
    std::vector<std::string> sources;  // layers feeding it, in kernel row order (non-inputs only)
};

// The node index of every layer (-1 for the others), given the names of all layers in order.
// The node layers must be named for the nodes 0 .. N-1, each once, and the first layer must be
// the input layer.
std::vector<std::int32_t> node_indices(const std::vector<std::string>& names);

// The counts read from the input and output layers must fit the node layers, whose count must be
// one a network can have (node_count_fault).
void check_node_counts(std::int64_t inputs, std::int64_t outputs, std::int64_t nodes);

// The model's output must be the last `outputs` node layers in ascending order: one node layer,
// or the concatenation of `sources`.
void check_output_sources(const std::vector<std::string>& sources, std::int32_t outputs,
                          std::int32_t nodes);

// The network of `nodes` nodes described by its node layers (their indices already checked by
// node_indices, the counts by check_node_counts). Input nodes keep bias 0 and kind sigmoid.
Network assemble_network(std::int32_t inputs, std::int32_t outputs, std::int32_t nodes,
                         const std::vector<NodeLayer>& layers);

}  // namespace tessaron
