// Whether a network keeps the invariants that its exported forms depend on: the layer of every
// non-input node needs an input, every layer must lead to the output (an exported graph drops the
// others), and every kind must have a named activation.
#pragma once

#include <optional>
#include <string>

#include "network/network.hpp"

namespace tessaron {

// A description of the first broken invariant, or nothing for a well-formed network.
std::optional<std::string> invariant_fault(const Network& network);

}  // namespace tessaron
