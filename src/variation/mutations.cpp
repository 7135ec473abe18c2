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
// the sources, so no list is built. One candidate is chosen uniformly with random_int, or none
// (and no draw) when there is none.
template <class PerSource, class At>
std::optional<Candidate> pick_candidate(const Network& network, std::int32_t sources,
                                        RandState& rand, PerSource per_source, At at) {
    std::int64_t count = 0;
    for (std::int32_t from = 0; from < sources; ++from) count += per_source(from);
    if (count == 0) return std::nullopt;
    if (count > std::int64_t{INT_MAX} + 1)
        throw InvalidData("a network of " + std::to_string(network.size) +
                          " nodes has too many candidates for a structural mutation (" +
                          std::to_string(count) + ")");
    std::int64_t index = random_int(0, static_cast<int>(count - 1), rand);
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

}  // namespace

void insert_node(Network& network, std::int32_t a, std::int32_t b, double bias,
                 std::int32_t activation) {
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

    // Old index x becomes x + 1 from h on; a -> b goes, a -> h and h -> b + 1 come, in this
    // order of draws.
    const double into_new = connection_weight(network.engine);
    const double out_of_new = connection_weight(network.engine);
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

void add_node(Network& network, RandomSources& sources) {
    const std::int32_t size = network.size;
    // Existing connections to a higher node.
    const auto choice = pick_candidate(
        network, size - network.outputs, sources.rand,
        [&](std::int32_t from) {
            return lower_position(network, from, size) - lower_position(network, from, from + 1);
        },
        [&](std::int32_t from, std::int32_t index) {
            return network.targets[lower_position(network, from, from + 1) + index];
        });
    if (!choice) return;
    const std::int32_t activation = random_activation(sources.rand);
    const double bias = fresh_normal(0.0, 1.0, sources.fresh);
    insert_node(network, choice->from, choice->to, bias, activation);
}

void remove_node(Network& network, RandomSources& sources) {
    const std::int32_t n = network.size;
    if (n - network.inputs - network.outputs <= 0) return;
    const std::int32_t d = random_int(network.inputs, n - network.outputs - 1, sources.rand);

    // Targets of d, numbered as they will be once d is gone; its sources are found row by row
    // below, where each gains those targets with fresh weights (sources ascending, targets
    // ascending), an existing connection taking the new weight.
    thread_local std::vector<std::int32_t> bridged;
    bridged.clear();
    for_each_target(
        network, d,
        [&](std::int32_t k) {
            if (k < n) bridged.push_back(k - 1);
        },
        d + 1);

    std::size_t feeding = 0;
    for (std::int32_t i = 0; i < d; ++i) feeding += network.connected(i, d);
    Connections shrunk(n - 1, connection_count(network) + feeding * bridged.size());
    network.biases.reserve(static_cast<std::size_t>(n));
    auto renumber = [&](std::int32_t x) { return x < d ? x : x - 1; };
    for (std::int32_t row = 0; row < n; ++row) {
        if (row == d) continue;
        const bool source = row < d && network.connected(row, d);
        std::size_t next = 0;  // the next bridged target to merge in
        for (std::int32_t e = network.out_begin(row); e < network.out_end(row); ++e) {
            const std::int32_t target = network.targets[e];
            if (target >= n || target == d) continue;
            const std::int32_t column = renumber(target);
            if (source) {
                for (; next < bridged.size() && bridged[next] < column; ++next)
                    shrunk.add(bridged[next], connection_weight(network.engine));
                if (next < bridged.size() && bridged[next] == column) {
                    ++next;
                    shrunk.add(column, connection_weight(network.engine));
                    continue;
                }
            }
            shrunk.add(column, network.weights[e]);
        }
        if (source)
            for (; next < bridged.size(); ++next)
                shrunk.add(bridged[next], connection_weight(network.engine));
        shrunk.end_source();
    }
    network.biases.erase(network.biases.begin() + d);
    network.activations.erase(network.activations.begin() + d);
    shrunk.adopt_into(network);
    network.size = n - 1;
}

void add_connection(Network& network, RandomSources& sources) {
    const std::int32_t size = network.size;
    const std::int32_t inputs = network.inputs, outputs = network.outputs;
    // Allowed pairs that are absent: the allowed range of each source less its targets in it.
    const auto choice = pick_candidate(
        network, size - outputs, sources.rand,
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
    if (choice) connect(network, choice->from, choice->to);
}

void remove_connection(Network& network, RandomSources& sources) {
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
        network, size, sources.rand,
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
    if (choice) disconnect(network, choice->from, choice->to);
}

}  // namespace tessaron
