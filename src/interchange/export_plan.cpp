#include "interchange/export_plan.hpp"

#include <cstddef>
#include <string>

#include "common/errors.hpp"
#include "interchange/network_check.hpp"
#include "network/activation.hpp"

namespace tessaron {

std::vector<std::int32_t> node_sources(const Network& network, std::int32_t k) {
    std::vector<std::int32_t> sources;
    if (k < network.inputs) return sources;
    for (std::int32_t j = 0; j < k; ++j)
        if (network.connected(j, k)) sources.push_back(j);
    return sources;
}

std::vector<double> node_kernel(const Network& network, std::int32_t k) {
    if (k < network.inputs) {
        std::vector<double> one_hot(static_cast<std::size_t>(network.inputs), 0.0);
        one_hot[static_cast<std::size_t>(k)] = 1.0;
        return one_hot;
    }
    std::vector<double> kernel;
    for (std::int32_t j : node_sources(network, k)) kernel.push_back(network.weight(j, k));
    return kernel;
}

double node_bias(const Network& network, std::int32_t k) {
    return k < network.inputs ? 0.0 : network.biases[static_cast<std::size_t>(k)];
}

std::string_view node_activation_name(const Network& network, std::int32_t k) {
    if (k < network.inputs) return activation_names[linear];
    return activation_names[static_cast<std::size_t>(
        network.activations[static_cast<std::size_t>(k)])];
}

ExportPlan export_plan(const Network& network, std::string_view format) {
    if (const auto fault = invariant_fault(network))
        throw InvalidData("cannot export the network to " + std::string(format) + ": " + *fault);
    ExportPlan plan;
    plan.inputs = network.inputs;
    plan.outputs = network.outputs;
    plan.nodes.reserve(static_cast<std::size_t>(network.size));
    for (std::int32_t k = 0; k < network.size; ++k)
        plan.nodes.push_back({node_sources(network, k), node_kernel(network, k),
                              node_bias(network, k), node_activation_name(network, k)});
    return plan;
}

}  // namespace tessaron
