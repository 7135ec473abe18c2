// The interchange layer: node names, what each node of an exported network holds, the invariant
// check before export, and the checked rebuilding of a network on import.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "interchange/export_plan.hpp"
#include "interchange/import_plan.hpp"
#include "interchange/network_check.hpp"
#include "interchange/node_names.hpp"
#include "network/activation.hpp"
#include "network/forward.hpp"
#include "network_builders.hpp"

namespace tessaron {
namespace {

using testing::build_network;
using testing::pattern;
using testing::random_network;

template <class Body>
std::string failure_of(Body&& body) {
    try {
        body();
    } catch (const InvalidData& error) {
        return error.what();
    }
    return "no failure";
}

TEST(KerasNodeNames, IndexIsTheWholeDecimalSuffix) {
    EXPECT_EQ(node_name(0), "node0");
    EXPECT_EQ(node_name(12), "node12");
    EXPECT_EQ(parse_node_index("node0"), 0);
    EXPECT_EQ(parse_node_index("node12"), 12);
    EXPECT_EQ(parse_node_index("node007"), 7);
    EXPECT_EQ(parse_node_index("node2147483647"), std::numeric_limits<std::int32_t>::max());
    for (const char* bad :
         {"node", "node-1", "node+1", "node 1", "node1 ", "node1a", "nodes", "node2147483648",
          "node99999999999999999999", "node0x1", "Node1", "dense", ""})
        EXPECT_FALSE(parse_node_index(bad).has_value()) << bad;
    EXPECT_TRUE(is_node_name("nodes"));  // matched by its first four characters
    EXPECT_FALSE(is_node_name("Node1"));
    EXPECT_FALSE(is_node_name("nod"));
}

TEST(KerasExportPlan, KernelsFollowTheConnectionsInAscendingSourceOrder) {
    // 2 inputs, hidden node 2, output 3 fed by 2 and 0 (listed out of order on purpose).
    Network network = build_network(2, 1, 4, {{2, 3, 3.0}, {0, 2, 0.5}, {1, 2, -1.0}, {0, 3, 2.0}},
                                    {5.0, 6.0, 0.25, -0.75}, {relu, tanh_kind, sigmoid, relu});
    EXPECT_EQ(node_sources(network, 0), std::vector<std::int32_t>{});
    EXPECT_EQ(node_sources(network, 2), (std::vector<std::int32_t>{0, 1}));
    EXPECT_EQ(node_sources(network, 3), (std::vector<std::int32_t>{0, 2}));
    EXPECT_EQ(node_kernel(network, 0), (std::vector<double>{1.0, 0.0}));
    EXPECT_EQ(node_kernel(network, 1), (std::vector<double>{0.0, 1.0}));
    EXPECT_EQ(node_kernel(network, 2), (std::vector<double>{0.5, -1.0}));
    EXPECT_EQ(node_kernel(network, 3), (std::vector<double>{2.0, 3.0}));
    // Input nodes pass their column through: their stored bias and kind are not exported.
    EXPECT_EQ(node_bias(network, 0), 0.0);
    EXPECT_EQ(node_activation_name(network, 0), "linear");
    EXPECT_EQ(node_activation_name(network, 1), "linear");
    EXPECT_EQ(node_bias(network, 2), 0.25);
    EXPECT_EQ(node_activation_name(network, 2), "sigmoid");
    EXPECT_EQ(node_bias(network, 3), -0.75);
    EXPECT_EQ(node_activation_name(network, 3), "relu");
}

// Evaluates the layers that the plan describes, one Dense layer per node, and compares with the
// network's own forward pass: the export must compute the same function.
TEST(KerasExportPlan, LayersComputeTheForwardPass) {
    std::mt19937 engine(11);
    for (int trial = 0; trial < 20; ++trial) {
        Network network = random_network(1 + trial % 4, 1 + trial % 3, trial % 9);
        testing::thin_out(network, 0.5, engine);
        ASSERT_FALSE(invariant_fault(network).has_value());
        std::normal_distribution<double> normal(0.0, 2.0);
        std::vector<double> sample(static_cast<std::size_t>(network.inputs));
        for (double& value : sample) value = normal(engine);
        std::vector<double> layer_output(static_cast<std::size_t>(network.size));
        for (std::int32_t k = 0; k < network.size; ++k) {
            const std::vector<double> kernel = node_kernel(network, k);
            double sum = node_bias(network, k);
            if (k < network.inputs) {
                for (std::size_t r = 0; r < kernel.size(); ++r) sum += kernel[r] * sample[r];
            } else {
                const std::vector<std::int32_t> sources = node_sources(network, k);
                ASSERT_EQ(sources.size(), kernel.size());
                for (std::size_t m = 0; m < sources.size(); ++m)
                    sum += kernel[m] * layer_output[static_cast<std::size_t>(sources[m])];
            }
            const auto kind = activation_from_name(node_activation_name(network, k));
            ASSERT_TRUE(kind.has_value());
            layer_output[static_cast<std::size_t>(k)] = activate(*kind, sum);
        }
        const std::vector<double> expected = forward(network, sample.data());
        for (std::int32_t o = 0; o < network.outputs; ++o)
            EXPECT_EQ(layer_output[static_cast<std::size_t>(network.size - network.outputs + o)],
                      expected[static_cast<std::size_t>(o)]);
    }
}

TEST(ExportPlan, HoldsEveryNodeOfAValidNetworkAndNamesTheFormatOnRefusal) {
    const Network network =
        build_network(2, 1, 4, {{2, 3, 3.0}, {0, 2, 0.5}, {1, 2, -1.0}, {0, 3, 2.0}},
                      {5.0, 6.0, 0.25, -0.75}, {relu, tanh_kind, sigmoid, relu});
    const ExportPlan plan = export_plan(network, "ONNX");
    EXPECT_EQ(plan.inputs, 2);
    EXPECT_EQ(plan.outputs, 1);
    ASSERT_EQ(plan.nodes.size(), 4u);
    for (std::int32_t k = 0; k < 4; ++k) {
        const NodePlan& node = plan.nodes[static_cast<std::size_t>(k)];
        EXPECT_EQ(node.sources, node_sources(network, k));
        EXPECT_EQ(node.kernel, node_kernel(network, k));
        EXPECT_EQ(node.bias, node_bias(network, k));
        EXPECT_EQ(node.activation, node_activation_name(network, k));
    }
    const Network broken = build_network(1, 1, 3, {{0, 2, 1.0}, {1, 2, 1.0}});
    EXPECT_EQ(failure_of([&] { export_plan(broken, "Keras"); }),
              "cannot export the network to Keras: node 1 has no incoming connection");
    EXPECT_EQ(failure_of([&] { export_plan(Network(), "ONNX"); }),
              "cannot export the network to ONNX: it has 0 inputs");
}

TEST(KerasNetworkCheck, AcceptsWellFormedNetworks) {
    for (int hidden = 0; hidden < 6; ++hidden)
        EXPECT_FALSE(invariant_fault(random_network(3, 2, hidden)).has_value());
    // An input node's kind is never exported, so an odd one there does not matter.
    Network network = build_network(1, 1, 2, {{0, 1, 1.0}});
    network.activations[0] = 9;
    EXPECT_FALSE(invariant_fault(network).has_value());
}

TEST(KerasNetworkCheck, NamesTheFirstBrokenInvariant) {
    EXPECT_EQ(invariant_fault(Network()).value(), "it has 0 inputs");
    EXPECT_EQ(invariant_fault(Network(2, 0)).value(), "it has 0 outputs");
    EXPECT_EQ(invariant_fault(build_network(2, 2, 3, {})).value(),
              "its 3 nodes are fewer than its 2 inputs and 2 outputs");
    EXPECT_EQ(invariant_fault(build_network(1, 1, 3, {{0, 2, 1.0}, {1, 2, 1.0}})).value(),
              "node 1 has no incoming connection");
    EXPECT_EQ(invariant_fault(build_network(1, 1, 3, {{0, 1, 1.0}, {0, 2, 1.0}})).value(),
              "node 1 has no outgoing connection");
    EXPECT_EQ(
        invariant_fault(build_network(2, 2, 4, {{0, 2, 1.0}, {1, 3, 1.0}, {2, 3, 1.0}})).value(),
        "connection 2 -> 3 leaves an output node");
    EXPECT_EQ(
        invariant_fault(build_network(2, 1, 3, {{0, 1, 1.0}, {0, 2, 1.0}, {1, 2, 1.0}})).value(),
        "connection 0 -> 1 leads into an input node");
    Network backward = build_network(1, 1, 3, {{0, 1, 1.0}, {1, 2, 1.0}});
    backward.link(2, 1);
    EXPECT_EQ(invariant_fault(backward).value(),
              "connection 2 -> 1 does not lead to a higher index");
    Network stray = build_network(1, 1, 2, {{0, 1, 1.0}});
    stray.link(0, 5);  // a target beyond the last node
    EXPECT_EQ(invariant_fault(stray).value(), "connection 0 -> 5 leads past the last node");
    Network odd_kind = build_network(1, 1, 2, {{0, 1, 1.0}});
    odd_kind.activations[1] = 4;
    EXPECT_EQ(invariant_fault(odd_kind).value(), "node 1 has the unknown activation kind 4");
    Network short_arrays = build_network(1, 1, 2, {{0, 1, 1.0}});
    short_arrays.biases.pop_back();
    EXPECT_EQ(invariant_fault(short_arrays).value(), "its arrays do not match its 2 nodes");
}

TEST(KerasImportPlan, NamesCountsAndOutputs) {
    EXPECT_EQ(node_indices({"input_layer", "node1", "node0", "concatenate", "node2"}),
              (std::vector<std::int32_t>{-1, 1, 0, -1, 2}));
    EXPECT_EQ(failure_of([] { check_node_counts(0, 1, 3); }),
              "the input layer of the Keras model has width 0; at least 1 input is needed");
    EXPECT_EQ(failure_of([] { check_node_counts(2, -1, 3); }),
              "the output of the Keras model has width -1; at least 1 output is needed");
    EXPECT_EQ(failure_of([] { check_node_counts(3, 2, 5); }), "no failure");
    EXPECT_EQ(failure_of([] { check_output_sources({"node3", "node4"}, 2, 5); }), "no failure");
    EXPECT_EQ(failure_of([] { check_output_sources({"node4"}, 1, 5); }), "no failure");
    for (const std::vector<std::string>& wrong :
         {std::vector<std::string>{"node3"}, {"node3", "dense"}, {"node3", "node4", "node4"}})
        EXPECT_NE(failure_of([&] { check_output_sources(wrong, 2, 5); }), "no failure");
}

NodeLayer input_layer(std::int32_t k, std::int32_t inputs) {
    NodeLayer layer;
    layer.name = node_name(k);
    layer.index = k;
    layer.kernel = SampleMatrix(inputs, 1);
    layer.kernel.values[static_cast<std::size_t>(k)] = 1.0;
    layer.bias = {0.0};
    layer.activation = "linear";
    return layer;
}

NodeLayer node_layer(std::int32_t k, std::vector<std::string> sources, std::vector<double> kernel,
                     double bias, std::string activation) {
    NodeLayer layer;
    layer.name = node_name(k);
    layer.index = k;
    layer.kernel = SampleMatrix(static_cast<std::int32_t>(kernel.size()), 1);
    layer.kernel.values = std::move(kernel);
    layer.bias = {bias};
    layer.activation = std::move(activation);
    layer.sources = std::move(sources);
    return layer;
}

// 2 inputs, hidden node 2 (fed by 1 only), output 3 fed by 0 and 2; listed in Keras's order.
std::vector<NodeLayer> example_layers() {
    return {input_layer(1, 2), input_layer(0, 2), node_layer(2, {"node1"}, {-1.5}, 0.25, "tanh"),
            node_layer(3, {"node0", "node2"}, {2.0, 3.0}, -0.5, "relu")};
}

TEST(KerasImportPlan, AssemblesTheDescribedNetwork) {
    const Network network = assemble_network(2, 1, 4, example_layers());
    const Network expected =
        build_network(2, 1, 4, {{1, 2, -1.5}, {0, 3, 2.0}, {2, 3, 3.0}}, {0.0, 0.0, 0.25, -0.5},
                      {sigmoid, sigmoid, tanh_kind, relu});
    EXPECT_EQ(network.size, 4);
    EXPECT_EQ(network.inputs, 2);
    EXPECT_EQ(network.outputs, 1);
    EXPECT_EQ(network.biases, expected.biases);
    EXPECT_EQ(network.activations, expected.activations);
    EXPECT_EQ(network.weights, expected.weights);
    EXPECT_EQ(pattern(network), pattern(expected));
}

TEST(KerasImportPlan, RefusesLayersThatDoNotDescribeANode) {
    auto refusal = [](auto change) {
        std::vector<NodeLayer> layers = example_layers();
        change(layers);
        return failure_of([&] { assemble_network(2, 1, 4, layers); });
    };
    EXPECT_EQ(refusal([](auto& l) {
                  l[2].sources.clear();
                  l[2].kernel = SampleMatrix(0, 1);
              }),
              "the layer 'node2' is fed by no node layer");
    EXPECT_EQ(refusal([](auto& l) { l[2].bias = {1.0, 2.0}; }),
              "the bias of layer 'node2' has 2 values; a node layer has exactly one");
    EXPECT_EQ(refusal([](auto& l) { l[3].sources[1] = "node2x"; }),
              "the layer 'node3' is fed by 'node2x', which is not a node layer");
    EXPECT_EQ(
        refusal([](auto& l) { l[2].sources[0] = "node2"; }),
        "the layer 'node2' is fed by 'node2'; a node can only be fed by nodes of lower index");
    EXPECT_EQ(refusal([](auto& l) { l[1].index = 1; }),
              "the layer 'node0' does not name a node of its own");
    EXPECT_EQ(refusal([](auto& l) { l.pop_back(); }), "no layer is named node3");
    // An input node layer must still pass its column through unchanged.
    const std::string changed =
        "the input node layer 'node0' no longer passes input 0 through unchanged (a one-hot "
        "kernel of shape (2, 1), a zero bias and linear activation); it was changed in Keras";
    EXPECT_EQ(refusal([](auto& l) { l[1].kernel.values[1] = 0.001; }), changed);
    EXPECT_EQ(refusal([](auto& l) { l[1].bias.clear(); }), changed);
    EXPECT_EQ(refusal([](auto& l) { l[1].activation = "relu"; }), changed);
    EXPECT_EQ(refusal([](auto& l) { l[1].kernel = SampleMatrix(3, 1); }), changed);
}

TEST(KerasImportPlan, RoundTripOfThePlanRestoresTheNetwork) {
    std::mt19937 engine(5);
    for (int trial = 0; trial < 10; ++trial) {
        Network network = random_network(1 + trial % 3, 1 + trial % 4, trial);
        testing::thin_out(network, 0.4, engine);
        std::vector<NodeLayer> layers;
        for (std::int32_t k = network.size - 1; k >= 0; --k) {  // any layer order will do
            NodeLayer layer;
            layer.name = node_name(k);
            layer.index = k;
            const std::vector<double> kernel = node_kernel(network, k);
            layer.kernel = SampleMatrix(static_cast<std::int32_t>(kernel.size()), 1);
            layer.kernel.values = kernel;
            layer.bias = {node_bias(network, k)};
            layer.activation = std::string(node_activation_name(network, k));
            for (std::int32_t j : node_sources(network, k)) layer.sources.push_back(node_name(j));
            layers.push_back(std::move(layer));
        }
        const Network back =
            assemble_network(network.inputs, network.outputs, network.size, layers);
        EXPECT_EQ(back.weights, network.weights);
        EXPECT_EQ(pattern(back), pattern(network));
        for (std::int32_t k = network.inputs; k < network.size; ++k) {
            EXPECT_EQ(back.biases[static_cast<std::size_t>(k)],
                      network.biases[static_cast<std::size_t>(k)]);
            EXPECT_EQ(back.activations[static_cast<std::size_t>(k)],
                      network.activations[static_cast<std::size_t>(k)]);
        }
    }
}

}  // namespace
}  // namespace tessaron
