// The settings of the Beta optimizer (its keywords), checked here for every caller.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessaron {

// Step sizes stay in this range in every search: a step that reaches 0 could never grow again.
constexpr double beta_smallest_step = 1e-8;
constexpr double beta_largest_step = 1e6;

// The search of a Beta that names none.
inline constexpr std::string_view beta_default_search = "covariance";
// The search of a stored Beta state that names none: states stored before there was a choice were
// of this one, so later states name every other.
inline constexpr std::string_view beta_unnamed_search = "select";

struct BetaSettings {
    // The first step size; without one, each search takes its own (step_size_or).
    std::optional<double> step_size;
    double init_scale = 1.0;        // spread of the random starts' weights (times 1/sqrt(fan-in))
    std::int32_t elites = 2;        // best members carried over unchanged
    double parent_fraction = 0.08;  // parents are drawn from this best share of the population
    double structure_rate = 0.1;    // chance that a child also gets one structural change
    std::int32_t max_hidden = 8;    // no node is added beyond this many hidden nodes
    double size_penalty = 1e-4;     // ranking key: loss + size_penalty * |loss| * complexity
    bool keep_model = true;         // the model's own network is one of the starting members
    bool reevaluate = false;        // score every member every generation, averaging its scores
    std::string search{beta_default_search};  // a registered search's name (beta_searches.hpp)
};

// The first standard deviation of the weight and bias steps of the selection and gradient
// searches, where step_size is not given.
inline constexpr double beta_default_step = 0.1;
inline double step_size_or(const BetaSettings& settings, double fallback) {
    return settings.step_size.value_or(fallback);
}

// InvalidData naming the first setting out of its range, and its value.
void check_beta_settings(const BetaSettings& settings);

// InvalidData when the search cannot make a run of pop_size members.
void check_beta_run(const BetaSettings& settings, std::int32_t pop_size);

// InvalidData unless elites leave room for children (the searches that keep elites).
void check_beta_elites(const BetaSettings& settings, std::int32_t pop_size);

}  // namespace tessaron
