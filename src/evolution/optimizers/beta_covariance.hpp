// Beta's covariance search, its default: a covariance-adapting evolution strategy over the
// weights and biases of one structure (full covariance while the parameters are few, diagonal
// beyond), with structure and restarts as an outer loop. The run starts from the smallest network
// the model allows (its hidden nodes, if any, fed by random weights, and every output's weights 0)
// and, where progress stalls, first adds hidden nodes (as many as it has, at least one, with
// weights out of them 0, so that the network computes what it did, and the search's state carried
// over), then, at the cap on hidden nodes, starts again from fresh weights with twice the
// population. A function's search, whose scores are noisy, starts with every hidden node it may
// have instead, every parameter at 0 with one spread. Scores of data scored whole repeat, and the
// best is the best network ever scored; those of a function (or of batches, or where re-scoring is
// asked for) may not, and the best is the distribution's mean of the latest generation.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "evolution/input_statistics.hpp"
#include "evolution/optimizer.hpp"
#include "evolution/optimizers/beta_members.hpp"
#include "evolution/optimizers/beta_settings.hpp"
#include "evolution/optimizers/covariance_adaptation.hpp"

namespace tessaron {

// The first overall step size (sigma) of the covariance search where step_size is not given: each
// parameter's own scale (below) times this.
inline constexpr double beta_covariance_default_step = 1.0;

struct BetaCovarianceState {
    // From the settings and the run.
    double first_sigma = beta_covariance_default_step;
    double init_scale = 1.0;
    std::int32_t hidden_cap = 0;
    std::vector<double> target_scales, input_scales;

    // Where the run could not measure its inputs beforehand (a function's), the structure and
    // the distribution are over networks that read the inputs centred and scaled (`inputs`) by
    // the running statistics of those seen so far (`seen`; `moved` once they changed). Every
    // network handed out (and the best) reads the inputs as they are.
    bool follow_inputs = false;
    InputTransform inputs;
    InputStatistics seen;
    bool moved = false;
    std::size_t first_lambda = 2;
    std::int32_t samples_per_score = 0;
    // Whether the loss is the softmax's cross-entropy: a mean negative log-likelihood per sample.
    bool softmax_loss = false;
    // Networks are ranked by their loss plus this times the sum of their squared weights (those out
    // of an input times its spread): 0 but where the loss is the softmax's cross-entropy.
    double weight_penalty = 0.0;
    BetaDraws draws;
    RandomSources* sources = nullptr;

    // The searched structure (its weights are the distribution's mean) and the distribution.
    Network structure{NetworkEngine(0)};
    CovarianceDistribution distribution;

    // The networks of the generation: the samples, then the mean, then, in the first generation,
    // the model's.
    std::vector<Network> asked;
    std::vector<double> steps;  // the samples' steps, row by row
    std::optional<Network> model;
    bool model_asked = false;

    // Whether scores may differ from one scoring to the next, and the best.
    bool noisy = true;
    // Whether networks with hidden nodes are searched as plain multilayer perceptrons.
    bool layered = false;
    Network best{NetworkEngine(0)};
    std::vector<double> best_row;

    // Where scores are noisy: the mean's latest losses, and whether an earlier start's mean is the
    // best (state.best), with the average of its last losses.
    std::vector<double> recent;
    bool earlier = false;
    double earlier_average = HUGE_VAL;

    // Progress: the best generation's loss that counted as a gain, the best average of the
    // mean's recent losses that did (where scores are noisy), and the generations since either.
    double best_watched = HUGE_VAL;
    double recent_watched = HUGE_VAL;
    std::int32_t stale = 0;
    std::int32_t restarts = 0;

    // The best before the latest growth, taken back if the grown nodes do not pay.
    std::optional<Network> best_before_growth;
    std::vector<double> row_before_growth;
    std::size_t parameters_before_growth = 0;
};

BetaCovarianceState beta_covariance_start(const Network& start, const BetaSettings& settings,
                                          const RunContext& context);
const std::vector<Network>& beta_covariance_ask(BetaCovarianceState& state);
bool beta_covariance_tell(BetaCovarianceState& state, ScoreRows rows);
BestMember beta_covariance_best(const BetaCovarianceState& state);
void beta_covariance_observe_inputs(BetaCovarianceState& state, const InputStatistics& seen);
SearchFigures beta_covariance_figures(const BetaCovarianceState& state);

// A copy of `network` with one more hidden node, placed last among the hidden nodes: fed by every
// input, feeding every output, of kind tanh, with bias 0, weights into it from
// `into` (one per input, in node order) and 0 out of it. Keeps the engine.
Network with_added_node(const Network& network, const std::vector<double>& into);

// Registration (beta_searches.cpp).
void check_beta_covariance_run(const BetaSettings& settings, std::int32_t pop_size);
std::unique_ptr<Optimizer> make_beta_covariance(const BetaSettings& settings);

}  // namespace tessaron
