#include "network/forward.hpp"

#include <algorithm>
#include <cstring>

#include "network/activation.hpp"
#include "network/activation_vector.hpp"
#include "network/instruction_set.hpp"

namespace tessaron {
namespace {

// Rows hold a whole number of vectors of 8 past any `count`, which activate_all may fill.
static_assert(forward_block_size % 8 == 0 && forward_row_stride >= forward_block_size);

// The activation of `count` values in place, in the instruction set of the calling variant.
template <InstructionSet set>
__attribute__((always_inline)) inline void activate_all(std::int32_t kind, double* __restrict v,
                                                        std::int32_t count) {
    switch (kind) {
        case sigmoid:
#ifdef TESSARON_X86_VARIANTS
            if constexpr (set == InstructionSet::avx512) {
                activation_vector::sigmoid_lanes(v, count);
                break;
            }
#endif
            for (std::int32_t s = 0; s < count; ++s) v[s] = activate(sigmoid, v[s]);
            break;
        case tanh_kind:
#ifdef TESSARON_X86_VARIANTS
            if constexpr (set == InstructionSet::avx512) {
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

// The samples whose sums a target node keeps in registers while its sources are added: `vectors`
// vectors of the variant's widest doubles, as many as its registers hold beside their operands.
template <InstructionSet set>
struct PullShape {
    typedef double Lanes __attribute__((vector_size(16)));
    static constexpr std::int32_t vectors = 8;
};
template <>
struct PullShape<InstructionSet::avx2> {
    typedef double Lanes __attribute__((vector_size(32)));
    static constexpr std::int32_t vectors = 8;
};
template <>
struct PullShape<InstructionSet::avx512> {
    typedef double Lanes __attribute__((vector_size(64)));
    static constexpr std::int32_t vectors = 4;
};
template <InstructionSet set>
inline constexpr std::int32_t pull_width = sizeof(typename PullShape<set>::Lanes) / sizeof(double);
template <InstructionSet set>
inline constexpr std::int32_t pull_lanes = pull_width<set> * PullShape<set>::vectors;

// Bias, then one rounded product per source in ascending order, for the lanes of PullShape at
// once. The first `from_inputs` sources are input nodes, whose rows lie at `input_rows`.
template <InstructionSet set>
__attribute__((always_inline)) inline void pull_sums(double* __restrict own,
                                                     const double* input_rows, const double* values,
                                                     double bias, const std::int32_t* sources,
                                                     const double* weights,
                                                     std::int32_t from_inputs, std::int32_t count) {
    using Lanes = typename PullShape<set>::Lanes;
    constexpr std::int32_t width = pull_width<set>, vectors = PullShape<set>::vectors;
    // The bias itself in every lane (0 + bias would turn a negative zero positive).
    Lanes start;
    for (std::int32_t i = 0; i < width; ++i) start[i] = bias;
    Lanes sum[vectors];
    for (std::int32_t v = 0; v < vectors; ++v) sum[v] = start;
    const double* rows = input_rows;
    for (std::int32_t e = 0; e < count; ++e) {
        if (e == from_inputs) rows = values;
        const double* source = rows + static_cast<std::size_t>(sources[e]) * forward_row_stride;
        const double weight = weights[e];
        for (std::int32_t v = 0; v < vectors; ++v) {
            Lanes value;
            std::memcpy(&value, source + width * v, sizeof value);
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

__attribute__((always_inline)) inline void transpose_block(const double* x, std::size_t x_stride,
                                                           std::int32_t count, std::int32_t inputs,
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

// Pull order: each node's sums are built from its sources in registers and stored once, which
// adds the same products in the same order as pushing each node's value to its targets.
template <InstructionSet set>
__attribute__((always_inline)) inline void block_kernel(const Network& network,
                                                        const double* input_rows,
                                                        std::int32_t count,
                                                        ForwardScratch& scratch) {
    constexpr std::size_t block = forward_row_stride;
    const std::int32_t size = network.size;
    const std::int32_t inputs = network.inputs;
    double* values = scratch.node_values.data();
    // Whole groups of lanes; lanes past `count` hold stale values that nothing reads.
    constexpr std::int32_t group = pull_lanes<set>;
    static_assert(forward_block_size % group == 0);
    const std::int32_t lanes = (count + group - 1) / group * group;
    for (std::int32_t k = inputs; k < size; ++k) {
        double* own = values + k * block;
        const std::int32_t first = scratch.first_in[k];
        const std::int32_t* sources = scratch.sources.data() + first;
        const std::int32_t count_in = scratch.first_in[k + 1] - first;
        const auto from_inputs = static_cast<std::int32_t>(
            std::lower_bound(sources, sources + count_in, inputs) - sources);
        for (std::int32_t s = 0; s < lanes; s += group)
            pull_sums<set>(own + s, input_rows + s, values + s, network.biases[k], sources,
                           scratch.weights.data() + first, from_inputs, count_in);
        activate_all<set>(network.activations[k], own, count);
    }
}

// The kernels compiled for one instruction set.
struct KernelVariant {
    void (*transpose)(const double*, std::size_t, std::int32_t, std::int32_t, double*);
    void (*block)(const Network&, const double*, std::int32_t, ForwardScratch&);
};

// The variant `name` of the kernels, for instruction set `set`, compiled with `attributes`.
#define TESSARON_KERNEL_VARIANT(name, set, attributes)                                          \
    attributes void name##_transpose(const double* x, std::size_t x_stride, std::int32_t count, \
                                     std::int32_t inputs, double* rows) {                       \
        transpose_block(x, x_stride, count, inputs, rows);                                      \
    }                                                                                           \
    attributes void name##_block(const Network& network, const double* input_rows,              \
                                 std::int32_t count, ForwardScratch& scratch) {                 \
        block_kernel<set>(network, input_rows, count, scratch);                                 \
    }                                                                                           \
    constexpr KernelVariant name{name##_transpose, name##_block};

TESSARON_KERNEL_VARIANT(portable_kernels, InstructionSet::portable, )
#ifdef TESSARON_X86_VARIANTS
TESSARON_KERNEL_VARIANT(avx2_kernels, InstructionSet::avx2, __attribute__((target("avx2"))))
TESSARON_KERNEL_VARIANT(avx512_kernels, InstructionSet::avx512, __attribute__((target("avx512f"))))
#endif
#undef TESSARON_KERNEL_VARIANT

// The variant chosen now, indexed by InstructionSet (only supported ones are ever chosen).
const KernelVariant& kernels() {
    static constexpr KernelVariant variants[] = {
        portable_kernels,
#ifdef TESSARON_X86_VARIANTS
        avx2_kernels,
        avx512_kernels,
#endif
    };
    return variants[static_cast<std::size_t>(active_instruction_set())];
}

}  // namespace

void transpose_inputs(const double* x, std::size_t x_stride, std::int32_t count,
                      std::int32_t inputs, double* rows) {
    kernels().transpose(x, x_stride, count, inputs, rows);
}

void forward_block(const Network& network, const double* x, std::size_t x_stride,
                   std::int32_t count, ForwardScratch& scratch) {
    transpose_inputs(x, x_stride, count, network.inputs, scratch.node_values.data());
    forward_block_from(network, scratch.node_values.data(), count, scratch);
}

void forward_block_from(const Network& network, const double* input_rows, std::int32_t count,
                        ForwardScratch& scratch) {
    kernels().block(network, input_rows, count, scratch);
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
