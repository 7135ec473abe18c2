// The integrity test that variation applies to every network it produces.
#pragma once

#include "network/network.hpp"

namespace tessaron {

// True when every input and hidden node has an outgoing connection to a node at or above its own
// index, and every hidden and output node has an incoming connection from a lower index. Reads
// only the counts and the connections; a network of no nodes is valid.
bool is_valid(const Network& network);

}  // namespace tessaron
