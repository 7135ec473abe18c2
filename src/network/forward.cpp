#include "network/forward.hpp"

#include <algorithm>

#include "network/activation.hpp"

// The block kernel is compiled for several instruction sets and the best one is picked when the
// library loads; the portable build stays the default. Only vector width changes: with contraction
// off, every lane rounds exactly as the scalar code does. The clones belong to a function of this
// file only, called through forward_block: clang 14 compiles a call from another file to a
// multiversioned function into a call of its resolver.
#if defined(__GNUC__) && defined(__x86_64__) && defined(__linux__) && !defined(TESSARON_NO_CLONES)
#define TESSARON_KERNEL_CLONES __attribute__((target_clones("default", "avx2", "avx512f")))
#else
#define TESSARON_KERNEL_CLONES
#endif

namespace tessaron {
namespace {

inline void add_scaled(double* __restrict target, const double* __restrict source, double weight,
                       std::int32_t count) {
    for (std::int32_t s = 0; s < count; ++s) target[s] += weight * source[s];
}

inline void activate_all(std::int32_t kind, double* __restrict v, std::int32_t count) {
    switch (kind) {
        case sigmoid:
            for (std::int32_t s = 0; s < count; ++s) v[s] = activate(sigmoid, v[s]);
            break;
        case tanh_kind:
            for (std::int32_t s = 0; s < count; ++s) v[s] = activate(tanh_kind, v[s]);
            break;
        case relu:
            for (std::int32_t s = 0; s < count; ++s) v[s] = v[s] > 0.0 ? v[s] : 0.0;
            break;
        case linear:
            break;
        default:
            std::fill(v, v + count, 0.0);
    }
}

}  // namespace

std::vector<double> forward(Network& network, const double* sample) {
    const std::int32_t size = network.size;
    const std::int32_t inputs = network.inputs;
    std::copy(network.biases.begin(), network.biases.end(), network.sums.begin());
    for (std::int32_t j = 0; j < size; ++j) {
        const double value = j < inputs ? sample[j] : activate(network.activations[j], network.sums[j]);
        network.values[j] = value;
        const double* weights = network.weights.data() + static_cast<std::size_t>(j) * size;
        for_each_target(
            network, j, [&](std::int32_t k) { network.sums[k] += weights[k] * value; }, inputs);
    }
    return std::vector<double>(network.values.end() - network.outputs, network.values.end());
}

namespace {

TESSARON_KERNEL_CLONES
void block_kernel(const Network& network, const double* x, std::size_t x_stride,
                  std::int32_t count, ForwardScratch& scratch) {
    constexpr std::size_t block = forward_block_size;
    const std::int32_t size = network.size;
    const std::int32_t inputs = network.inputs;
    double* values = scratch.node_values.data();
    for (std::int32_t k = inputs; k < size; ++k)
        std::fill(values + k * block, values + k * block + count, network.biases[k]);
    for (std::int32_t j = 0; j < size; ++j) {
        double* own = values + j * block;
        if (j < inputs) {
            for (std::int32_t s = 0; s < count; ++s) own[s] = x[s * x_stride + j];
        } else {
            activate_all(network.activations[j], own, count);
        }
        // A bit at or below j would reach a node already evaluated, which the one-sample pass
        // ignores too; a well-formed network has none.
        const double* weights = network.weights.data() + static_cast<std::size_t>(j) * size;
        for_each_target(
            network, j,
            [&](std::int32_t k) { add_scaled(values + k * block, own, weights[k], count); },
            std::max(inputs, j + 1));
    }
}

}  // namespace

void forward_block(const Network& network, const double* x, std::size_t x_stride,
                   std::int32_t count, ForwardScratch& scratch) {
    block_kernel(network, x, x_stride, count, scratch);
}

void forward_rows(const Network& network, const SampleMatrix& x, std::int32_t first_row,
                  std::int32_t row_count, double* out, ForwardScratch& scratch) {
    scratch.fit(network);
    const std::int32_t outputs = network.outputs;
    for (std::int32_t first = 0; first < row_count; first += forward_block_size) {
        const std::int32_t count = std::min(forward_block_size, row_count - first);
        forward_block(network, x.row(first_row + first), static_cast<std::size_t>(x.cols), count,
                      scratch);
        double* block_out = out + static_cast<std::size_t>(first) * outputs;
        for (std::int32_t o = 0; o < outputs; ++o)
            for (std::int32_t s = 0; s < count; ++s)
                block_out[static_cast<std::size_t>(s) * outputs + o] = block_output(network, scratch, o, s);
    }
}

}  // namespace tessaron
