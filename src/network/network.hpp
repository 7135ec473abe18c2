// The network genome: one small feed-forward network whose nodes are stored in evaluation order.
//
// Nodes 0 .. inputs-1 are the inputs, size-outputs .. size-1 the outputs, the rest hidden. A
// connection runs only from a lower to a higher index, never into an input, never out of an
// output (connection_allowed). The connections are stored by source: those leaving node i are
// entries first_out[i] .. first_out[i + 1] - 1 of `targets` and `weights`, targets ascending, so
// that a network costs memory and time in proportion to its nodes plus its connections.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "network/random_sources.hpp"

namespace tessaron {

// A network's own random engine (an mt19937). It is seeded when the network is made, but its
// state of 624 words is built only at the first draw: most networks of a population are copies
// that never draw, and moving a network then moves a pointer instead of 5 KB. Most of those that
// do draw take a few words only, so the first 227 words are made from the seeded state as far as
// they need it (word i needs seeded words i, i + 1 and i + 397), which spares the seeding of the
// rest and the refill of the whole state; the full engine is built from the 228th draw on.
class NetworkEngine {
  public:
    using result_type = std::mt19937::result_type;
    NetworkEngine();  // seeded from the calling thread's sources (thread_random_sources)
    explicit NetworkEngine(result_type seed) : seed_(seed) {}
    NetworkEngine(const NetworkEngine& other)
        : seed_(other.seed_),
          state_(other.state_ ? std::make_unique<std::mt19937>(*other.state_) : nullptr),
          early_(other.early_ ? std::make_unique<EarlyWords>(*other.early_) : nullptr) {}
    NetworkEngine& operator=(const NetworkEngine& other) {
        NetworkEngine copy(other);
        return *this = std::move(copy);
    }
    NetworkEngine(NetworkEngine&&) noexcept = default;
    NetworkEngine& operator=(NetworkEngine&&) noexcept = default;

    static constexpr result_type min() { return std::mt19937::min(); }
    static constexpr result_type max() { return std::mt19937::max(); }
    result_type operator()() {
        if (state_) return (*state_)();
        return early_draw();
    }
    // The engine as it stands, as a standard engine (to replay its draws).
    operator std::mt19937() const {
        if (state_) return *state_;
        std::mt19937 engine(seed_);
        if (early_) engine.discard(static_cast<unsigned long long>(early_->drawn));
        return engine;
    }
    friend bool operator==(const NetworkEngine& a, const NetworkEngine& b) {
        return std::mt19937(a) == std::mt19937(b);
    }

  private:
    static constexpr int words = 624;
    static constexpr int shift = 397;
    static constexpr int early_limit = words - shift;  // 227 words come from the seeded state
    struct EarlyWords {
        std::uint32_t word[words];
        int seeded = 0;  // words 0 .. seeded-1 hold the seeded state, or their successor
        int drawn = 0;   // words drawn so far; word i < drawn holds its successor
    };
    result_type early_draw();

    result_type seed_;
    std::unique_ptr<std::mt19937> state_;
    std::unique_ptr<EarlyWords> early_;
};

// The connections that a network of these counts may have: from < to, never into an input,
// never out of an output. Every reader, check and variation of a network keeps to this one rule.
struct TargetRange {
    std::int32_t first;
    std::int32_t last;  // one past the last
};
constexpr TargetRange allowed_targets(std::int32_t from, std::int32_t size, std::int32_t inputs,
                                      std::int32_t outputs) {
    if (from < 0 || from >= size - outputs) return {size, size};
    return {std::max(from + 1, inputs), size};
}
constexpr bool connection_allowed(std::int32_t from, std::int32_t to, std::int32_t size,
                                  std::int32_t inputs, std::int32_t outputs) {
    const TargetRange range = allowed_targets(from, size, inputs, outputs);
    return to >= range.first && to < range.last;
}
// Why the connection from -> to cannot be in a network of these counts ("runs from node 3 to
// node 1, but connections run only to a higher node index"); empty when it can.
std::string connection_fault(std::int32_t from, std::int32_t to, std::int32_t size,
                             std::int32_t inputs, std::int32_t outputs);

struct Network {
    std::int32_t size = 0;
    std::int32_t inputs = 0;
    std::int32_t outputs = 0;
    std::vector<double> biases;
    std::vector<std::int32_t> activations;
    std::vector<std::int32_t> first_out{0};  // size + 1 offsets into targets and weights
    std::vector<std::int32_t> targets;       // by source, ascending within a source
    std::vector<double> weights;             // weights[e] belongs to targets[e]
    NetworkEngine engine;

    // An empty network (no nodes); its engine is seeded like any other.
    Network();
    explicit Network(NetworkEngine engine) : engine(std::move(engine)) {}
    // A blank network of inputs + outputs nodes: all zero, kinds sigmoid, no connection.
    Network(std::int32_t inputs, std::int32_t outputs);
    Network(std::int32_t inputs, std::int32_t outputs, NetworkEngine engine);
    // Copies are equal in everything, engine state included (see copy_with_fresh_engine).
    // Assignment gives the strong guarantee: on failure the target is unchanged.
    Network(const Network& other) = default;
    Network& operator=(const Network& other);
    Network(Network&& other) noexcept = default;
    Network& operator=(Network&& other) noexcept = default;
    ~Network() = default;

