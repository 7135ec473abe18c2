// The integrity test: every network that variation makes passes it, and a run refuses a network
// to start from that does not.
#pragma once

#include <cstdint>
#include <string>

#include "network/network.hpp"

namespace tessaron {

// The first node, by index, that breaks the test, and how.
struct IntegrityFault {
    enum Kind : std::int8_t { none, no_incoming, no_outgoing };
    Kind kind = none;
    std::int32_t node = -1;
};

// Every input and hidden node needs an outgoing connection to a node at or above its own index,
// and every hidden and output node an incoming connection from a lower index; of a node that
// lacks both, the incoming one is reported. Reads only the counts and the connections; a network
// of no nodes passes.
IntegrityFault find_integrity_fault(const Network& network);

inline bool is_valid(const Network& network) {
    return find_integrity_fault(network).kind == IntegrityFault::none;
}

// "hidden node 5 has no incoming connection" (the node's role, its index and what it lacks).
std::string describe(const IntegrityFault& fault, const Network& network);

}  // namespace tessaron
