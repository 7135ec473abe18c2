// A network's weights and biases as one vector, for the searches that move them all at once: the
// bias of every non-input node, then the weight of every connection source by source, targets
// ascending (the order the network stores them in).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "evolution/input_statistics.hpp"
#include "network/network.hpp"

namespace tessaron {

std::vector<double> parameters_of(const Network& network);

// Writes `values` (as parameters_of orders them) into the network.
void set_parameters(Network& network, const double* values);
inline void set_parameters(Network& network, const std::vector<double>& values) {
    set_parameters(network, values.data());
}

// What each parameter is: the connection from -> to, or the bias of `to` (from == bias_source).
struct ParameterKey {
    std::int32_t from;
    std::int32_t to;
};
inline constexpr std::int32_t bias_source = -1;
std::vector<ParameterKey> parameter_keys(const Network& network);

// For each parameter of `after`, the index of the same parameter in `before` or -1, where node i
// of `before` is node node_map[i] of `after` (-1: gone).
std::vector<std::ptrdiff_t> parameter_map(const Network& before, const Network& after,
                                          const std::vector<std::int32_t>& node_map);

// Makes `network`, which reads transformed inputs, read the inputs as they are, with the same
// results to rounding: every weight out of input i is divided by scale[i], and the bias of its
// target lowered by that weight times shift[i].
void fold_inputs(Network& network, const InputTransform& transform);

// The inverse: makes `network`, which reads the inputs as they are, read transformed ones.
void unfold_inputs(Network& network, const InputTransform& transform);

}  // namespace tessaron