    std::int32_t out_begin(std::int32_t from) const { return first_out[from]; }
    std::int32_t out_end(std::int32_t from) const { return first_out[from + 1]; }
    std::int32_t out_degree(std::int32_t from) const { return out_end(from) - out_begin(from); }

    // Position of the connection from -> to in targets and weights, or -1.
    std::int32_t find(std::int32_t from, std::int32_t to) const {
        if (from < 0 || from >= size) return -1;
        const auto begin = targets.begin() + out_begin(from), end = targets.begin() + out_end(from);
        const auto at = std::lower_bound(begin, end, to);
        return at != end && *at == to ? static_cast<std::int32_t>(at - targets.begin()) : -1;
    }
    bool connected(std::int32_t from, std::int32_t to) const { return find(from, to) >= 0; }
    // The weight of from -> to, 0 where there is no such connection.
    double weight(std::int32_t from, std::int32_t to) const {
        const std::int32_t at = find(from, to);
        return at >= 0 ? weights[at] : 0.0;
    }
    // The weight of from -> to, the connection being made with weight 0 when it does not exist.
    // Costs the connections behind it; builders that go in order use set_connections.
    double& link(std::int32_t from, std::int32_t to);
    // Removes the connection from -> to if it exists.
    void unlink(std::int32_t from, std::int32_t to);
};

// A network equal to `other` in everything but its engine, which is seeded afresh from `sources`:
// copies of one parent that are varied side by side then draw different weights.
Network copy_with_fresh_engine(const Network& other,
                               RandomSources& sources = thread_random_sources());

// Makes `target` equal to `source` in everything but its engine, which stays as it was, reusing
// the target's arrays where they are large enough. Throws std::bad_alloc, leaving the target
// unchanged, when they are not and cannot grow.
void assign_arrays(Network& target, const Network& source);

// Calls visit(to) for every target of `from` with to >= first, in ascending order of `to`.
template <class Visit>
inline void for_each_target(const Network& network, std::int32_t from, Visit&& visit,
                            std::int32_t first = 0) {
    const std::int32_t* begin = network.targets.data() + network.out_begin(from);
    const std::int32_t* end = network.targets.data() + network.out_end(from);
    for (const std::int32_t* at = first > 0 ? std::lower_bound(begin, end, first) : begin;
         at != end; ++at)
        visit(*at);
}

// Number of connections.
inline std::size_t connection_count(const Network& network) {
    return network.targets.size();
}

// Bytes that the arrays of a network of `nodes` nodes and `connections` connections take.
std::size_t network_bytes(std::int64_t nodes, std::int64_t connections);
inline std::size_t network_bytes(const Network& network) {
    return network_bytes(network.size, static_cast<std::int64_t>(connection_count(network)));
}

// Every connection that a network of these counts may have (all pairs connection_allowed admits):
// what Model(inputs, outputs, size) builds, and what structural mutation can grow a network to.
std::int64_t complete_connection_count(std::int64_t size, std::int64_t inputs,
                                       std::int64_t outputs);

// Why no network of `size` nodes with these counts can be built, or nothing. The one limit on
// node counts, shared by the constructor and every reader: the network's complete connection set
// must fit the 32-bit connection positions (`on_every_machine`), and its bytes the machine's
// physical memory. Counts need size >= inputs + outputs, inputs >= 1, outputs >= 1.
struct SizeFault {
    std::string reason;  // "a network of N nodes with ..."
    bool on_every_machine;
};
std::optional<SizeFault> node_count_fault(std::int64_t size, std::int64_t inputs,
                                          std::int64_t outputs);

// One connection, as set_connections takes them.
struct Link {
    std::int32_t from;
    std::int32_t to;
    double weight;
};

// Replaces every connection by `links` (in any order; of a repeated pair the last one counts).
// The pairs must lie inside the nodes. Throws std::bad_alloc, leaving the network unchanged.
void set_connections(Network& network, std::vector<Link> links);

// Makes the network blank with n nodes, keeping inputs, outputs and the engine. Throws
// std::bad_alloc (leaving the network unchanged) when the arrays cannot be had.
void reset(Network& network, std::int32_t n);

// Random biases and kinds for every node and every allowed connection with a standard normal
// weight. Biases and weights come from the network's engine, kinds from `rand`. Throws
// std::bad_alloc, before any draw and leaving the network unchanged, when the connections cannot
// be had.
void randomise(Network& network, RandState& rand = thread_random_sources().rand);

// Makes the connection (if absent) and gives it a standard normal weight from the network's
// engine.
void connect(Network& network, std::int32_t from, std::int32_t to);

// Removes the connection (if present).
void disconnect(Network& network, std::int32_t from, std::int32_t to);

}  // namespace tessaron
