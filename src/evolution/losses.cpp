#include "evolution/losses.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/thread_pool.hpp"

namespace tessaron {
namespace {

template <std::size_t N>
std::optional<std::int32_t> find_name(const std::array<std::string_view, N>& names,
                                      std::string_view name) {
    for (std::size_t i = 0; i < N; ++i)
        if (names[i] == name) return static_cast<std::int32_t>(i);
    return std::nullopt;
}

inline double term(std::int32_t kind, double target, double prediction) {
    const double difference = target - prediction;
    switch (kind) {
        case mse:
            return difference * difference;
        case mae:
            return std::fabs(difference);
        case mape:
            return std::fabs(difference) * 100 / (std::fabs(target) + 1e-10);
        case binary_crossentropy: {
            // Written so that a NaN output stays NaN.
            const double p = prediction < crossentropy_epsilon         ? crossentropy_epsilon
                             : prediction > 1.0 - crossentropy_epsilon ? 1.0 - crossentropy_epsilon
                                                                       : prediction;
            return -(target * std::log(p) + (1.0 - target) * std::log(1.0 - p));
        }
        default:
            return 0.0;
    }
}

// -sum(target * log(softmax(outputs))) over the first `count` outputs, each log-softmax taken
// as output - log-sum-exp with the largest output subtracted first, so that no exp overflows.
template <class Output>
double softmax_crossentropy(const double* y, std::int32_t count, Output&& output) {
    if (count == 0) return std::numeric_limits<double>::quiet_NaN();  // as 0 / 0 for the others
    double largest = output(0);
    for (std::int32_t m = 1; m < count; ++m) largest = std::max(largest, output(m));
    double exp_sum = 0.0;
    for (std::int32_t m = 0; m < count; ++m) exp_sum += std::exp(output(m) - largest);
    const double log_sum = largest + std::log(exp_sum);
    double sum = 0.0;
    for (std::int32_t m = 0; m < count; ++m) sum += y[m] * (log_sum - output(m));
    return sum;
}

// One sample's loss of one kind; output(m) gives the sample's output m.
template <class Output>
double sample_loss(std::int32_t kind, const double* y, std::int32_t count, Output&& output) {
    if (kind == categorical_crossentropy) return softmax_crossentropy(y, count, output);
    double sum = 0.0;
    for (std::int32_t m = 0; m < count; ++m) sum += term(kind, y[m], output(m));
    return sum / count;
}

}  // namespace

std::optional<std::int32_t> loss_from_name(std::string_view name) {
    return find_name(loss_names, name);
}

std::optional<std::int32_t> monitor_from_name(std::string_view name) {
    return find_name(monitor_names, name);
}

SampleView sample_rows(const SampleMatrix& x, const SampleMatrix& y, std::int32_t first,
                       std::int32_t count) {
    return SampleView{x.values.data() + static_cast<std::size_t>(first) * x.cols,
                      x.cols,
                      static_cast<std::size_t>(x.cols),
                      y.values.data() + static_cast<std::size_t>(first) * y.cols,
                      y.cols,
                      count};
}

namespace {

// Input rows of every block, turned node-major once for a whole population, while they take
// no more than this.
constexpr std::size_t shared_input_bytes = std::size_t{32} << 20;

void evaluate_losses(const Network& network, const SampleView& samples,
                     const std::vector<std::int32_t>& losses, ForwardScratch& scratch,
                     double* result, const double* input_rows) {
    const std::size_t kinds = losses.size();
    std::fill(result, result + kinds, 0.0);
    scratch.fit(network);
    const std::int32_t m_count = samples.y_cols;
    const std::size_t block_values = static_cast<std::size_t>(network.inputs) * forward_row_stride;
    for (std::int32_t first = 0; first < samples.rows; first += forward_block_size) {
        const std::int32_t count = std::min(forward_block_size, samples.rows - first);
        if (input_rows != nullptr)
            forward_block_from(network, input_rows + first / forward_block_size * block_values,
                               count, scratch);
        else
            forward_block(network, samples.x + static_cast<std::size_t>(first) * samples.x_stride,
                          samples.x_stride, count, scratch);
        for (std::int32_t s = 0; s < count; ++s) {
            const double* y = samples.y + static_cast<std::size_t>(first + s) * m_count;
            const auto output = [&](std::int32_t m) {
                return block_output(network, scratch, m, s);
            };
            for (std::size_t k = 0; k < kinds; ++k)
                result[k] += sample_loss(losses[k], y, m_count, output);
        }
    }
    for (std::size_t k = 0; k < kinds; ++k) result[k] /= samples.rows;
}

}  // namespace

void evaluate_losses(const Network& network, const SampleView& samples,
                     const std::vector<std::int32_t>& losses, ForwardScratch& scratch,
                     double* result) {
    evaluate_losses(network, samples, losses, scratch, result, nullptr);
}

std::vector<double> evaluate_losses(const Network& network, const SampleView& samples,
                                    const std::vector<std::int32_t>& losses) {
    std::vector<double> result(losses.size());
    ForwardScratch scratch;
    evaluate_losses(network, samples, losses, scratch, result.data());
    return result;
}

std::vector<std::vector<double>> evaluate_population(const std::vector<Network>& population,
                                                     const SampleView& samples,
                                                     const std::vector<std::int32_t>& losses) {
    std::vector<std::vector<double>> rows(population.size(), std::vector<double>(losses.size()));
    // The networks share their input rows when all have the same inputs.
    const std::int32_t inputs = population.empty() ? 0 : population.front().inputs;
    bool shared = inputs <= samples.x_cols;
    for (const Network& network : population) shared = shared && network.inputs == inputs;
    const std::size_t blocks =
        (static_cast<std::size_t>(samples.rows) + forward_block_size - 1) / forward_block_size;
    const std::size_t block_values = static_cast<std::size_t>(inputs) * forward_row_stride;
    AlignedVector<double> input_rows;
    if (shared && blocks * block_values * sizeof(double) <= shared_input_bytes) {
        input_rows.resize(blocks * block_values);
        for (std::size_t b = 0; b < blocks; ++b) {
            const std::int32_t first = static_cast<std::int32_t>(b) * forward_block_size;
            transpose_inputs(samples.x + static_cast<std::size_t>(first) * samples.x_stride,
                             samples.x_stride, std::min(forward_block_size, samples.rows - first),
                             inputs, input_rows.data() + b * block_values);
        }
    }
    const double* shared_rows = input_rows.empty() ? nullptr : input_rows.data();
    // Each network is scored whole by one thread, so the figures do not depend on the threads.
    parallel_for(population.size(), [&](std::size_t r, int) {
        thread_local ForwardScratch scratch;
        evaluate_losses(population[r], samples, losses, scratch, rows[r].data(), shared_rows);
    });
    return rows;
}

}  // namespace tessaron
