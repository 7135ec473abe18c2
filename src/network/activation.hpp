// Activation kinds and their formulas.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>

#include "network/activation_math.hpp"
#include "network/random.hpp"

namespace tessaron {

enum ActivationKind : std::int32_t { sigmoid = 0, tanh_kind = 1, relu = 2, linear = 3 };

inline constexpr int activation_kind_count = 4;

// Indexed by kind; every place that shows a kind as text, or reads one from text, uses this table.
inline constexpr std::array<std::string_view, activation_kind_count> activation_names{
    "sigmoid", "tanh", "relu", "linear"};

// Kind whose name is `name`, if any.
std::optional<std::int32_t> activation_from_name(std::string_view name);

// Any kind outside the table evaluates to 0. The exponential and tanh are the inline ones of
// activation_math.hpp, so that the block kernel's loops vectorise and still give these results to
// the bit.
inline double activate(std::int32_t kind, double x) {
    switch (kind) {
        case sigmoid:
            return activation_sigmoid(x);  // 1 / (exp(-x) + 1)
        case tanh_kind:
            return activation_tanh(x);
        case relu:
            return x > 0.0 ? x : 0.0;  // a NaN input gives 0
        case linear:
            return x;
        default:
            return 0.0;
    }
}

// A uniformly random kind, drawn as one value of the rand() sequence modulo the number of kinds.
std::int32_t random_activation(RandState& rand);

}  // namespace tessaron
