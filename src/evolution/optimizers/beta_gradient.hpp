// Beta's gradient search: where single scores are noisy (an episode's return depends on where it
// starts), selecting the luckiest network misleads; an estimate built from every member's rank
// averages the noise out. One centre network and each of its parameters' step sizes follow the
// natural gradient of the expected utility (a separable natural evolution strategy), so the
// steps adapt to the landscape. Structure and activation kinds stay as they start.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "evolution/optimizer.hpp"
#include "evolution/optimizers/beta_members.hpp"
#include "evolution/optimizers/beta_settings.hpp"

namespace tessaron {

// The settings of Beta that this search reads; the others have no effect on it.
struct BetaGradientSettings {
    double step_size = 0.1;
    double size_penalty = 1e-4;
    bool keep_model = true;
    bool reevaluate = false;
};

// With one perturbation no rank says anything, and the centre would never move.
constexpr std::int32_t beta_gradient_smallest_pop = 4;

struct BetaGradientState {
    BetaGradientSettings settings;
    // Member 0 is the centre, the others its perturbations of the generation.
    BetaMembers members;
    std::vector<double> start_steps;  // the step size of each non-input node of the start
    BetaDraws draws;
    bool rescore_all = false;
    bool average = false;
    // The centre for the next generation (set once the last one has moved), and the step size of
    // each of its parameters (biases, then weights source by source).
    std::optional<Network> next_centre;
    std::vector<double> parameter_steps;
    // From ask to tell: the centre's parameters and the draws of the perturbations.
    std::vector<double> centre;
    std::vector<double> noise;
};

// Every member is the one centre: the model's network (keep_model) or beta_plain_network. Throws
// InvalidData for settings or a run out of range.
BetaGradientState beta_gradient_start(const Network& start, const BetaSettings& settings,
                                      const RunContext& context);

// Member 0 is the centre, every other member the centre moved by +-step * N(0, 1) per parameter,
// mirrored in pairs (with one unpaired member when their count is odd); the steps start at
// those of the nodes the parameters belong to. Hands over the members without a score: the
// perturbations, and the centre when it moved.
const std::vector<Network>& beta_gradient_ask(BetaGradientState& state);

// Takes their scores; the centre is the generation's best. Then the centre and the log of each
// step move along the natural gradient of the expected rank utility.
bool beta_gradient_tell(BetaGradientState& state, ScoreRows rows);

// The search's start without the model's network: `like`'s counts, every allowed connection,
// every weight and bias 0, linear inputs and outputs and tanh hidden nodes. Kinds never change in
// this search, and these neither saturate nor die, where it could not tell one direction from
// another; at zero no direction is preferred. Its engine is seeded from `sources`.
Network beta_plain_network(const Network& like, RandomSources& sources);

// The median step size of the parameters.
SearchFigures beta_gradient_figures(const BetaGradientState& state);

// Registration (beta_searches.cpp): a pop_size of at least beta_gradient_smallest_pop; the
// optimizer.
void check_beta_gradient_run(const BetaSettings& settings, std::int32_t pop_size);
std::unique_ptr<Optimizer> make_beta_gradient(const BetaSettings& settings);

}  // namespace tessaron
