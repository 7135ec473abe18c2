// The network genome: one small feed-forward network whose nodes are stored in evaluation order.
//
// Nodes 0 .. inputs-1 are the inputs, size-outputs .. size-1 the outputs, the rest hidden. A
// connection runs only from a lower to a higher index, never into an input, never out of an
// output. Weights live in a dense size x size matrix and the connection pattern in a packed bit
// matrix (one row of 64-bit words per source node); a weight is 0 wherever its bit is clear.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

namespace tessaron {

// A network's own random engine (an mt19937). It is seeded when the network is made, but its
// state of 624 words is built only at the first draw: most networks of a population are copies
// that never draw, and moving a network then moves a pointer instead of 5 KB.
class NetworkEngine {
public:
    using result_type = std::mt19937::result_type;
    NetworkEngine();  // seeded from engine_seed()
    explicit NetworkEngine(result_type seed) : seed_(seed) {}
    NetworkEngine(const NetworkEngine& other)
        : seed_(other.seed_),
          state_(other.state_ ? std::make_unique<std::mt19937>(*other.state_) : nullptr) {}
    NetworkEngine& operator=(const NetworkEngine& other) {
        NetworkEngine copy(other);
        return *this = std::move(copy);
    }
    NetworkEngine(NetworkEngine&&) noexcept = default;
    NetworkEngine& operator=(NetworkEngine&&) noexcept = default;

    static constexpr result_type min() { return std::mt19937::min(); }
    static constexpr result_type max() { return std::mt19937::max(); }
    result_type operator()() {
        if (!state_) state_ = std::make_unique<std::mt19937>(seed_);
        return (*state_)();
    }
    // The engine as it stands, as a standard engine (to replay its draws).
    operator std::mt19937() const { return state_ ? *state_ : std::mt19937(seed_); }
    friend bool operator==(const NetworkEngine& a, const NetworkEngine& b) {
        return std::mt19937(a) == std::mt19937(b);
    }

private:
    result_type seed_;
    std::unique_ptr<std::mt19937> state_;
};

struct Network {
    std::int32_t size = 0;
    std::int32_t inputs = 0;
    std::int32_t outputs = 0;
    std::vector<double> biases;
    std::vector<double> sums;    // evaluation scratch of the one-sample forward pass
    std::vector<double> values;  // evaluation scratch of the one-sample forward pass
    std::vector<std::int32_t> activations;
    std::vector<double> weights;               // [from * size + to]
    std::vector<std::uint64_t> connections;    // [from * row_words() + to / 64], bit to % 64
    NetworkEngine engine;

    // An empty network (no nodes); its engine is seeded like any other.
    Network();
    // A blank network of inputs + outputs nodes: all zero, kinds sigmoid, no connection.
    Network(std::int32_t inputs, std::int32_t outputs);
    // Equal to other in everything but the engine, which is seeded afresh.
    Network(const Network& other);
    // Equal to other in everything, engine state included. Strong guarantee: on failure the
    // target is unchanged.
    Network& operator=(const Network& other);
    Network(Network&& other) noexcept;
    Network& operator=(Network&& other) noexcept;
    ~Network() = default;

    std::int32_t row_words() const { return words_for(size); }
    static std::int32_t words_for(std::int32_t nodes) { return (nodes + 63) >> 6; }

    bool connected(std::int32_t from, std::int32_t to) const {
        return (connections[static_cast<std::size_t>(from) * row_words() + (to >> 6)] >>
                (to & 63)) &
               1u;
    }
    void set_bit(std::int32_t from, std::int32_t to) {
        connections[static_cast<std::size_t>(from) * row_words() + (to >> 6)] |=
            std::uint64_t{1} << (to & 63);
    }
    void clear_bit(std::int32_t from, std::int32_t to) {
        connections[static_cast<std::size_t>(from) * row_words() + (to >> 6)] &=
            ~(std::uint64_t{1} << (to & 63));
    }
    double& weight(std::int32_t from, std::int32_t to) {
        return weights[static_cast<std::size_t>(from) * size + to];
    }
    double weight(std::int32_t from, std::int32_t to) const {
        return weights[static_cast<std::size_t>(from) * size + to];
    }
    const std::uint64_t* row(std::int32_t from) const {
        return connections.data() + static_cast<std::size_t>(from) * row_words();
    }
};

// Calls visit(to) for every set bit of row `from` with to >= first, in ascending order of `to`,
// a word of the row at a time.
template <class Visit>
inline void for_each_target(const Network& network, std::int32_t from, Visit&& visit,
                            std::int32_t first = 0) {
    const std::uint64_t* words = network.row(from);
    const std::int32_t count = network.row_words();
    for (std::int32_t w = first >> 6; w < count; ++w) {
        std::uint64_t bits = words[w];
        if (w == (first >> 6)) bits &= ~std::uint64_t{0} << (first & 63);
        for (; bits != 0; bits &= bits - 1)
            visit(static_cast<std::int32_t>(w * 64 + std::countr_zero(bits)));
    }
}

// Number of set connection bits.
std::size_t connection_count(const Network& network);

// Bytes that the arrays of a network of `nodes` nodes take.
std::size_t network_bytes(std::int32_t nodes);

// Makes the network blank with n nodes, keeping inputs, outputs and the engine. Throws
// std::bad_alloc (leaving the network unchanged) when the arrays cannot be had.
void reset(Network& network, std::int32_t n);

// Random biases and kinds for every node and every allowed connection with a standard normal
// weight. Biases and weights come from the network's engine, kinds from rand().
void randomise(Network& network);

// Sets the bit and gives the connection a standard normal weight from the network's engine.
void connect(Network& network, std::int32_t from, std::int32_t to);

// Clears the bit and sets the weight to 0.
void disconnect(Network& network, std::int32_t from, std::int32_t to);

}  // namespace tessaron
