// Losses and metrics over a sample set, and the names of losses and monitors.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "network/forward.hpp"
#include "network/network.hpp"

namespace tessaron {

// The kinds keep their numbers: new ones are appended.
enum LossKind : std::int32_t {
    mse = 0,
    mae = 1,
    mape = 2,
    binary_crossentropy = 3,
    categorical_crossentropy = 4
};
enum MonitorKind : std::int32_t { size_monitor = 0 };

inline constexpr std::array<std::string_view, 5> loss_names{
    "mse", "mae", "mape", "binary_crossentropy", "categorical_crossentropy"};

// Outputs are kept this far from 0 and 1 before binary cross-entropy takes their logarithm.
inline constexpr double crossentropy_epsilon = 1e-7;
inline constexpr std::array<std::string_view, 1> monitor_names{"size"};

std::optional<std::int32_t> loss_from_name(std::string_view name);
std::optional<std::int32_t> monitor_from_name(std::string_view name);

// Consecutive samples: row i of x starts at x + i * x_stride and holds x_cols values, row i of y
// starts at y + i * y_cols. Rows of x may lie closer than their width (overlapping windows of a
// series) or at the same place (one row repeated). Every x row holds at least the network's
// inputs, every y row at most its outputs.
struct SampleView {
    const double* x = nullptr;
    std::int32_t x_cols = 0;
    std::size_t x_stride = 0;  // doubles from one x row to the next
    const double* y = nullptr;
    std::int32_t y_cols = 0;
    std::int32_t rows = 0;
};

// Rows [first, first + count) of two tables with the same number of rows.
SampleView sample_rows(const SampleMatrix& x, const SampleMatrix& y, std::int32_t first,
                       std::int32_t count);
inline SampleView all_rows(const SampleMatrix& x, const SampleMatrix& y) {
    return sample_rows(x, y, 0, x.rows);
}

// For each kind of `losses`, the mean over samples of the per-sample loss, written to
// result[0 .. losses.size()). A sample's loss is the mean over outputs of the kind's term, except
// for categorical cross-entropy: the sum over outputs of -target * log(softmax(outputs)), the
// softmax taken over the outputs that have targets. Samples are accumulated in row order, so
// the figures do not depend on how rows are blocked. No rows, or rows of no y values, give NaN.
void evaluate_losses(const Network& network, const SampleView& samples,
                     const std::vector<std::int32_t>& losses, ForwardScratch& scratch,
                     double* result);

std::vector<double> evaluate_losses(const Network& network, const SampleView& samples,
                                    const std::vector<std::int32_t>& losses);

// One row of evaluate_losses per network, in order; the networks are spread over the worker
// threads.
std::vector<std::vector<double>> evaluate_population(const std::vector<Network>& population,
                                                     const SampleView& samples,
                                                     const std::vector<std::int32_t>& losses);

}  // namespace tessaron
