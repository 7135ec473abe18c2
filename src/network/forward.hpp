// Forward evaluation: one pass over the nodes in index order.
//
// Both forms below give bit-identical results: for every node the bias comes first, then one
// rounded product per incoming connection in ascending order of source, then the activation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "network/aligned_vector.hpp"
#include "network/network.hpp"
#include "network/sample_matrix.hpp"

namespace tessaron {

// Scratch of the one-sample pass: the running sums and the values of the nodes.
struct SampleScratch {
    std::vector<double> sums;
    std::vector<double> values;
};

// Evaluates one sample (at least `inputs` values; the rest are ignored) and returns the `outputs`
// output values. The first form uses a scratch of the calling thread.
std::vector<double> forward(const Network& network, const double* sample);
std::vector<double> forward(const Network& network, const double* sample, SampleScratch& scratch);
// The same, writing the output values to outputs[0 .. outputs).
void forward_sample(const Network& network, const double* sample, SampleScratch& scratch,
                    double* outputs);

// Samples evaluated together by forward_block.
inline constexpr std::int32_t forward_block_size = 128;

// Distance between the rows of two nodes in ForwardScratch::node_values: a block and one cache
// line, so that the rows of many nodes do not all fall into the same few cache sets.
inline constexpr std::int32_t forward_row_stride = forward_block_size + 8;

// Scratch for forward_block, fitted to one network: node-major values (the value of node j for
// sample s of the block lies at [j * forward_row_stride + s]) and the network's connections by
// target (those of node k are entries first_in[k] .. first_in[k + 1] - 1, sources ascending).
struct ForwardScratch {
    AlignedVector<double> node_values;
    std::vector<std::int32_t> first_in;
    std::vector<std::int32_t> sources;
    std::vector<double> weights;
    std::vector<std::int32_t> fill;
    // Costs the network's nodes plus its connections; needed again after the network changes.
    void fit(const Network& network);
};

// Evaluates `count` (<= forward_block_size) samples, sample s starting at x + s * x_stride, into
// scratch.node_values (which must be fitted to the network). Reads the network only, so one
// network may be evaluated by several threads, each with its own scratch.
void forward_block(const Network& network, const double* x, std::size_t x_stride,
                   std::int32_t count, ForwardScratch& scratch);

// Turns the first `inputs` values of `count` samples node-major: value j of sample s goes to
// rows[j * forward_row_stride + s]. Networks with the same inputs can share the result.
void transpose_inputs(const double* x, std::size_t x_stride, std::int32_t count,
                      std::int32_t inputs, double* rows);

// forward_block from inputs that transpose_inputs has prepared (the input nodes' rows of
// scratch.node_values are then not written).
void forward_block_from(const Network& network, const double* input_rows, std::int32_t count,
                        ForwardScratch& scratch);

// Output o of sample s of the last forward_block.
inline double block_output(const Network& network, const ForwardScratch& scratch, std::int32_t o,
                           std::int32_t s) {
    return scratch.node_values[static_cast<std::size_t>(network.size - network.outputs + o) *
                                   forward_row_stride +
                               s];
}

// Evaluates `rows` samples, sample i at x + i * stride (holding at least `inputs` values), and
// writes output o of sample i to out[i * outputs + o].
void forward_rows(const Network& network, const double* x, std::size_t stride, std::int32_t rows,
                  double* out, ForwardScratch& scratch);

// The same for rows first .. first+count-1 of x.
inline void forward_rows(const Network& network, const SampleMatrix& x, std::int32_t first,
                         std::int32_t count, double* out, ForwardScratch& scratch) {
    forward_rows(network, x.row(first), static_cast<std::size_t>(x.cols), count, out, scratch);
}

// The same for every row of x.
inline void forward_rows(const Network& network, const SampleMatrix& x, double* out,
                         ForwardScratch& scratch) {
    forward_rows(network, x, 0, x.rows, out, scratch);
}

}  // namespace tessaron
