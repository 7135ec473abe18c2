#include "network/forward.hpp"

#include <algorithm>
#include <cstring>

#include "network/activation.hpp"
#include "network/activation_vector.hpp"

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

#ifdef TESSARON_VECTOR_ACTIVATIONS
// Whether activation_vector's functions run here; they give the bits of the plain loops, faster.
bool vector_activations_run() {
    static const bool runs = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") != 0;
    }();
    return runs;
}
#endif

// Rows hold a whole number of vectors of 8 past any `count`, which activate_all may fill.
static_assert(forward_block_size % 8 == 0 && forward_row_stride >= forward_block_size);
inline void activate_all(std::int32_t kind, double* __restrict v, std::int32_t count) {
    switch (kind) {
        case sigmoid:
#ifdef TESSARON_VECTOR_ACTIVATIONS
            if (vector_activations_run()) {
                activation_vector::sigmoid_lanes(v, count);
                break;
            }
#endif
            for (std::int32_t s = 0; s < count; ++s) v[s] = activate(sigmoid, v[s]);
            break;
        case tanh_kind:
#ifdef TESSARON_VECTOR_ACTIVATIONS
            if (vector_activations_run()) {
                activation_vector::tanh_lanes(v, count);
                break;
            }
#endif
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

void forward_sample(const Network& network, const double* sample, SampleScratch& scratch,
                    double* outputs) {
    const std::int32_t size = network.size;
    const std::int32_t inputs = network.inputs;
    scratch.sums.assign(network.biases.begin(), network.biases.end());
    scratch.values.resize(static_cast<std::size_t>(size));
    double* __restrict sums = scratch.sums.data();
    double* __restrict values = scratch.values.data();
    const std::int32_t* targets = network.targets.data();
    const double* weights = network.weights.data();
    // The sum of node j + 1 once node j has added to it, kept in a register for the next
    // activation: the chain from one node to the next is the pass's critical path.
    double next_sum = 0.0;
    bool next_sum_kept = false;
    for (std::int32_t j = 0; j < size; ++j) {
        double value;
        if (j < inputs) {
            value = sample[j];
        } else {
            value = activate(network.activations[j], next_sum_kept ? next_sum : sums[j]);
        }
        next_sum_kept = false;
        values[j] = value;
        // Targets ascend, so those that evaluation adds to (at or above `inputs`, below `size`)
        // are one run of the row, found from its ends.
        std::int32_t begin = network.out_begin(j), end = network.out_end(j);
        while (begin < end && targets[begin] < inputs) ++begin;
        while (end > begin && targets[end - 1] >= size) --end;
        if (begin == end) continue;
        const std::int32_t first = targets[begin];
        if (first == j + 1) {
            next_sum = sums[first] + weights[begin] * value;
            sums[first] = next_sum;
            next_sum_kept = true;
            ++begin;
            if (begin == end) continue;
        }
        const std::int32_t rest = targets[begin];
        if (targets[end - 1] - rest == end - 1 - begin) {
            // Consecutive targets (every row of a fully connected network): a plain loop over
            // adjacent sums, which the compiler vectorises.
            double* __restrict row_sums = sums + rest;
            const double* row_weights = weights + begin;
            for (std::int32_t t = 0; t < end - begin; ++t) row_sums[t] += row_weights[t] * value;
        } else {
            for (std::int32_t e = begin; e < end; ++e) sums[targets[e]] += weights[e] * value;
        }
    }
    std::copy(values + size - network.outputs, values + size, outputs);
}

std::vector<double> forward(const Network& network, const double* sample, SampleScratch& scratch) {
    std::vector<double> outputs(static_cast<std::size_t>(network.outputs));
    forward_sample(network, sample, scratch, outputs.data());
    return outputs;
}

namespace {

// Samples whose sums a target node keeps in registers while its sources are added: four
// vectors of eight doubles (split into narrower registers by the narrower instruction sets).
typedef double Lanes8 __attribute__((vector_size(64)));
constexpr std::int32_t pull_vectors = 4;
constexpr std::int32_t pull_lanes = 8 * pull_vectors;

// Bias, then one rounded product per source in ascending order, for pull_lanes samples at once.
// The first `from_inputs` sources are input nodes, whose rows lie at `input_rows`.
__attribute__((always_inline)) inline void pull_sums(double* __restrict own,
                                                     const double* input_rows, const double* values,
                                                     double bias, const std::int32_t* sources,
                                                     const double* weights,
                                                     std::int32_t from_inputs, std::int32_t count) {
    // The bias itself in every lane (0 + bias would turn a negative zero positive).
    const Lanes8 start = {bias, bias, bias, bias, bias, bias, bias, bias};
    Lanes8 sum[pull_vectors];
    for (std::int32_t v = 0; v < pull_vectors; ++v) sum[v] = start;
    const double* rows = input_rows;
    for (std::int32_t e = 0; e < count; ++e) {
        if (e == from_inputs) rows = values;
        const double* source = rows + static_cast<std::size_t>(sources[e]) * forward_row_stride;
        const double weight = weights[e];
        for (std::int32_t v = 0; v < pull_vectors; ++v) {
            Lanes8 value;
            std::memcpy(&value, source + 8 * v, sizeof value);
            sum[v] += weight * value;
        }
    }
    std::memcpy(own, sum, sizeof sum);
}

}  // namespace

void ForwardScratch::fit(const Network& network) {
    const std::int32_t size = network.size;
    node_values.resize(static_cast<std::size_t>(size) * forward_row_stride);
    // The connections by target: a counting sort of the ones that evaluation uses (to a higher,
    // non-input node), sources ascending within a target because sources are visited in order.
    first_in.assign(static_cast<std::size_t>(size) + 1, 0);
    for (std::int32_t j = 0; j < size; ++j)
        for (std::int32_t e = network.out_begin(j); e < network.out_end(j); ++e) {
            const std::int32_t k = network.targets[e];
            if (k > j && k >= network.inputs && k < size) ++first_in[k + 1];
        }
    for (std::int32_t k = 0; k < size; ++k) first_in[k + 1] += first_in[k];
    sources.resize(static_cast<std::size_t>(first_in[size]));
    weights.resize(static_cast<std::size_t>(first_in[size]));
    fill.assign(first_in.begin(), first_in.end() - 1);
    for (std::int32_t j = 0; j < size; ++j)
        for (std::int32_t e = network.out_begin(j); e < network.out_end(j); ++e) {
            const std::int32_t k = network.targets[e];
            if (k > j && k >= network.inputs && k < size) {
                sources[fill[k]] = j;
                weights[fill[k]++] = network.weights[e];
            }
        }
}

namespace {

// transpose_inputs for `inputs` values per sample, adjacent samples adjacent: with both known to
// the compiler, it reads whole vectors of samples and deals their values out by permutations.
template <std::int32_t inputs>
__attribute__((always_inline)) inline void transpose_packed(const double* __restrict x,
                                                            std::int32_t count,
                                                            double* __restrict rows) {
    for (std::int32_t s = 0; s < count; ++s)
        for (std::int32_t j = 0; j < inputs; ++j)
            rows[j * forward_row_stride + s] = x[s * inputs + j];
}

TESSARON_KERNEL_CLONES
void transpose_block(const double* x, std::size_t x_stride, std::int32_t count, std::int32_t inputs,
                     double* rows) {
    if (x_stride == static_cast<std::size_t>(inputs)) {
        switch (inputs) {
            case 1:
                return transpose_packed<1>(x, count, rows);
            case 2:
                return transpose_packed<2>(x, count, rows);
            case 3:
                return transpose_packed<3>(x, count, rows);
            case 4:
                return transpose_packed<4>(x, count, rows);
            default:
                break;
        }
    }
    for (std::int32_t j = 0; j < inputs; ++j) {
        double* own = rows + static_cast<std::size_t>(j) * forward_row_stride;
        for (std::int32_t s = 0; s < count; ++s) own[s] = x[s * x_stride + j];
    }
}

}  // namespace

void transpose_inputs(const double* x, std::size_t x_stride, std::int32_t count,
                      std::int32_t inputs, double* rows) {
    transpose_block(x, x_stride, count, inputs, rows);
}

void forward_block(const Network& network, const double* x, std::size_t x_stride,
                   std::int32_t count, ForwardScratch& scratch) {
    transpose_inputs(x, x_stride, count, network.inputs, scratch.node_values.data());
    forward_block_from(network, scratch.node_values.data(), count, scratch);
}

namespace {

// Pull order: each node's sums are built from its sources in registers and stored once, which
// adds the same products in the same order as pushing each node's value to its targets.
TESSARON_KERNEL_CLONES
void block_kernel(const Network& network, const double* input_rows, std::int32_t count,
                  ForwardScratch& scratch) {
    constexpr std::size_t block = forward_row_stride;
    const std::int32_t size = network.size;
    const std::int32_t inputs = network.inputs;
    double* values = scratch.node_values.data();
    // Whole groups of lanes; lanes past `count` hold stale values that nothing reads.
    const std::int32_t lanes = (count + pull_lanes - 1) / pull_lanes * pull_lanes;
    for (std::int32_t k = inputs; k < size; ++k) {
        double* own = values + k * block;
        const std::int32_t first = scratch.first_in[k];
        const std::int32_t* sources = scratch.sources.data() + first;
        const std::int32_t count_in = scratch.first_in[k + 1] - first;
        const auto from_inputs = static_cast<std::int32_t>(
            std::lower_bound(sources, sources + count_in, inputs) - sources);
        for (std::int32_t s = 0; s < lanes; s += pull_lanes)
            pull_sums(own + s, input_rows + s, values + s, network.biases[k], sources,
                      scratch.weights.data() + first, from_inputs, count_in);
        activate_all(network.activations[k], own, count);
    }
}

}  // namespace

void forward_block_from(const Network& network, const double* input_rows, std::int32_t count,
                        ForwardScratch& scratch) {
    block_kernel(network, input_rows, count, scratch);
}

void forward_rows(const Network& network, const double* x, std::size_t stride, std::int32_t rows,
                  double* out, ForwardScratch& scratch) {
    scratch.fit(network);
    const std::int32_t outputs = network.outputs;
    for (std::int32_t first = 0; first < rows; first += forward_block_size) {
        const std::int32_t count = std::min(forward_block_size, rows - first);
        forward_block(network, x + static_cast<std::size_t>(first) * stride, stride, count,
                      scratch);
        double* block_out = out + static_cast<std::size_t>(first) * outputs;
        if (outputs == 1) {  // a plain copy, which the compiler vectorises
            const double* row =
                &scratch
                     .node_values[static_cast<std::size_t>(network.size - 1) * forward_row_stride];
            std::copy(row, row + count, block_out);
        } else {
            for (std::int32_t o = 0; o < outputs; ++o)
                for (std::int32_t s = 0; s < count; ++s)
                    block_out[static_cast<std::size_t>(s) * outputs + o] =
                        block_output(network, scratch, o, s);
        }
    }
}

}  // namespace tessaron
