#include "variation/mutations.hpp"

#include <algorithm>
#include <bit>
#include <climits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "network/activation.hpp"
#include "variation/random_draws.hpp"

namespace tessaron {
namespace {

constexpr std::uint64_t all_ones = ~std::uint64_t{0};

// The bits of word w of a row that stand for the indices first .. last-1.
std::uint64_t range_mask(std::int32_t w, std::int32_t first, std::int32_t last) {
    const std::int32_t low = w * 64, high = low + 64;
    if (first >= last || first >= high || last <= low) return 0;
    std::uint64_t mask = all_ones;
    if (first > low) mask &= all_ones << (first - low);
    if (last < high) mask &= all_ones >> (high - last);
    return mask;
}

struct Candidate {
    std::int32_t from;
    std::int32_t to;
};

// The candidates of a mutation, in row-major order, are the set bits of bits(from, w) for every
// source from 0 .. sources-1 and every word w of its row. They are counted, and the chosen one
// is found by a second scan, so no list is built.
template <class Bits>
std::int64_t count_candidates(const Network& network, std::int32_t sources, Bits& bits) {
    std::int64_t count = 0;
    for (std::int32_t from = 0; from < sources; ++from)
        for (std::int32_t w = 0; w < network.row_words(); ++w)
            count += std::popcount(bits(from, w));
    return count;
}

template <class Bits>
Candidate candidate_at(const Network& network, std::int32_t sources, Bits& bits,
                       std::int64_t index) {
    for (std::int32_t from = 0; from < sources; ++from) {
        for (std::int32_t w = 0; w < network.row_words(); ++w) {
            std::uint64_t word = bits(from, w);
            const int count = std::popcount(word);
            if (index >= count) {
                index -= count;
                continue;
            }
            for (; index > 0; --index) word &= word - 1;
            return {from, w * 64 + std::countr_zero(word)};
        }
    }
    return {-1, -1};  // not reached: index is below the count
}

// One candidate chosen uniformly with random_int, or none (and no draw) when there is none.
template <class Bits>
std::optional<Candidate> pick_candidate(const Network& network, std::int32_t sources, Bits bits) {
    const std::int64_t count = count_candidates(network, sources, bits);
    if (count == 0) return std::nullopt;
    if (count > std::int64_t{INT_MAX} + 1)
        throw InvalidData("a network of " + std::to_string(network.size) +
                          " nodes has too many candidates for a structural mutation (" +
                          std::to_string(count) + ")");
    const int index = random_int(0, static_cast<int>(count - 1));
    return candidate_at(network, sources, bits, index);
}

// Matrices for a network of `nodes` nodes, all clear; allocated before the network is touched.
struct Matrices {
    std::vector<double> weights;
    std::vector<std::uint64_t> connections;
};

Matrices blank_matrices(std::int32_t nodes) {
    const auto n = static_cast<std::size_t>(nodes);
    return {std::vector<double>(n * n),
            std::vector<std::uint64_t>(n * static_cast<std::size_t>(Network::words_for(nodes)))};
}

// Copies both matrices of the network into `out` (sized for `nodes` nodes), old index x going to
// new(x) = x + (x >= at ? shift : 0); with shift -1, row and column `at` are dropped.
void copy_remapped(const Network& network, std::int32_t at, std::int32_t shift, std::int32_t nodes,
                   Matrices& out) {
    const std::int32_t n = network.size;
    const std::int32_t words = Network::words_for(nodes);
    auto renumber = [&](std::int32_t x) { return x < at ? x : x + shift; };
    for (std::int32_t row = 0; row < n; ++row) {
        if (shift < 0 && row == at) continue;
        const std::int32_t new_row = renumber(row);
        const double* from = network.weights.data() + static_cast<std::size_t>(row) * n;
        double* to = out.weights.data() + static_cast<std::size_t>(new_row) * nodes;
        std::copy(from, from + at, to);
        const std::int32_t tail = shift < 0 ? at + 1 : at;
        std::copy(from + tail, from + n, to + tail + shift);
        std::uint64_t* bits = out.connections.data() + static_cast<std::size_t>(new_row) * words;
        for_each_target(network, row, [&](std::int32_t target) {
            if (target >= n || (shift < 0 && target == at)) return;
            const std::int32_t column = renumber(target);
            bits[column >> 6] |= std::uint64_t{1} << (column & 63);
        });
    }
}

void reserve_nodes(Network& network, std::size_t nodes) {
    network.biases.reserve(nodes);
    network.sums.reserve(nodes);
    network.values.reserve(nodes);
    network.activations.reserve(nodes);
}

void adopt_matrices(Network& network, std::int32_t nodes, Matrices&& matrices) {
    network.size = nodes;
    network.weights = std::move(matrices.weights);
    network.connections = std::move(matrices.connections);
}

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
    Matrices grown = blank_matrices(n + 1);
    reserve_nodes(network, static_cast<std::size_t>(n) + 1);

