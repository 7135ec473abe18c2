#include "network/network.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <utility>

#include "network/activation.hpp"

#include "common/platform.hpp"

namespace tessaron {
namespace {

std::size_t probe_physical_memory() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page_size > 0)
        return static_cast<std::size_t>(pages) * static_cast<std::size_t>(page_size);
    return std::numeric_limits<std::size_t>::max();
}

// Asked once: every new child asks, and the probe is a system call.
std::size_t physical_memory_bytes() {
    static const std::size_t bytes = probe_physical_memory();
    return bytes;
}

// A request beyond the machine's memory (or beyond the 32-bit positions of the connection
// arrays) fails here instead of being granted by overcommit and killing the process while the
// zeros are written.
void check_affordable(std::int64_t nodes, std::int64_t connections) {
    if (nodes < 0 || connections > std::numeric_limits<std::int32_t>::max() ||
        network_bytes(nodes, connections) > physical_memory_bytes())
        throw std::bad_alloc();
}

}  // namespace

NetworkEngine::NetworkEngine() : seed_(thread_random_sources().engine_seed()) {}

NetworkEngine::result_type NetworkEngine::early_draw() {
    if (!early_) {
        early_ = std::make_unique<EarlyWords>();
        early_->word[0] = static_cast<std::uint32_t>(seed_);
        early_->seeded = 1;
    }
    EarlyWords& early = *early_;
    const int i = early.drawn;
    if (i == early_limit) {
        // Word 227 on needs successors of words already drawn: the full engine goes on from here.
        auto full = std::make_unique<std::mt19937>(seed_);
        full->discard(static_cast<unsigned long long>(i));
        state_ = std::move(full);
        early_.reset();
        return (*state_)();
    }
    // The seeding of std::mt19937, as far as word i + shift.
    for (int k = early.seeded; k <= i + shift; ++k) {
        const std::uint32_t previous = early.word[k - 1];
        early.word[k] = 1812433253u * (previous ^ (previous >> 30)) + static_cast<std::uint32_t>(k);
    }
    early.seeded = std::max(early.seeded, i + shift + 1);
    // The refill's step for word i, then the tempering.
    const std::uint32_t joined = (early.word[i] & 0x80000000u) | (early.word[i + 1] & 0x7fffffffu);
    std::uint32_t y = early.word[i + shift] ^ (joined >> 1) ^ ((joined & 1u) ? 0x9908b0dfu : 0u);
    early.word[i] = y;
    early.drawn = i + 1;
    y ^= y >> 11;
    y ^= (y << 7) & 0x9d2c5680u;
    y ^= (y << 15) & 0xefc60000u;
    return y ^ (y >> 18);
}

Network::Network() = default;

Network::Network(std::int32_t inputs, std::int32_t outputs) : inputs(inputs), outputs(outputs) {
    reset(*this, inputs + outputs);
}

Network::Network(std::int32_t inputs, std::int32_t outputs, NetworkEngine engine)
    : inputs(inputs), outputs(outputs), engine(std::move(engine)) {
    reset(*this, inputs + outputs);
}

Network& Network::operator=(const Network& other) {
    if (this == &other) return *this;
    Network copy(other);
    return *this = std::move(copy);
}

Network copy_with_fresh_engine(const Network& other, RandomSources& sources) {
    Network copy(NetworkEngine(sources.engine_seed()));
    assign_arrays(copy, other);
    return copy;
}

void assign_arrays(Network& target, const Network& source) {
    if (&target == &source) return;
    // Growing first: the assignments below then cannot fail.
    target.biases.reserve(source.biases.size());
    target.activations.reserve(source.activations.size());
    target.first_out.reserve(source.first_out.size());
    target.targets.reserve(source.targets.size());
    target.weights.reserve(source.weights.size());
    target.size = source.size;
    target.inputs = source.inputs;
    target.outputs = source.outputs;
    target.biases.assign(source.biases.begin(), source.biases.end());
    target.activations.assign(source.activations.begin(), source.activations.end());
    target.first_out.assign(source.first_out.begin(), source.first_out.end());
    target.targets.assign(source.targets.begin(), source.targets.end());
    target.weights.assign(source.weights.begin(), source.weights.end());
}

