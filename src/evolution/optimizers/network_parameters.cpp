#include "evolution/optimizers/network_parameters.hpp"

#include <algorithm>

namespace tessaron {

std::vector<double> parameters_of(const Network& network) {
    std::vector<double> values(network.biases.begin() + network.inputs, network.biases.end());
    values.insert(values.end(), network.weights.begin(), network.weights.end());
    return values;
}

void set_parameters(Network& network, const double* values) {
    const std::size_t biases = static_cast<std::size_t>(network.size - network.inputs);
    std::copy_n(values, biases, network.biases.begin() + network.inputs);
    std::copy_n(values + biases, network.weights.size(), network.weights.begin());
}

std::vector<ParameterKey> parameter_keys(const Network& network) {
    std::vector<ParameterKey> keys;
    keys.reserve(static_cast<std::size_t>(network.size - network.inputs) +
                 connection_count(network));
    for (std::int32_t i = network.inputs; i < network.size; ++i) keys.push_back({bias_source, i});
    for (std::int32_t from = 0; from < network.size; ++from)
        for_each_target(network, from, [&](std::int32_t to) { keys.push_back({from, to}); });
    return keys;
}

std::vector<std::ptrdiff_t> parameter_map(const Network& before, const Network& after,
                                          const std::vector<std::int32_t>& node_map) {
    // Keys of `before` renumbered into `after`'s nodes; both lists are in the same order of
    // sources and targets, since renumbering keeps the order of the nodes that stay.
    const std::vector<ParameterKey> old_keys = parameter_keys(before);
    const auto renumbered = [&](const ParameterKey& key) {
        return ParameterKey{key.from == bias_source ? bias_source : node_map[key.from],
                            node_map[key.to]};
    };
    const auto before_in = [](const ParameterKey& a, const ParameterKey& b) {
        const bool a_bias = a.from == bias_source, b_bias = b.from == bias_source;
        if (a_bias != b_bias) return a_bias;
        if (a.from != b.from) return a.from < b.from;
        return a.to < b.to;
    };
    std::vector<std::pair<ParameterKey, std::ptrdiff_t>> known;
    for (std::size_t k = 0; k < old_keys.size(); ++k) {
        const ParameterKey key = renumbered(old_keys[k]);
        if (key.to >= 0 && (old_keys[k].from == bias_source || key.from >= 0))
            known.push_back({key, static_cast<std::ptrdiff_t>(k)});
    }
    std::vector<std::ptrdiff_t> map;
    std::size_t next = 0;
    for (const ParameterKey& key : parameter_keys(after)) {
        while (next < known.size() && before_in(known[next].first, key)) ++next;
        const bool same = next < known.size() && known[next].first.from == key.from &&
                          known[next].first.to == key.to;
        map.push_back(same ? known[next].second : -1);
    }
    return map;
}

namespace {

// Calls change(i, weight, bias of its target) for every connection out of an input i into a
// node that is evaluated (connections into input nodes never are).
template <class Change>
void for_each_input_link(Network& network, Change change) {
    for (std::int32_t from = 0; from < network.inputs; ++from)
        for (std::int32_t e = network.out_begin(from); e < network.out_end(from); ++e)
            if (network.targets[e] >= network.inputs)
                change(static_cast<std::size_t>(from), network.weights[e],
                       network.biases[network.targets[e]]);
}

}  // namespace

void fold_inputs(Network& network, const InputTransform& transform) {
    if (transform.empty()) return;
    for_each_input_link(network, [&](std::size_t i, double& weight, double& bias) {
        weight /= transform.scale[i];
        bias -= weight * transform.shift[i];
    });
}

void unfold_inputs(Network& network, const InputTransform& transform) {
    if (transform.empty()) return;
    for_each_input_link(network, [&](std::size_t i, double& weight, double& bias) {
        bias += weight * transform.shift[i];
        weight *= transform.scale[i];
    });
}

}  // namespace tessaron
