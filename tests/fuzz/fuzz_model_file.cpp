// The model-file decoder on any bytes: it refuses them with InvalidData or gives a well-formed
// network, which encodes to bytes that decode to the same network, and which the integrity test,
// the export check and a forward pass can take.
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "fuzz_support.hpp"
#include "interchange/network_check.hpp"
#include "network/forward.hpp"
#include "network/integrity.hpp"
#include "persistence/network_file.hpp"

using namespace tessaron;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Network network;
    try {
        network = decode_network(std::string_view(reinterpret_cast<const char*>(data), size),
                                 "fuzz input");
    } catch (const InvalidData&) {
        return 0;
    }
    fuzz::require_well_formed(network);
    const std::string encoded = encode_network(network);
    const Network again = decode_network(encoded, "re-encoded");
    fuzz::require(fuzz::same_network(network, again), "decode(encode(network)) == network");
    fuzz::require(encode_network(again) == encoded, "one encoding per network");
    is_valid(network);
    invariant_fault(network);
    const std::vector<double> sample(static_cast<std::size_t>(network.inputs), 0.5);
    fuzz::require(
        forward(network, sample.data()).size() == static_cast<std::size_t>(network.outputs),
        "one value per output");
    return 0;
}
