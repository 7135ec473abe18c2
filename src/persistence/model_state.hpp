// The parts of a pickled Model's state that must agree with one another: the network, stored in
// the bytes of its model file, and the counts and compile state stored beside it. The Python
// layer reads the entries of the state dict; what they say is checked here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "network/network.hpp"

namespace tessaron {

// The network stored under `key` in the state of an `owner` ("Model", "Genome"): the empty
// network for none (a state of an object never initialised), else the decoded bytes, refused as
// decode_network refuses them with messages that start "<owner> state '<key>'".
Network decode_state_network(std::optional<std::string_view> bytes, const char* owner,
                             const char* key);

// What a Model's state says beside its network.
struct ModelStateFields {
    std::int32_t inputs = 0;
    std::int32_t outputs = 0;
    bool compiled = false;
    bool has_loss = false;
    std::size_t losses = 0;  // loss and metric names
    bool has_optimizer = false;
};

// Refuses (InvalidData) a Model state that contradicts itself: counts other than its network's
// (0 and 0 without a network), a loss without loss names, a compiled model without an optimizer.
void check_model_state(const Network& network, const ModelStateFields& fields);

}  // namespace tessaron
