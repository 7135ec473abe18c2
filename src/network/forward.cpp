#include "network/forward.hpp"

#include <algorithm>

#include "network/activation.hpp"

// The block kernel is compiled for several instruction sets and the best one is picked when the
// library loads; the portable build stays the default. Only vector width changes: with contraction
// off, every lane rounds exactly as the scalar code does.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__) && \
    !defined(TESSARON_NO_CLONES)
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

std::vector<double> forward(const Network& network, const double* sample) {
    thread_local SampleScratch scratch;
    return forward(network, sample, scratch);
}

std::vector<double> forward(const Network& network, const double* sample, SampleScratch& scratch) {
    const std::int32_t size = network.size;
    const std::int32_t inputs = network.inputs;
    scratch.sums.assign(network.biases.begin(), network.biases.end());
    scratch.values.resize(static_cast<std::size_t>(size));
    double* sums = scratch.sums.data();
    for (std::int32_t j = 0; j < size; ++j) {
        const double value = j < inputs ? sample[j] : activate(network.activations[j], sums[j]);
        scratch.values[j] = value;
        const std::int32_t end = network.out_end(j);
        for (std::int32_t e = network.out_begin(j); e < end; ++e) {
            const std::int32_t k = network.targets[e];
            if (k >= inputs && k < size) sums[k] += network.weights[e] * value;
        }
    }
    return std::vector<double>(scratch.values.end() - network.outputs, scratch.values.end());
}

TESSARON_KERNEL_CLONES
void forward_block(const Network& network, const double* x, std::size_t x_stride,
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
        // A connection to j or below would reach a node already evaluated, which the one-sample
        // pass ignores too; a well-formed network has none.
        const std::int32_t lowest = std::max(inputs, j + 1);
        const std::int32_t end = network.out_end(j);
        for (std::int32_t e = network.out_begin(j); e < end; ++e) {
            const std::int32_t k = network.targets[e];
            if (k >= lowest && k < size) add_scaled(values + k * block, own, network.weights[e], count);
        }
    }
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
