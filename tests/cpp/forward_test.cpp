#include "network/forward.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "network/activation.hpp"
#include "network_builders.hpp"

namespace tessaron {
namespace {

using testing::build_network;
using testing::random_network;

// An independent formulation: pull every node's inputs from its sources in ascending order.
std::vector<double> pull_oracle(const Network& network, const double* sample) {
    std::vector<double> value(network.size);
    for (std::int32_t k = 0; k < network.size; ++k) {
        if (k < network.inputs) {
            value[k] = sample[k];
            continue;
        }
        double sum = network.biases[k];
        for (std::int32_t j = 0; j < k; ++j)
            if (network.connected(j, k)) sum += network.weight(j, k) * value[j];
        value[k] = activate(network.activations[k], sum);
    }
    return {value.end() - network.outputs, value.end()};
}

// Equal to the bit, except that any two NaNs match: the sign and payload of a NaN made from two
// NaN operands depend on the order the compiler gives the operands of a commutative addition.
bool same_bits(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(Forward, WorkedExamples) {
    Network linear_out = build_network(2, 1, 3, {{0, 2, 2.0}, {1, 2, -1.0}}, {0, 0, 0.5});
    const double sample[] = {3, 4};
    EXPECT_EQ(forward(linear_out, sample), std::vector<double>{2.5});
    Network relu_out = linear_out;
    relu_out.activations[2] = relu;
    EXPECT_EQ(forward(relu_out, sample), std::vector<double>{2.5});
    const double negative[] = {0, 4};
    EXPECT_EQ(forward(relu_out, negative), std::vector<double>{0.0});
    Network silent =
        build_network(2, 1, 3, {{0, 2, 0.0}, {1, 2, 0.0}}, {0, 0, 1.5}, {0, 0, sigmoid});
    // Our exp is within an ulp of the library's, not always equal to it.
    EXPECT_NEAR(forward(silent, sample)[0], 1.0 / (1.0 + std::exp(-1.5)), 1e-15);
}

TEST(Forward, InputBiasKindAndExtraColumnsAreIgnored) {
    Network network = random_network(3, 2, 4);
    const double sample[] = {0.5, -1.25, 2.0, 99.0, -99.0};
    const std::vector<double> before = forward(network, sample);
    network.biases[0] = 1e6;
    network.activations[1] = relu;
    network.activations[2] = 42;
    EXPECT_EQ(forward(network, sample), before);
    EXPECT_EQ(forward(network, sample), before);  // nothing carries over between calls
}

TEST(Forward, HiddenNodeFeedsBothOutputsTheSameValue) {
    // Node 2 is a relu hidden node with a negative sum: it contributes 0 to both outputs.
    Network network = build_network(
        2, 2, 5, {{0, 2, 1.0}, {1, 2, 1.0}, {2, 3, 5.0}, {2, 4, 7.0}, {0, 3, 1.0}, {1, 4, 1.0}},
        {0, 0, -10.0, 0, 0}, {3, 3, relu, 3, 3});
    const double sample[] = {1.0, 2.0};
    EXPECT_EQ(forward(network, sample), (std::vector<double>{1.0, 2.0}));
    network.biases[2] = 1.0;  // sum 4: outputs get 20 + 1 and 28 + 2
    EXPECT_EQ(forward(network, sample), (std::vector<double>{21.0, 30.0}));
}

// The block kernel must give the one-sample results bit for bit, for any count of samples
// (partial blocks included), any kind, sparse and dense networks, and special values.
// A node's sum starts at its bias itself: a bias of -0 with no incoming products stays -0 in the
// block kernel as in the one-sample pass (0 + -0 would be +0).
TEST(Forward, NegativeZeroBiasKeepsItsSignInEveryPath) {
    for (const std::int32_t kind : {linear, tanh_kind}) {
        Network network =
            build_network(1, 2, 3, {{0, 2, -0.0}}, {0.0, -0.0, -0.0}, {0, kind, kind});
        SampleMatrix x(130, 1);
        for (double& v : x.values) v = 1.0;
        std::vector<double> block_out(static_cast<std::size_t>(x.rows) * 2);
        ForwardScratch scratch;
        forward_rows(network, x, block_out.data(), scratch);
        for (std::int32_t i = 0; i < x.rows; ++i) {
            // Output 0 has no sources; output 1 adds -0 * 1 = -0 to its -0 bias.
            EXPECT_TRUE(same_bits(forward(network, x.row(i))[0], -0.0)) << kind;
            EXPECT_TRUE(same_bits(block_out[2 * static_cast<std::size_t>(i)], -0.0)) << kind;
            EXPECT_TRUE(same_bits(block_out[2 * static_cast<std::size_t>(i) + 1], -0.0)) << kind;
        }
    }
}

TEST(Forward, BlockKernelIsBitIdenticalToOneSamplePass) {
    std::mt19937 engine(12345);
    std::normal_distribution<double> normal(0.0, 2.0);
    for (int trial = 0; trial < 60; ++trial) {
        const std::int32_t inputs = 1 + trial % 5, outputs = 1 + trial % 3;
        const std::int32_t hidden = (trial * 7) % 70;
        Network network = random_network(inputs, outputs, hidden);
        if (trial % 2) testing::thin_out(network, 0.7, engine);
        for (auto& kind : network.activations) kind = static_cast<std::int32_t>(engine() % 4);
        const std::int32_t rows = std::vector<std::int32_t>{0, 1, 127, 128, 129, 300}[trial % 6];
        SampleMatrix x(rows, inputs + trial % 2);
        for (double& v : x.values) v = normal(engine);
        if (rows > 2) {
            x.values[0] = std::numeric_limits<double>::quiet_NaN();
            x.values[1] = std::numeric_limits<double>::infinity();
            x.values[2] = -0.0;
        }
        // Every instruction-set variant of the block kernel against the one-sample pass.
        testing::for_each_instruction_set([&](InstructionSet set) {
            std::vector<double> block_out(static_cast<std::size_t>(rows) * outputs);
            ForwardScratch scratch;
            forward_rows(network, x, block_out.data(), scratch);
            for (std::int32_t i = 0; i < rows; ++i) {
                const std::vector<double> single = forward(network, x.row(i));
                const std::vector<double> oracle = pull_oracle(network, x.row(i));
                for (std::int32_t o = 0; o < outputs; ++o) {
                    const double batched = block_out[static_cast<std::size_t>(i) * outputs + o];
                    ASSERT_TRUE(same_bits(single[o], batched))
                        << instruction_set_name(set) << ", trial " << trial << " row " << i << ": "
                        << single[o] << " vs " << batched;
                    ASSERT_TRUE(same_bits(single[o], oracle[o]))
                        << "trial " << trial << " row " << i << ": " << single[o] << " vs "
                        << oracle[o];
                }
            }
        });
    }
}

// The kernel starts with the best variant this machine supports, and a variant it does not support
// is never chosen.
TEST(InstructionSet, TheBestSupportedRunsAndOthersAreRefused) {
    InstructionSet best = InstructionSet::portable;
    for (const InstructionSet set : instruction_sets)
        if (instruction_set_supported(set)) best = set;
    EXPECT_EQ(active_instruction_set(), best);
    for (const InstructionSet set : instruction_sets) {
        EXPECT_EQ(use_instruction_set(set), instruction_set_supported(set));
        EXPECT_EQ(active_instruction_set(), instruction_set_supported(set) ? set : best);
        use_instruction_set(best);
    }
}

}  // namespace
}  // namespace tessaron
