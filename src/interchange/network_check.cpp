#include "interchange/network_check.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "network/activation.hpp"
#include "network/integrity.hpp"

namespace tessaron {
namespace {

// Whether the network's storage holds exactly its node count's worth of every array.
bool storage_matches_size(const Network& network) {
    const auto nodes = static_cast<std::size_t>(network.size);
    return network.biases.size() == nodes && network.activations.size() == nodes &&
           network.first_out.size() == nodes + 1 && network.first_out.front() == 0 &&
           network.weights.size() == network.targets.size() &&
           static_cast<std::size_t>(network.first_out.back()) == network.targets.size();
}

}  // namespace

std::optional<std::string> invariant_fault(const Network& network) {
    using std::to_string;
    const std::int32_t size = network.size;
    const std::int32_t inputs = network.inputs;
    const std::int32_t outputs = network.outputs;
    if (inputs < 1) return "it has " + to_string(inputs) + " inputs";
    if (outputs < 1) return "it has " + to_string(outputs) + " outputs";
    if (static_cast<std::int64_t>(size) < static_cast<std::int64_t>(inputs) + outputs)
        return "its " + to_string(size) + " nodes are fewer than its " + to_string(inputs) +
               " inputs and " + to_string(outputs) + " outputs";
    if (!storage_matches_size(network))
        return "its arrays do not match its " + to_string(size) + " nodes";
    const auto nodes = static_cast<std::size_t>(size);
    for (std::int32_t i = 0; i < size; ++i) {
        const std::int32_t kind = network.activations[i];
        if (i >= inputs && (kind < 0 || kind >= activation_kind_count))
            return "node " + to_string(i) + " has the unknown activation kind " + to_string(kind);
    }
    std::vector<char> has_source(nodes, 0), has_target(nodes, 0);
    std::optional<std::string> fault;
    for (std::int32_t from = 0; from < size && !fault; ++from) {
        for_each_target(network, from, [&](std::int32_t to) {
            if (fault) return;
            if (!connection_allowed(from, to, size, inputs, outputs)) {
                const std::string link = to_string(from) + " -> " + to_string(to);
                if (to >= size)
                    fault = "connection " + link + " leads past the last node";
                else if (to <= from)
                    fault = "connection " + link + " does not lead to a higher index";
                else if (to < inputs)
                    fault = "connection " + link + " leads into an input node";
                else
                    fault = "connection " + link + " leaves an output node";
            }
            has_target[from] = 1;
            if (to < size) has_source[to] = 1;
        });
    }
    if (fault) return fault;
    for (std::int32_t i = 0; i < size; ++i) {
        if (i >= inputs && !has_source[i])
            return "node " + to_string(i) + " has no incoming connection";
        if (i < size - outputs && !has_target[i])
            return "node " + to_string(i) + " has no outgoing connection";
    }
    if (!is_valid(network)) return "it fails the integrity test";
    return std::nullopt;
}

}  // namespace tessaron
