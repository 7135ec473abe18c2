// The pickle reader's core on any state: the network bytes (or none) and the counts and compile
// state beside them are refused with InvalidData, or they agree with one another.
//
// Input: flags (bit 0: no network, 1: compiled, 2: has_loss, 3: an optimizer), the number of
// loss names, inputs and outputs (int32 each), then the network's bytes.
#include <string>

#include "common/errors.hpp"
#include "fuzz_support.hpp"
#include "persistence/model_state.hpp"
#include "persistence/network_file.hpp"

using namespace tessaron;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzBytes input(data, size);
    const std::uint8_t flags = input.byte();
    ModelStateFields fields;
    fields.compiled = flags & 2;
    fields.has_loss = flags & 4;
    fields.has_optimizer = flags & 8;
    fields.losses = input.byte();
    fields.inputs = input.take<std::int32_t>();
    fields.outputs = input.take<std::int32_t>();
    std::optional<std::string_view> bytes;
    if (!(flags & 1)) bytes = input.rest();
    Network network;
    try {
        network = decode_state_network(bytes, "Model", "network");
        check_model_state(network, fields);
    } catch (const InvalidData&) {
        return 0;
    }
    fuzz::require(!fields.has_loss || fields.losses > 0, "a loss has names");
    fuzz::require(!fields.compiled || fields.has_optimizer, "compiled with an optimizer");
    if (network.size == 0) {
        fuzz::require(!bytes && fields.inputs == 0 && fields.outputs == 0, "no network, no counts");
        return 0;
    }
    fuzz::require(network.inputs == fields.inputs && network.outputs == fields.outputs,
                  "the state's counts are its network's");
    fuzz::require_well_formed(network);
    fuzz::require(fuzz::same_network(decode_network(encode_network(network), "again"), network),
                  "the state's network encodes to itself");
    return 0;
}
