#include "interchange/network_parts.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>

#include "common/errors.hpp"
#include "network/activation.hpp"

namespace tessaron {
namespace {

[[noreturn]] void refuse(const std::string& message) {
    throw InvalidData(message);
}

// The shortest text that reads back as `value`.
std::string number_text(double value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

void check_counts(const NetworkParts& parts) {
    using std::to_string;
    if (parts.inputs < 1)
        refuse("the network has " + to_string(parts.inputs) + " inputs; at least 1 is needed");
    if (parts.outputs < 1)
        refuse("the network has " + to_string(parts.outputs) + " outputs; at least 1 is needed");
    const auto size = static_cast<std::int64_t>(parts.biases.size());
    if (parts.activations.size() != parts.biases.size())
        refuse("the network has " + to_string(size) + " biases and " +
               to_string(parts.activations.size()) + " activations; every node has one of each");
    if (size < parts.inputs + parts.outputs)
        refuse("the network has " + to_string(size) + " nodes, fewer than its " +
               to_string(parts.inputs) + " inputs and " + to_string(parts.outputs) + " outputs");
    if (size > std::numeric_limits<std::int32_t>::max())
        refuse("the network has " + to_string(size) + " nodes; at most " +
               to_string(std::numeric_limits<std::int32_t>::max()) + " are supported");
    if (const auto fault = node_count_fault(size, parts.inputs, parts.outputs))
        refuse("the network has " + to_string(size) + " nodes, too many: " + fault->reason);
}

// The connections as links, each checked against the pattern and against the others.
std::vector<Link> checked_links(const SampleMatrix& rows, const Network& network) {
    if (rows.rows > 0 && rows.cols != 3)
        refuse("the network's connections have " + std::to_string(rows.cols) +
               " values each; a connection is (source, target, weight)");
    std::vector<Link> links;
    for (std::int32_t i = 0; i < rows.rows; ++i) {
        const double* row = rows.row(i);
        const std::string name = "connection " + std::to_string(i);
        for (const double index : {row[0], row[1]})
            if (!(index >= 0 && index < network.size && index == std::floor(index)))
                refuse(name + " runs from " + number_text(row[0]) + " to " + number_text(row[1]) +
                       ", which are not both node indices (0 .. " +
                       std::to_string(network.size - 1) + ")");
        const Link link{static_cast<std::int32_t>(row[0]), static_cast<std::int32_t>(row[1]),
                        row[2]};
        const std::string fault =
            connection_fault(link.from, link.to, network.size, network.inputs, network.outputs);
        if (!fault.empty()) refuse(name + " " + fault);
        links.push_back(link);
    }
    auto by_pair = [](const Link& a, const Link& b) {
        return a.from != b.from ? a.from < b.from : a.to < b.to;
    };
    std::vector<Link> sorted = links;
    std::stable_sort(sorted.begin(), sorted.end(), by_pair);
    const auto twice = std::adjacent_find(sorted.begin(), sorted.end(), [](auto& a, auto& b) {
        return a.from == b.from && a.to == b.to;
    });
    if (twice != sorted.end())
        refuse("the network has two connections from node " + std::to_string(twice->from) +
               " to node " + std::to_string(twice->to));
    return sorted;
}

}  // namespace

Network network_from_parts(const NetworkParts& parts) {
    check_counts(parts);
    const auto size = static_cast<std::int32_t>(parts.biases.size());
    std::vector<std::int32_t> kinds;
    for (std::int32_t k = 0; k < size; ++k) {
        const auto kind = activation_from_name(parts.activations[static_cast<std::size_t>(k)]);
        if (!kind)
            refuse("node " + std::to_string(k) + " has the unknown activation '" +
                   parts.activations[static_cast<std::size_t>(k)] +
                   "'; the activations are sigmoid, tanh, relu and linear");
        kinds.push_back(*kind);
    }
    Network network(static_cast<std::int32_t>(parts.inputs),
                    static_cast<std::int32_t>(parts.outputs));
    reset(network, size);
    network.biases = parts.biases;
    network.activations = std::move(kinds);
    set_connections(network, checked_links(parts.connections, network));
    return network;
}

}  // namespace tessaron
