// A network given as plain parts, as Model.set_network takes it from Python (and get_network
// gives it): the counts, one bias and one activation name per node, and the connections.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "network/network.hpp"
#include "network/sample_matrix.hpp"

namespace tessaron {

struct NetworkParts {
    std::int64_t inputs = 0;
    std::int64_t outputs = 0;
    std::vector<double> biases;            // one per node, in node order
    std::vector<std::string> activations;  // one name of activation_names per node
    SampleMatrix connections;              // rows (source, target, weight), in any order
};

// The network the parts describe, made as a loaded model file is (a new network, whose engine is
// seeded afresh). Parts that no model could hold are refused with InvalidData naming the first
// fault: counts below 1, fewer nodes than inputs + outputs, more nodes than a network can have
// (node_count_fault), a bias without its activation, an unknown activation name, a connection
// between nodes that the connection pattern does not allow (or that are not node indices), a pair
// given twice. Like a loaded one, a network of the allowed pattern that fails the integrity test
// is made as it is.
Network network_from_parts(const NetworkParts& parts);

}  // namespace tessaron
