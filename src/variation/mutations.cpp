#include "variation/mutations.hpp"

#include <algorithm>
#include <climits>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "network/activation.hpp"
#include "variation/random_draws.hpp"

namespace tessaron {
namespace {

struct Candidate {
    std::int32_t from;
    std::int32_t to;
};

// The candidates of a mutation, in row-major order, are those of each source from 0 ..
// sources-1 in turn: per_source(from) tells how many a source has and at(from, index) which
// target is its index-th. They are counted, and the chosen one is found by a second walk over
// the sources, so no list is built. One candidate is picked by `draws`, or none (and no draw)
// when there is none.
template <class PerSource, class At>
std::optional<Candidate> pick_candidate(const Network& network, std::int32_t sources,
                                        StructureDraws& draws, PerSource per_source, At at) {
    std::int64_t count = 0;
    for (std::int32_t from = 0; from < sources; ++from) count += per_source(from);
    if (count == 0) return std::nullopt;
    if (count > std::int64_t{INT_MAX} + 1)
        throw InvalidData("a network of " + std::to_string(network.size) +
                          " nodes has too many candidates for a structural mutation (" +
                          std::to_string(count) + ")");
    std::int64_t index = draws.pick(count);
    for (std::int32_t from = 0; from < sources; ++from) {
        const std::int64_t here = per_source(from);
        if (index < here) return Candidate{from, at(from, static_cast<std::int32_t>(index))};
        index -= here;
    }
    return std::nullopt;  // not reached: index is below the count
}

// Position of the first target of `from` at or above `to`.
std::int32_t lower_position(const Network& network, std::int32_t from, std::int32_t to) {
    const std::int32_t* begin = network.targets.data() + network.out_begin(from);
    const std::int32_t* end = network.targets.data() + network.out_end(from);
    return static_cast<std::int32_t>(std::lower_bound(begin, end, to) - network.targets.data());
}

// The weight that connect gives: the first deviate of a new standard normal distribution.
double connection_weight(NetworkEngine& engine) {
    std::normal_distribution<double> normal(0.0, 1.0);
    return normal(engine);
}

// Two such weights, in the order of the pair.
std::pair<double, double> engine_pair(NetworkEngine& engine) {
    const double first = connection_weight(engine);
    return {first, connection_weight(engine)};
}

// New connection arrays, built a source at a time in ascending order and adopted whole.
struct Connections {
    std::vector<std::int32_t> first_out;
    std::vector<std::int32_t> targets;
    std::vector<double> weights;

