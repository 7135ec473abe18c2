#include "network/network.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <utility>

#include "network/activation.hpp"
#include "network/random.hpp"

#include "common/platform.hpp"

namespace tessaron {
namespace {

// The arrays of a network, built completely before any of them replaces the network's own.
struct Arrays {
    std::vector<double> biases, sums, values;
    std::vector<std::int32_t> activations;
    std::vector<double> weights;
    std::vector<std::uint64_t> connections;
};

std::size_t physical_memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page_size > 0)
        return static_cast<std::size_t>(pages) * static_cast<std::size_t>(page_size);
    return std::numeric_limits<std::size_t>::max();
}

Arrays blank_arrays(std::int32_t n) {
    // A request beyond the machine's memory fails here instead of being granted by overcommit
    // and killing the process while the zeros are written.
    if (n < 0 || network_bytes(n) > physical_memory_bytes()) throw std::bad_alloc();
    const auto nodes = static_cast<std::size_t>(n);
    return Arrays{std::vector<double>(nodes),
                  std::vector<double>(nodes),
                  std::vector<double>(nodes),
                  std::vector<std::int32_t>(nodes),
                  std::vector<double>(nodes * nodes),
                  std::vector<std::uint64_t>(nodes * Network::words_for(n))};
}

void adopt(Network& network, std::int32_t n, Arrays&& arrays) noexcept {
    network.size = n;
    network.biases = std::move(arrays.biases);
    network.sums = std::move(arrays.sums);
    network.values = std::move(arrays.values);
    network.activations = std::move(arrays.activations);
    network.weights = std::move(arrays.weights);
    network.connections = std::move(arrays.connections);
}

}  // namespace

NetworkEngine::NetworkEngine() : seed_(engine_seed()) {}

Network::Network() = default;

Network::Network(std::int32_t inputs, std::int32_t outputs) : inputs(inputs), outputs(outputs) {
    adopt(*this, inputs + outputs, blank_arrays(inputs + outputs));
}

Network::Network(const Network& other)
    : size(other.size),
      inputs(other.inputs),
      outputs(other.outputs),
      biases(other.biases),
      sums(other.sums),
      values(other.values),
      activations(other.activations),
      weights(other.weights),
      connections(other.connections) {}

Network& Network::operator=(const Network& other) {
    if (this == &other) return *this;
    Arrays copies{other.biases, other.sums,    other.values,
                  other.activations, other.weights, other.connections};
    NetworkEngine engine_copy(other.engine);
    adopt(*this, other.size, std::move(copies));
    inputs = other.inputs;
    outputs = other.outputs;
    engine = std::move(engine_copy);
    return *this;
}

Network::Network(Network&& other) noexcept
    : size(other.size),
      inputs(other.inputs),
      outputs(other.outputs),
      biases(std::move(other.biases)),
      sums(std::move(other.sums)),
      values(std::move(other.values)),
      activations(std::move(other.activations)),
      weights(std::move(other.weights)),
      connections(std::move(other.connections)),
      engine(std::move(other.engine)) {}

Network& Network::operator=(Network&& other) noexcept {
    if (this == &other) return *this;
    size = other.size;
    inputs = other.inputs;
    outputs = other.outputs;
    biases = std::move(other.biases);
    sums = std::move(other.sums);
    values = std::move(other.values);
    activations = std::move(other.activations);
    weights = std::move(other.weights);
    connections = std::move(other.connections);
    engine = std::move(other.engine);
    return *this;
}

std::size_t connection_count(const Network& network) {
    std::size_t count = 0;
    for (std::uint64_t word : network.connections) count += std::popcount(word);
    return count;
}

std::size_t network_bytes(std::int32_t nodes) {
    if (nodes <= 0) return 0;
    const auto n = static_cast<std::size_t>(nodes);
    // n < 2^31, so n * n * 8 < 2^65 could overflow only its last factor: check it.
    const std::size_t matrix = n * n;
    if (matrix > std::numeric_limits<std::size_t>::max() / 16) return std::numeric_limits<std::size_t>::max();
    return matrix * sizeof(double) + n * Network::words_for(nodes) * sizeof(std::uint64_t) +
           n * (3 * sizeof(double) + sizeof(std::int32_t));
}

void reset(Network& network, std::int32_t n) { adopt(network, n, blank_arrays(n)); }

void randomise(Network& network) {
    std::normal_distribution<double> normal(0.0, 1.0);
    for (std::int32_t i = 0; i < network.size; ++i) {
        network.biases[i] = normal(network.engine);
        network.activations[i] = random_activation();
    }
    const std::int32_t last_source = network.size - network.outputs;
    for (std::int32_t from = 0; from < last_source; ++from) {
        for (std::int32_t to = std::max(network.inputs, from + 1); to < network.size; ++to) {
            network.weight(from, to) = normal(network.engine);
            network.set_bit(from, to);
        }
    }
}

void connect(Network& network, std::int32_t from, std::int32_t to) {
    network.set_bit(from, to);
    std::normal_distribution<double> normal(0.0, 1.0);
    network.weight(from, to) = normal(network.engine);
}

void disconnect(Network& network, std::int32_t from, std::int32_t to) {
    network.clear_bit(from, to);
    network.weight(from, to) = 0.0;
}

}  // namespace tessaron