double& Network::link(std::int32_t from, std::int32_t to) {
    const auto begin = targets.begin() + out_begin(from), end = targets.begin() + out_end(from);
    const auto at = std::lower_bound(begin, end, to);
    const auto position = at - targets.begin();
    if (at != end && *at == to) return weights[position];
    targets.reserve(targets.size() + 1);
    weights.reserve(weights.size() + 1);
    targets.insert(targets.begin() + position, to);
    weights.insert(weights.begin() + position, 0.0);
    for (std::int32_t i = from + 1; i <= size; ++i) ++first_out[i];
    return weights[position];
}

void Network::unlink(std::int32_t from, std::int32_t to) {
    const std::int32_t at = find(from, to);
    if (at < 0) return;
    targets.erase(targets.begin() + at);
    weights.erase(weights.begin() + at);
    for (std::int32_t i = from + 1; i <= size; ++i) --first_out[i];
}

std::size_t network_bytes(std::int64_t nodes, std::int64_t connections) {
    if (nodes < 0 || connections < 0) return 0;
    const auto n = static_cast<std::uint64_t>(nodes);
    const auto c = static_cast<std::uint64_t>(connections);
    // Both below 2^63, so neither product overflows 64 bits once checked against 2^59.
    if (n > (std::uint64_t{1} << 59) || c > (std::uint64_t{1} << 59))
        return std::numeric_limits<std::size_t>::max();
    const std::uint64_t bytes = n * (sizeof(double) + 2 * sizeof(std::int32_t)) +
                                sizeof(std::int32_t) + c * (sizeof(double) + sizeof(std::int32_t));
    return bytes > std::numeric_limits<std::size_t>::max() ? std::numeric_limits<std::size_t>::max()
                                                           : static_cast<std::size_t>(bytes);
}

std::int64_t complete_connection_count(std::int64_t size, std::int64_t inputs,
                                       std::int64_t outputs) {
    // Each input reaches every non-input node; hidden node k reaches every node above it.
    const std::int64_t hidden = size - inputs - outputs;
    return inputs * (size - inputs) + hidden * outputs + hidden * (hidden - 1) / 2;
}

namespace {

std::string decimal(unsigned __int128 value) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
        value /= 10;
    } while (value != 0);
    return digits;
}

}  // namespace

std::optional<SizeFault> node_count_fault(std::int64_t size, std::int64_t inputs,
                                          std::int64_t outputs) {
    const std::int64_t connections = complete_connection_count(size, inputs, outputs);
    // In 128 bits: the bytes of 2^31 nodes fully connected pass 2^64.
    const unsigned __int128 bytes =
        static_cast<unsigned __int128>(size) * (sizeof(double) + 2 * sizeof(std::int32_t)) +
        sizeof(std::int32_t) +
        static_cast<unsigned __int128>(connections) * (sizeof(double) + sizeof(std::int32_t));
    const bool positions = connections > std::numeric_limits<std::int32_t>::max();
    if (!positions && bytes <= physical_memory_bytes()) return std::nullopt;
    const auto counted = [](std::int64_t count, const char* noun) {
        return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
    };
    std::string reason = "a network of " + std::to_string(size) + " nodes with " +
                         counted(inputs, "input") + " and " + counted(outputs, "output") + " has " +
                         std::to_string(connections) + " possible connections, which would take " +
                         decimal(bytes) + " bytes; ";
    if (positions)
        reason += "a network holds at most " +
                  std::to_string(std::numeric_limits<std::int32_t>::max()) + " connections";
    else
        reason += "this machine has " + decimal(physical_memory_bytes()) + " bytes of memory";
    return SizeFault{std::move(reason), positions};
}

