#include "persistence/model_state.hpp"

#include <string>

#include "common/errors.hpp"
#include "persistence/network_file.hpp"

namespace tessaron {

Network decode_state_network(std::optional<std::string_view> bytes, const char* owner,
                             const char* key) {
    if (!bytes) return Network();
    return decode_network(*bytes, std::string(owner) + " state '" + key + "'");
}

void check_model_state(const Network& network, const ModelStateFields& fields) {
    const auto text = [](std::int32_t value) { return std::to_string(value); };
    // A model either holds a network of its own counts or, never initialised, none at all.
    if (network.size == 0 && (fields.inputs != 0 || fields.outputs != 0))
        throw InvalidData("Model state without a network must give 0 inputs and 0 outputs, got " +
                          text(fields.inputs) + " and " + text(fields.outputs));
    if (network.size != 0 && (fields.inputs != network.inputs || fields.outputs != network.outputs))
        throw InvalidData("Model state gives " + text(fields.inputs) + " inputs and " +
                          text(fields.outputs) + " outputs, but its network has " +
                          text(network.inputs) + " inputs and " + text(network.outputs) +
                          " outputs");
    // Evolution reads the loss from the first entry, and evolve and evaluate take a compiled
    // model to have an optimizer.
    if (fields.has_loss && fields.losses == 0)
        throw InvalidData("Model state has a loss ('has_loss' is True) but no 'losses'");
    if (fields.compiled && !fields.has_optimizer)
        throw InvalidData("Model state is compiled but has no optimizer");
}

}  // namespace tessaron
