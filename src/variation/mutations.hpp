// The structural mutations: each collects its admissible choices in row-major order (source
// ascending, then target ascending), picks one with random_int from the rand() sequence of the
// sources given (by default the calling thread's), and keeps every per-node array
// and the connection arrays in step, renumbering the nodes behind an inserted or deleted one.
// Each costs the network's nodes plus its connections. None of them tests validity; a mutation
// that finds no choice leaves the network (and the sources) untouched.
#pragma once

#include <cstdint>

#include "network/network.hpp"

namespace tessaron {

// Splits a random existing connection a -> b into a -> new node -> b. The new node's kind comes
// from random_activation, then its bias from fresh_normal(0, 1).
void add_node(Network& network, RandomSources& sources = thread_random_sources());

// Deletes a random hidden node and connects each of its sources to each of its targets.
void remove_node(Network& network, RandomSources& sources = thread_random_sources());

// Creates a random absent connection that the connection pattern allows.
void add_connection(Network& network, RandomSources& sources = thread_random_sources());

// Deletes a random connection whose source has two or more outgoing and whose target has two or
// more incoming connections.
void remove_connection(Network& network, RandomSources& sources = thread_random_sources());

// Disconnects a -> b and inserts a node at h = max(a + 1, inputs), connected a -> h -> b (b now
// one higher) with fresh weights; the weight of the split connection is dropped. Throws
// InvalidData, leaving the network unchanged, when a or b is not a node or h would lie beyond
// the last node; std::bad_alloc leaves it unchanged too.
void insert_node(Network& network, std::int32_t a, std::int32_t b, double bias,
                 std::int32_t activation);

}  // namespace tessaron
