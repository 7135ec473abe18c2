// The structural operators that every optimizer uses: split a connection with a new node, remove
// a node, add and remove a connection, redraw a node's activation kind. Each collects its
// admissible choices in row-major order (source ascending, then target ascending), lets its
// StructureDraws pick one and choose the values of what it creates, and keeps every per-node
// array and the connection arrays in step, renumbering the nodes behind an inserted or deleted
// one. A changed network keeps its engine. Each costs the network's nodes plus its connections.
// None of them tests validity; an operator that finds no choice leaves the network (and its
// draws) untouched.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>

#include "network/network.hpp"
#include "network/random_sources.hpp"

namespace tessaron {

// Where the draws of a structural change come from, and how the weights and biases of what it
// creates are chosen.
class StructureDraws {
  public:
    virtual ~StructureDraws() = default;
    // One of `count` candidates (1 <= count <= 2^31), uniformly.
    virtual std::int64_t pick(std::int64_t count) = 0;
    // The activation kind of a new node, or of a node whose kind is redrawn.
    virtual std::int32_t kind() = 0;
    // The bias of a node that splits a connection.
    virtual double split_bias() = 0;
    // The weights into and out of a node that splits a connection of weight `old_weight`.
    virtual std::pair<double, double> split_weights(Network& network, double old_weight) = 0;
    // The weight from a source of a removed node to one of its targets, where the two weights
    // through the node were `into` and `out_of`; `existing` points to the weight the pair had
    // already, if connected.
    virtual double bridge_weight(Network& network, const double* existing, double into,
                                 double out_of) = 0;
    // The weight of a new connection into node `to`.
    virtual double new_weight(Network& network, std::int32_t to) = 0;
};

// Alpha's draws: choices and kinds from the rand() sequence of `sources`, a new node's bias from
// their fresh normal draws, and every new weight a standard normal deviate of the network's own
// engine (the split connection's weight is dropped; a bridge replaces the weight a pair had).
class SourcesStructureDraws final : public StructureDraws {
  public:
    explicit SourcesStructureDraws(RandomSources& sources) : sources_(sources) {}
    std::int64_t pick(std::int64_t count) override;
    std::int32_t kind() override;
    double split_bias() override;
    std::pair<double, double> split_weights(Network& network, double old_weight) override;
    double bridge_weight(Network& network, const double* existing, double into,
                         double out_of) override;
    double new_weight(Network& network, std::int32_t to) override;

  private:
    RandomSources& sources_;
};

// A node inserted by add_node, and the node it feeds, numbered as before the insertion.
struct InsertedNode {
    std::int32_t node = -1;  // -1: none
    std::int32_t feeds = -1;
};

// Splits a random existing connection a -> b into a -> new node -> b. Draws in this order: the
// connection, the new node's kind, its bias, its two weights.
InsertedNode add_node(Network& network, StructureDraws& draws);

// Deletes a random hidden node and connects each of its sources to each of its targets (sources
// ascending, targets ascending). Returns the node's index, or -1 when there is no hidden node.
std::int32_t remove_node(Network& network, StructureDraws& draws);

// Creates a random absent connection that the connection pattern allows; true when one was made.
bool add_connection(Network& network, StructureDraws& draws);

// Deletes a random connection whose source has two or more outgoing and whose target has two or
// more incoming connections; true when one was deleted.
bool remove_connection(Network& network, StructureDraws& draws);

// Gives node `node` the kind drawn by `draws` (which may be its old one).
void redraw_activation(Network& network, std::int32_t node, StructureDraws& draws);

// Disconnects a -> b and inserts a node at h = max(a + 1, inputs), connected a -> h -> b (b now
// one higher) with the weights `weights` gives once the arrays are had (into, then out of the
// new node). Throws InvalidData, leaving the network unchanged, when a or b is not a node or h
// would lie beyond the last node; std::bad_alloc leaves it unchanged too, without a draw.
void insert_node(Network& network, std::int32_t a, std::int32_t b, double bias,
                 std::int32_t activation,
                 const std::function<std::pair<double, double>()>& weights);

// insert_node with two standard normal deviates of the network's engine; the weight of the
// split connection is dropped.
void insert_node(Network& network, std::int32_t a, std::int32_t b, double bias,
                 std::int32_t activation);

}  // namespace tessaron