void set_connections(Network& network, std::vector<Link> links) {
    const auto row_major = [](const Link& a, const Link& b) {
        return a.from != b.from ? a.from < b.from : a.to < b.to;
    };
    // Files and builders give their links in order; only the others are sorted. A stable sort
    // keeps repeated pairs in their order, so the last one is found last.
    if (!std::is_sorted(links.begin(), links.end(), row_major))
        std::stable_sort(links.begin(), links.end(), row_major);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < links.size(); ++i) {
        if (kept > 0 && links[kept - 1].from == links[i].from && links[kept - 1].to == links[i].to)
            links[kept - 1] = links[i];
        else
            links[kept++] = links[i];
    }
    check_affordable(network.size, static_cast<std::int64_t>(kept));
    std::vector<std::int32_t> first_out(static_cast<std::size_t>(network.size) + 1, 0);
    std::vector<std::int32_t> targets(kept);
    std::vector<double> weights(kept);
    for (std::size_t e = 0; e < kept; ++e) {
        ++first_out[static_cast<std::size_t>(links[e].from) + 1];
        targets[e] = links[e].to;
        weights[e] = links[e].weight;
    }
    for (std::int32_t i = 0; i < network.size; ++i) first_out[i + 1] += first_out[i];
    network.first_out = std::move(first_out);
    network.targets = std::move(targets);
    network.weights = std::move(weights);
}

void reset(Network& network, std::int32_t n) {
    check_affordable(n, 0);
    const auto nodes = static_cast<std::size_t>(n);
    std::vector<double> biases(nodes);
    std::vector<std::int32_t> activations(nodes);
    std::vector<std::int32_t> first_out(nodes + 1, 0);
    network.size = n;
    network.biases = std::move(biases);
    network.activations = std::move(activations);
    network.first_out = std::move(first_out);
    network.targets.clear();
    network.targets.shrink_to_fit();
    network.weights.clear();
    network.weights.shrink_to_fit();
}

void randomise(Network& network, RandState& rand) {
    const std::int32_t size = network.size;
    // Every allowed pair: the count, then the arrays, all before the first draw.
    std::int64_t count = 0;
    for (std::int32_t from = 0; from < size; ++from) {
        const TargetRange range = allowed_targets(from, size, network.inputs, network.outputs);
        count += std::max(0, range.last - range.first);
    }
    check_affordable(size, count);
    std::vector<std::int32_t> first_out(static_cast<std::size_t>(size) + 1, 0);
    std::vector<std::int32_t> targets(static_cast<std::size_t>(count));
    std::vector<double> weights(static_cast<std::size_t>(count));

    std::normal_distribution<double> normal(0.0, 1.0);
    for (std::int32_t i = 0; i < size; ++i) {
        network.biases[i] = normal(network.engine);
        network.activations[i] = random_activation(rand);
    }
    std::size_t e = 0;
    for (std::int32_t from = 0; from < size; ++from) {
        const TargetRange range = allowed_targets(from, size, network.inputs, network.outputs);
        for (std::int32_t to = range.first; to < range.last; ++to, ++e) {
            targets[e] = to;
            weights[e] = normal(network.engine);
        }
        first_out[static_cast<std::size_t>(from) + 1] = static_cast<std::int32_t>(e);
    }
    network.first_out = std::move(first_out);
    network.targets = std::move(targets);
    network.weights = std::move(weights);
}

void connect(Network& network, std::int32_t from, std::int32_t to) {
    double& weight = network.link(from, to);
    std::normal_distribution<double> normal(0.0, 1.0);
    weight = normal(network.engine);
}

void disconnect(Network& network, std::int32_t from, std::int32_t to) {
    network.unlink(from, to);
}

std::string connection_fault(std::int32_t from, std::int32_t to, std::int32_t size,
                             std::int32_t inputs, std::int32_t outputs) {
    using std::to_string;
    if (connection_allowed(from, to, size, inputs, outputs)) return {};
    const std::string pair = "runs from node " + to_string(from) + " to node " + to_string(to);
    if (from < 0 || from >= size || to < 0 || to >= size)
        return pair + ", outside the nodes 0 .. " + to_string(std::int64_t{size} - 1);
    if (from >= to) return pair + ", but connections run only to a higher node index";
    if (to < inputs)
        return pair + ", but node " + to_string(to) + " is an input node (nodes 0 .. " +
               to_string(std::int64_t{inputs} - 1) + ")";
    return pair + ", but node " + to_string(from) + " is an output node (nodes " +
           to_string(std::int64_t{size} - outputs) + " .. " + to_string(std::int64_t{size} - 1) +
           ")";
}

}  // namespace tessaron
