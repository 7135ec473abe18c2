// The Keras import plan on any description of a model, in the order from_keras checks it: the
// layer names, the counts, the output's sources, then the node layers. Every step refuses with
// InvalidData or passes on what the next one needs, and a network assembled is well-formed and
// keeps the invariants of exported models.
//
// Input: the layer count, then per layer a name (a node name, an input name or any text); the
// input and output widths; the output's sources; per node layer its kernel, bias, activation and
// sources.
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "fuzz_support.hpp"
#include "interchange/import_plan.hpp"
#include "interchange/network_check.hpp"
#include "interchange/node_names.hpp"

using namespace tessaron;

namespace {

constexpr const char* activations[] = {"sigmoid", "tanh", "relu", "linear"};

// Mostly the name of a node below `nodes`, sometimes any text.
std::string layer_name(fuzz::FuzzBytes& input, std::int32_t nodes) {
    const std::uint8_t choice = input.byte();
    if (choice % 8 == 7) return std::string(input.text());
    if (choice % 8 == 6) return "input_" + std::to_string(choice);
    return node_name(input.byte() % nodes);
}

// A count that is mostly small and sometimes any 64-bit value.
std::int64_t width(fuzz::FuzzBytes& input) {
    const std::uint8_t small = input.byte();
    return small == 255 ? input.take<std::int64_t>() : small % 6;
}

NodeLayer node_layer(fuzz::FuzzBytes& input, const std::string& name, std::int32_t index,
                     std::int32_t nodes) {
    NodeLayer layer;
    layer.name = name;
    layer.index = index;
    const std::uint8_t shape = input.byte();
    layer.kernel = SampleMatrix(shape % 9, 1 + shape / 128);
    for (double& value : layer.kernel.values) value = input.take<double>();
    layer.bias.resize(input.byte() % 3);
    for (double& value : layer.bias) value = input.take<double>();
    const std::uint8_t kind = input.byte();
    layer.activation = kind < 240 ? activations[kind % 4] : std::string(input.text());
    layer.sources.resize(input.byte() % 9);
    for (std::string& source : layer.sources) source = layer_name(input, nodes);
    return layer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzBytes input(data, size);
    const std::int32_t count = 1 + input.byte() % 24;
    std::vector<std::string> names;
    for (std::int32_t i = 0; i < count; ++i) names.push_back(layer_name(input, count));
    try {
        const std::vector<std::int32_t> indices = node_indices(names);
        std::int32_t nodes = 0;
        for (std::int32_t index : indices) {
            fuzz::require(index >= -1 && index < count, "node index in range");
            nodes += index >= 0;
        }
        const std::int64_t inputs = width(input), outputs = width(input);
        check_node_counts(inputs, outputs, nodes);
        const auto i = static_cast<std::int32_t>(inputs), o = static_cast<std::int32_t>(outputs);
        if (count > 1) {
            std::vector<std::string> sources(input.byte() % 5);
            for (std::string& source : sources) source = layer_name(input, count);
            check_output_sources(sources, o, nodes);
        }
        std::vector<NodeLayer> layers;
        for (std::int32_t l = 0; l < count; ++l)
            if (indices[l] >= 0) layers.push_back(node_layer(input, names[l], indices[l], count));
        const Network network = assemble_network(i, o, nodes, layers);
        fuzz::require(network.size == nodes && network.inputs == i && network.outputs == o,
                      "the counts read");
        fuzz::require_well_formed(network);
        fuzz::require(!invariant_fault(network), "an assembled network keeps the invariants");
    } catch (const InvalidData&) {
    }
    return 0;
}