    disconnect(network, a, b);
    copy_remapped(network, h, 1, n + 1, grown);
    network.biases.insert(network.biases.begin() + h, bias);
    network.sums.insert(network.sums.begin() + h, 0.0);
    network.values.insert(network.values.begin() + h, 0.0);
    network.activations.insert(network.activations.begin() + h, activation);
    adopt_matrices(network, n + 1, std::move(grown));
    connect(network, a, h);
    connect(network, h, b + 1);
}

void add_node(Network& network) {
    const std::int32_t size = network.size;
    const auto choice =
        pick_candidate(network, size - network.outputs, [&](std::int32_t from, std::int32_t w) {
            return network.row(from)[w] & range_mask(w, from + 1, size);
        });
    if (!choice) return;
    const std::int32_t activation = random_activation();
    const double bias = fresh_normal(0.0, 1.0);
    insert_node(network, choice->from, choice->to, bias, activation);
}

void remove_node(Network& network) {
    const std::int32_t n = network.size;
    if (n - network.inputs - network.outputs <= 0) return;
    const std::int32_t d = random_int(network.inputs, n - network.outputs - 1);

    thread_local std::vector<std::int32_t> sources, targets;
    sources.clear();
    targets.clear();
    for (std::int32_t i = 0; i < d; ++i)
        if (network.connected(i, d)) sources.push_back(i);
    for_each_target(
        network, d,
        [&](std::int32_t k) {
            if (k < n) targets.push_back(k - 1);
        },
        d + 1);

    Matrices shrunk = blank_matrices(n - 1);
    copy_remapped(network, d, -1, n - 1, shrunk);
    network.biases.erase(network.biases.begin() + d);
    network.sums.erase(network.sums.begin() + d);
    network.values.erase(network.values.begin() + d);
    network.activations.erase(network.activations.begin() + d);
    adopt_matrices(network, n - 1, std::move(shrunk));

    for (std::int32_t s : sources)
        for (std::int32_t t : targets) connect(network, s, t);
}

void add_connection(Network& network) {
    const std::int32_t size = network.size;
    const auto choice =
        pick_candidate(network, size - network.outputs, [&](std::int32_t from, std::int32_t w) {
            return ~network.row(from)[w] & range_mask(w, std::max(from + 1, network.inputs), size);
        });
    if (choice) connect(network, choice->from, choice->to);
}

void remove_connection(Network& network) {
    const std::int32_t size = network.size;
    const std::int32_t words = network.row_words();
    // Sources with two or more outgoing connections, and (a word at a time) the targets with two
    // or more incoming ones.
    thread_local std::vector<char> spare_source;
    thread_local std::vector<std::uint64_t> seen_once, seen_twice;
    spare_source.assign(static_cast<std::size_t>(std::max(size, 0)), 0);
    seen_once.assign(static_cast<std::size_t>(words), 0);
    seen_twice.assign(static_cast<std::size_t>(words), 0);
    for (std::int32_t from = 0; from < size; ++from) {
        int outgoing = 0;
        for (std::int32_t w = 0; w < words; ++w) {
            const std::uint64_t row = network.row(from)[w] & range_mask(w, 0, size);
            outgoing += std::popcount(row);
            seen_twice[w] |= seen_once[w] & row;
            seen_once[w] |= row;
        }
        spare_source[from] = outgoing >= 2;
    }
    const auto choice = pick_candidate(network, size, [&](std::int32_t from, std::int32_t w) {
        return spare_source[from] ? network.row(from)[w] & seen_twice[w] : std::uint64_t{0};
    });
    if (choice) disconnect(network, choice->from, choice->to);
}

}  // namespace tessaron
