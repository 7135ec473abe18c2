#include "evolution/losses.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "network_builders.hpp"

namespace tessaron {
namespace {

SampleMatrix table(std::int32_t cols, std::initializer_list<double> values) {
    SampleMatrix m(static_cast<std::int32_t>(values.size()) / cols, cols);
    std::copy(values.begin(), values.end(), m.values.begin());
    return m;
}

TEST(Losses, MeansOverOutputsThenSamplesAgreeWithHandComputedValues) {
    // Outputs 2x + 0.5 and -x, both linear.
    const Network network =
        testing::build_network(1, 2, 3, {{0, 1, 2.0}, {0, 2, -1.0}}, {0.0, 0.5, 0.0});
    const SampleMatrix x = table(1, {1.0, -2.0, 3.0});  // outputs (2.5, -1), (-3.5, 2), (6.5, -3)
    const SampleMatrix y = table(2, {2.0, -1.0, -3.0, 4.0, 6.5, -1.0});
    const std::vector<double> losses = evaluate_losses(network, all_rows(x, y), {mse, mae, mape});
    // Errors per sample: (-0.5, 0), (0.5, 2), (0, 2).
    EXPECT_DOUBLE_EQ(losses[0], (0.25 / 2 + 4.25 / 2 + 4.0 / 2) / 3);
    EXPECT_DOUBLE_EQ(losses[1], (0.5 / 2 + 2.5 / 2 + 2.0 / 2) / 3);
    // Absolute errors in percent of |target|: (25, 0), (50/3, 50), (0, 200).
    EXPECT_NEAR(losses[2], (25.0 / 2 + (50.0 / 3 + 50.0) / 2 + 200.0 / 2) / 3, 1e-6);

    // A target of 0 is kept from dividing by zero; a sample window picks its rows.
    const SampleMatrix zero_y = table(2, {0.0, -1.0});
    EXPECT_NEAR(evaluate_losses(network, all_rows(table(1, {1.0}), zero_y), {mape})[0],
                (2.5 * 100 / 1e-10 + 0.0) / 2, 1e3);
    EXPECT_DOUBLE_EQ(evaluate_losses(network, sample_rows(x, y, 1, 2), {mae})[0],
                     (2.5 / 2 + 2.0 / 2) / 2);
    EXPECT_TRUE(std::isnan(evaluate_losses(network, sample_rows(x, y, 0, 0), {mse})[0]));

    // A population is scored row by row as each network alone.
    const std::vector<Network> population{network, testing::random_network(1, 2, 3)};
    const auto rows = evaluate_population(population, all_rows(x, y), {mae, mse});
    ASSERT_EQ(rows.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i)
        EXPECT_EQ(rows[i], evaluate_losses(population[i], all_rows(x, y), {mae, mse}));
    EXPECT_DOUBLE_EQ(rows[0][0], losses[1]);
}

TEST(Losses, CrossEntropiesStayFiniteWhereNaiveFormulasOverflow) {
    // Outputs 800x and -800x, linear: exp(800) overflows a double.
    const Network network =
        testing::build_network(1, 2, 3, {{0, 1, 800.0}, {0, 2, -800.0}}, {0.0, 0.0, 0.0});
    const SampleMatrix x = table(1, {1.0});
    // Softmax of (800, -800): the first class has probability 1 - e^-1600, the second e^-1600.
    EXPECT_EQ(
        evaluate_losses(network, all_rows(x, table(2, {1.0, 0.0})), {categorical_crossentropy})[0],
        0.0);
    EXPECT_DOUBLE_EQ(evaluate_losses(network, all_rows(x, table(2, {0.25, 0.75})),
                                     {categorical_crossentropy})[0],
                     0.75 * 1600.0);
    // Outputs 800 and -800 taken as probabilities are clipped to 1 - 1e-7 and 1e-7; with targets
    // 0 the terms are -log(1 - p).
    const double high = 1.0 - crossentropy_epsilon, low = crossentropy_epsilon;
    EXPECT_DOUBLE_EQ(
        evaluate_losses(network, all_rows(x, table(2, {0.0, 0.0})), {binary_crossentropy})[0],
        (-std::log(1.0 - high) - std::log(1.0 - low)) / 2);
}

}  // namespace
}  // namespace tessaron