    Connections(std::int32_t nodes, std::size_t connections) {
        first_out.reserve(static_cast<std::size_t>(nodes) + 1);
        targets.reserve(connections);
        weights.reserve(connections);
        first_out.push_back(0);
    }
    void add(std::int32_t to, double weight) {
        targets.push_back(to);
        weights.push_back(weight);
    }
    void end_source() { first_out.push_back(static_cast<std::int32_t>(targets.size())); }
    void adopt_into(Network& network) noexcept {
        network.first_out = std::move(first_out);
        network.targets = std::move(targets);
        network.weights = std::move(weights);
    }
};

// A target of a removed node, numbered as it will be, and the weight that led to it.
struct Bridge {
    std::int32_t column;
    double weight;
};

// Row `row` of a network losing node d: its connections but the one to d, and for a source of d
// a bridge to each target of d merged in (targets ascending; a bridge to a target the row feeds
// already takes that connection's place).
void shrink_row(Network& network, std::int32_t row, std::int32_t d,
                const std::vector<Bridge>& bridged, StructureDraws& draws, Connections& shrunk) {
    const std::int32_t n = network.size;
    const bool source = row < d && network.connected(row, d);
    const double into = source ? network.weight(row, d) : 0.0;
    const auto bridge = [&](const Bridge& to, const double* existing) {
        shrunk.add(to.column, draws.bridge_weight(network, existing, into, to.weight));
    };
    std::size_t next = 0;  // the next bridged target to merge in
    for (std::int32_t e = network.out_begin(row); e < network.out_end(row); ++e) {
        const std::int32_t target = network.targets[e];
        if (target >= n || target == d) continue;
        const std::int32_t column = target < d ? target : target - 1;
        if (source) {
            for (; next < bridged.size() && bridged[next].column < column; ++next)
                bridge(bridged[next], nullptr);
            if (next < bridged.size() && bridged[next].column == column) {
                bridge(bridged[next++], &network.weights[e]);
                continue;
            }
        }
        shrunk.add(column, network.weights[e]);
    }
    if (source)
        for (; next < bridged.size(); ++next) bridge(bridged[next], nullptr);
    shrunk.end_source();
}

}  // namespace

void insert_node(Network& network, std::int32_t a, std::int32_t b, double bias,
                 std::int32_t activation,
                 const std::function<std::pair<double, double>()>& weights) {
    const std::int32_t n = network.size;
    const std::int32_t h = std::max(a + 1, network.inputs);
    if (a < 0 || a >= n || b < 0 || b >= n || h > n)
        throw InvalidData("cannot insert a node on the connection " + std::to_string(a) + " -> " +
                          std::to_string(b) + " of a network of " + std::to_string(n) +
                          " nodes with " + std::to_string(network.inputs) + " inputs");
    // Everything that can fail is done before the network changes.
    Connections grown(n + 1, connection_count(network) + 2);
    network.biases.reserve(static_cast<std::size_t>(n) + 1);
    network.activations.reserve(static_cast<std::size_t>(n) + 1);

    // Old index x becomes x + 1 from h on; a -> b goes, a -> h and h -> b + 1 come.
    const auto [into_new, out_of_new] = weights();
    auto renumber = [&](std::int32_t x) { return x < h ? x : x + 1; };
    for (std::int32_t row = 0; row <= n; ++row) {
        if (row == h) {
            grown.add(b + 1, out_of_new);
            grown.end_source();
        }
        if (row == n) break;
        bool placed = row != a;
        for (std::int32_t e = network.out_begin(row); e < network.out_end(row); ++e) {
            const std::int32_t target = network.targets[e];
            if (target >= n || (row == a && target == b)) continue;
            const std::int32_t column = renumber(target);
            if (!placed && column > h) {
                grown.add(h, into_new);
                placed = true;
            }
            grown.add(column, network.weights[e]);
        }
        if (!placed) grown.add(h, into_new);
        grown.end_source();
    }
    network.biases.insert(network.biases.begin() + h, bias);
    network.activations.insert(network.activations.begin() + h, activation);
    grown.adopt_into(network);
    network.size = n + 1;
}

void insert_node(Network& network, std::int32_t a, std::int32_t b, double bias,
                 std::int32_t activation) {
    insert_node(network, a, b, bias, activation, [&] { return engine_pair(network.engine); });
}

InsertedNode add_node(Network& network, StructureDraws& draws) {
    const std::int32_t size = network.size;
    // Existing connections to a higher node.
    const auto choice = pick_candidate(
        network, size - network.outputs, draws,
        [&](std::int32_t from) {
            return lower_position(network, from, size) - lower_position(network, from, from + 1);
        },
        [&](std::int32_t from, std::int32_t index) {
            return network.targets[lower_position(network, from, from + 1) + index];
        });
    if (!choice) return {};
    const std::int32_t activation = draws.kind();
    const double bias = draws.split_bias();
    const double old_weight = network.weight(choice->from, choice->to);
    insert_node(network, choice->from, choice->to, bias, activation,
                [&] { return draws.split_weights(network, old_weight); });
    return {std::max(choice->from + 1, network.inputs), choice->to};
}

std::int32_t remove_node(Network& network, StructureDraws& draws) {
    const std::int32_t n = network.size;
    const std::int32_t hidden = n - network.inputs - network.outputs;
    if (hidden <= 0) return -1;
    const auto d = static_cast<std::int32_t>(network.inputs + draws.pick(hidden));

    // Targets of d, numbered as they will be once d is gone, with the weights to them; its
    // sources are found row by row below, where each gains bridges to those targets.
    thread_local std::vector<Bridge> bridged;
    bridged.clear();
    for (std::int32_t e = network.out_begin(d); e < network.out_end(d); ++e)
        if (network.targets[e] > d && network.targets[e] < n)
            bridged.push_back({network.targets[e] - 1, network.weights[e]});

    std::size_t feeding = 0;
    for (std::int32_t i = 0; i < d; ++i) feeding += network.connected(i, d);
    Connections shrunk(n - 1, connection_count(network) + feeding * bridged.size());
    network.biases.reserve(static_cast<std::size_t>(n));
    for (std::int32_t row = 0; row < n; ++row)
        if (row != d) shrink_row(network, row, d, bridged, draws, shrunk);
    network.biases.erase(network.biases.begin() + d);
    network.activations.erase(network.activations.begin() + d);
    shrunk.adopt_into(network);
    network.size = n - 1;
    return d;
}

bool add_connection(Network& network, StructureDraws& draws) {
    const std::int32_t size = network.size;
    const std::int32_t inputs = network.inputs, outputs = network.outputs;
    // Allowed pairs that are absent: the allowed range of each source less its targets in it.
    const auto choice = pick_candidate(
        network, size - outputs, draws,
        [&](std::int32_t from) {
            const TargetRange range = allowed_targets(from, size, inputs, outputs);
            return std::max(0, range.last - range.first) -
                   (lower_position(network, from, range.last) -
                    lower_position(network, from, range.first));
        },
        [&](std::int32_t from, std::int32_t index) {
            // The index-th gap between the existing targets of the range.
            const TargetRange range = allowed_targets(from, size, inputs, outputs);
            std::int32_t to = range.first;
            for (std::int32_t e = lower_position(network, from, range.first);
                 e < network.out_end(from) && network.targets[e] < range.last; ++e) {
                const std::int32_t gap = network.targets[e] - to;
                if (index < gap) break;
                index -= gap;
                to = network.targets[e] + 1;
            }
            return to + index;
        });
    if (!choice) return false;
    double& weight = network.link(choice->from, choice->to);
    weight = draws.new_weight(network, choice->to);
    return true;
}

bool remove_connection(Network& network, StructureDraws& draws) {
    const std::int32_t size = network.size;
    // Sources with two or more outgoing and targets with two or more incoming connections.
    thread_local std::vector<std::int32_t> incoming;
    incoming.assign(static_cast<std::size_t>(std::max(size, 0)), 0);
    for (std::int32_t e = 0; e < static_cast<std::int32_t>(connection_count(network)); ++e)
        if (network.targets[e] < size) ++incoming[network.targets[e]];
    auto spare_source = [&](std::int32_t from) {
        return lower_position(network, from, size) - network.out_begin(from) >= 2;
    };
    const auto choice = pick_candidate(
        network, size, draws,
        [&](std::int32_t from) {
            std::int32_t count = 0;
            if (!spare_source(from)) return count;
            for_each_target(network, from,
                            [&](std::int32_t to) { count += to < size && incoming[to] >= 2; });
            return count;
        },
        [&](std::int32_t from, std::int32_t index) {
            for (std::int32_t e = network.out_begin(from);; ++e) {
                const std::int32_t to = network.targets[e];
                if (to < size && incoming[to] >= 2 && index-- == 0) return to;
            }
        });
    if (!choice) return false;
    disconnect(network, choice->from, choice->to);
    return true;
}

void redraw_activation(Network& network, std::int32_t node, StructureDraws& draws) {
    network.activations[node] = draws.kind();
}

std::int64_t SourcesStructureDraws::pick(std::int64_t count) {
    return random_int(0, static_cast<int>(count - 1), sources_.rand);
}

std::int32_t SourcesStructureDraws::kind() {
    return random_activation(sources_.rand);
}

double SourcesStructureDraws::split_bias() {
    return fresh_normal(0.0, 1.0, sources_.fresh);
}

std::pair<double, double> SourcesStructureDraws::split_weights(Network& network, double) {
    return engine_pair(network.engine);
}

double SourcesStructureDraws::bridge_weight(Network& network, const double*, double, double) {
    return connection_weight(network.engine);
}

double SourcesStructureDraws::new_weight(Network& network, std::int32_t) {
    return connection_weight(network.engine);
}

}  // namespace tessaron
