#include "interchange/import_plan.hpp"

#include <cstddef>

#include "common/errors.hpp"
#include "interchange/network_check.hpp"
#include "interchange/node_names.hpp"
#include "network/activation.hpp"

namespace tessaron {
namespace {

std::string quoted(const std::string& name) {
    return "'" + name + "'";
}

std::string listed(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + quoted(name);
    return "[" + text + "]";
}

std::string shape(const SampleMatrix& matrix) {
    std::string text = "(";
    text += std::to_string(matrix.rows);
    text += ", ";
    text += std::to_string(matrix.cols);
    return text + ")";
}

[[noreturn]] void refuse(const std::string& message) {
    throw InvalidData(message);
}

// An input node's layer must still pass its input column through unchanged: the network has no
// place for anything else.
void check_input_layer(const NodeLayer& layer, std::int32_t inputs) {
    bool pass_through = layer.kernel.rows == inputs && layer.kernel.cols == 1 &&
                        layer.bias.size() == 1 && layer.bias[0] == 0.0 &&
                        layer.activation == activation_names[linear];
    for (std::int32_t r = 0; pass_through && r < inputs; ++r)
        pass_through =
            layer.kernel.values[static_cast<std::size_t>(r)] == (r == layer.index ? 1.0 : 0.0);
    if (!pass_through)
        refuse("the input node layer " + quoted(layer.name) + " no longer passes input " +
               std::to_string(layer.index) + " through unchanged (a one-hot kernel of shape (" +
               std::to_string(inputs) +
               ", 1), a zero bias and linear activation); it was changed in Keras");
}

void add_node(Network& network, const NodeLayer& layer) {
    const std::int32_t k = layer.index;
    const std::int32_t first_output = network.size - network.outputs;
    if (layer.sources.empty())
        refuse("the layer " + quoted(layer.name) + " is fed by no node layer");
    const auto rows = static_cast<std::int64_t>(layer.sources.size());
    if (layer.kernel.rows != rows || layer.kernel.cols != 1)
        refuse("the kernel of layer " + quoted(layer.name) + " has shape " + shape(layer.kernel) +
               "; its " + std::to_string(rows) + " sources need shape (" + std::to_string(rows) +
               ", 1)");
    if (layer.bias.size() != 1)
        refuse("the bias of layer " + quoted(layer.name) + " has " +
               std::to_string(layer.bias.size()) + " values; a node layer has exactly one");
    const auto kind = activation_from_name(layer.activation);
    if (!kind)
        refuse("the layer " + quoted(layer.name) + " uses the activation " +
               quoted(layer.activation) + "; only sigmoid, tanh, relu and linear are known");
    for (std::size_t m = 0; m < layer.sources.size(); ++m) {
        const std::string& source = layer.sources[m];
        const auto j = parse_node_index(source);
        if (!j)
            refuse("the layer " + quoted(layer.name) + " is fed by " + quoted(source) +
                   ", which is not a node layer");
        if (*j >= k)
            refuse("the layer " + quoted(layer.name) + " is fed by " + quoted(source) +
                   "; a node can only be fed by nodes of lower index");
        if (*j >= first_output)
            refuse("the layer " + quoted(layer.name) + " is fed by " + quoted(source) +
                   ", an output node, which feeds no other node");
        if (network.connected(*j, k))
            refuse("the layer " + quoted(layer.name) + " is fed twice by " + quoted(source));
        network.link(*j, k) = layer.kernel.values[m];
    }
    network.biases[static_cast<std::size_t>(k)] = layer.bias[0];
    network.activations[static_cast<std::size_t>(k)] = *kind;
}

}  // namespace

std::vector<std::int32_t> node_indices(const std::vector<std::string>& names) {
    std::int64_t count = 0;
    for (const std::string& name : names) count += is_node_name(name);
    if (!names.empty() && is_node_name(names.front()))
        refuse("the first layer of the Keras model is the node layer " + quoted(names.front()) +
               "; it must be the input layer");
    std::vector<std::int32_t> indices(names.size(), -1);
    std::vector<std::size_t> layer_of(static_cast<std::size_t>(count), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!is_node_name(names[i])) continue;
        const auto index = parse_node_index(names[i]);
        if (!index)
            refuse("the layer name " + quoted(names[i]) + " does not end in a decimal node index");
        if (*index >= count)
            refuse("the layer " + quoted(names[i]) + " names node " + std::to_string(*index) +
                   ", but the Keras model has only " + std::to_string(count) + " node layers");
        const auto node = static_cast<std::size_t>(*index);
        if (layer_of[node] != names.size())
            refuse("the layers " + quoted(names[layer_of[node]]) + " and " + quoted(names[i]) +
                   " both name node " + std::to_string(*index));
        layer_of[node] = i;
        indices[i] = *index;
    }
    return indices;
}

void check_node_counts(std::int64_t inputs, std::int64_t outputs, std::int64_t nodes) {
    if (inputs < 1)
        refuse("the input layer of the Keras model has width " + std::to_string(inputs) +
               "; at least 1 input is needed");
    if (outputs < 1)
        refuse("the output of the Keras model has width " + std::to_string(outputs) +
               "; at least 1 output is needed");
    if (inputs > nodes - outputs)  // nodes < inputs + outputs, whose sum may not fit
        refuse("the Keras model has " + std::to_string(nodes) + " node layers, fewer than its " +
               std::to_string(inputs) + " inputs and " + std::to_string(outputs) + " outputs");
    if (const auto fault = node_count_fault(nodes, inputs, outputs))
        refuse("the Keras model has " + std::to_string(nodes) +
               " node layers, too many: " + fault->reason);
}

void check_output_sources(const std::vector<std::string>& sources, std::int32_t outputs,
                          std::int32_t nodes) {
    bool expected = static_cast<std::int64_t>(sources.size()) == outputs;
    for (std::size_t c = 0; expected && c < sources.size(); ++c)
        expected = parse_node_index(sources[c]) == nodes - outputs + static_cast<std::int32_t>(c);
    if (!expected)
        refuse("the output of the Keras model must be the node layers " +
               node_name(nodes - outputs) + " to " + node_name(nodes - 1) + " in order, not " +
               listed(sources));
}

Network assemble_network(std::int32_t inputs, std::int32_t outputs, std::int32_t nodes,
                         const std::vector<NodeLayer>& layers) {
    check_node_counts(inputs, outputs, nodes);
    Network network(inputs, outputs);
    reset(network, nodes);
    std::vector<char> seen(static_cast<std::size_t>(nodes), 0);
    for (const NodeLayer& layer : layers) {
        if (layer.index < 0 || layer.index >= nodes || seen[static_cast<std::size_t>(layer.index)])
            refuse("the layer " + quoted(layer.name) + " does not name a node of its own");
        seen[static_cast<std::size_t>(layer.index)] = 1;
        if (layer.index < inputs)
            check_input_layer(layer, inputs);
        else
            add_node(network, layer);
    }
    for (std::int32_t k = 0; k < nodes; ++k)
        if (!seen[static_cast<std::size_t>(k)]) refuse("no layer is named " + node_name(k));
    if (const auto fault = invariant_fault(network))
        refuse("the Keras model does not describe a valid network: " + *fault);
    return network;
}

}  // namespace tessaron
