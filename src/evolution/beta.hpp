// The Beta optimizer: independent random starts, Gaussian steps on an absolute scale whose size
// each genome adapts itself, elitism, and structural changes that both grow and shrink networks
// under a size cap and a small size penalty. Members keep their scores from one generation to
// the next, so only new networks are scored unless re-scoring is asked for.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "evolution/generation.hpp"
#include "network/network.hpp"
#include "network/random_sources.hpp"

namespace tessaron {

// Step sizes stay in this range in both searches: a step that reaches 0 could never grow again.
constexpr double beta_smallest_step = 1e-8;
constexpr double beta_largest_step = 1e6;

// How children are made: by selection (mutated copies of the best members) or by following a
// gradient estimated from mirrored perturbations of one centre network.
enum class BetaSearch : std::int32_t { select, gradient };

struct BetaSettings {
    double step_size = 0.1;         // initial standard deviation of the weight and bias steps
    double init_scale = 1.0;        // spread of the random starts' weights (times 1/sqrt(fan-in))
    std::int32_t elites = 2;        // best members carried over unchanged
    double parent_fraction = 0.08;  // parents are drawn from this best share of the population
    double structure_rate = 0.1;    // chance that a child also gets one structural change
    std::int32_t max_hidden = 8;    // no node is added beyond this many hidden nodes
    double size_penalty = 1e-4;     // ranking key: loss + size_penalty * |loss| * complexity
    bool keep_model = true;         // the model's own network is one of the starting members
    bool reevaluate = false;        // score every member every generation, averaging its scores
    BetaSearch search = BetaSearch::select;
};

// The optimizer's random source; the normal distribution keeps the second deviate of each pair.
struct BetaDraws {
    std::mt19937_64 engine;
    std::normal_distribution<double> normal{0.0, 1.0};
};

struct BetaState {
    BetaSettings settings;
    std::vector<Network> population;         // ranked best first after every generation
    std::vector<std::vector<double>> steps;  // per member, the step size of each non-input node
    ScoreRows rows;                          // empty while the member has not been scored
    std::vector<std::int32_t> scored;        // how many scores rows[i] averages
    std::vector<double> scatter;             // sum of squared deviations of those losses
    Network best{NetworkEngine(0)};  // set from the start on; its engine never draws
    std::int32_t best_index = -1;
    double best_loss = no_loss_yet;
    std::int32_t hidden_cap = 0;  // max(settings.max_hidden, the start's hidden nodes)
    double best_key = HUGE_VAL;   // the best ranking key so far
    std::int32_t stale = 0;       // generations since the best key last improved
    BetaDraws draws;              // every draw of the optimizer
    RandomSources* sources = nullptr;  // the run's, for the engines of new networks
    // Under reevaluate, the smallest step size of a hidden node, then of each output; empty
    // otherwise.
    std::vector<double> step_floors;
    // Gradient search: the centre for the next generation (set once the last one has moved), and
    // the step size of each of its parameters (biases, then weights source by source).
    std::optional<Network> next_centre;
    std::vector<double> parameter_steps;
};

// The starting population: the model's network (when keep_model) and freshly randomised
// networks of its node count, none scored yet. Draws its engine's seed from engine_seed().
// Output o of a random start has weights and bias of scale step_size * target_scales[o], and
// the step size of output o starts there too (1 for missing, zero or non-finite scales): outputs
// start small, on the scale of what they are to predict, and the steps take that scale over.
// For the gradient search every member is its one centre: the model's network (keep_model) or
// beta_plain_network.
BetaState beta_initial_population(const Network& start, std::int32_t pop_size,
                                  const BetaSettings& settings,
                                  const std::vector<double>& target_scales = {},
                                  RandomSources& sources = thread_random_sources());

// One generation. The first call scores the starting population; later calls keep the elites,
// replace the others by children of the best members and score the children (and, when
// `rescore_all`, every member; `average` then averages a member's scores instead of keeping the
// latest). The population is then ranked and the best updated. Returns false when no member has
// a loss below no_loss_yet; the best then stays as it was (member 0 in a first generation).
bool beta_next_generation(BetaState& state, const ScoreFunction& score, bool rescore_all,
                          bool average);

// One generation of the gradient search: member 0 is the centre, every other member the centre
// moved by +-step * N(0, 1) per parameter, mirrored in pairs (with one unpaired member when
// their count is odd); the steps start at those of the nodes the parameters belong to. The
// members without a score are scored; the centre is the generation's best. Then the centre and
// the log of each step move along the natural gradient of the expected rank utility (a
// separable natural evolution strategy). Structure and activation kinds stay as they are.
bool beta_gradient_generation(BetaState& state, const ScoreFunction& score, bool rescore_all,
                              bool average);

// Parts of a generation that both searches share. Scores the members without a score (every
// member when `rescore_all`), averaging with earlier scores when `average`.
void beta_score_members(BetaState& state, const ScoreFunction& score, bool rescore_all,
                        bool average);
// Every member's ranking key: its loss (or shrunk average) plus the size penalty; NaN is +inf.
std::vector<double> beta_ranking_keys(const BetaState& state, bool average);
// Puts the members, with their steps and scores, in `order`.
void beta_reorder(BetaState& state, const std::vector<std::size_t>& order);
// Makes member 0 the best when its loss is below no_loss_yet (or no best is set yet).
bool beta_record_best(BetaState& state);

// The members' losses as ranked when scores are averaged: each average drawn toward the mean of
// all, the more the fewer scores it averages and the noisier re-scored members prove to be.
// Unchanged while no member has been scored twice or the scores show no noise.
std::vector<double> beta_shrunk_losses(const BetaState& state);

// Complexity of a network for the size penalty: its hidden nodes plus its connections.
double beta_complexity(const Network& network);

// Makes `child` (a copy of its parent) and `steps` (the parent's step sizes, one per non-input
// node) a child: every step size times a log-normal factor (kept above `floors` when given: the
// floor of hidden nodes, then one per output), then the bias of each non-input node
// and each weight into it moved by N(0, that node's step); with `structure_rate` one structural
// change (steps kept in line with the nodes), and with 0.05 one node's activation redrawn.
void beta_mutate(Network& child, std::vector<double>& steps, const BetaSettings& settings,
                 std::int32_t hidden_cap, BetaDraws& draws, const std::vector<double>& floors = {},
                 RandomSources& sources = thread_random_sources());

// A network of `like`'s counts whose every allowed connection exists, with random kinds, the
// weights into a node N(0, scale / sqrt(fan-in)) and its bias N(0, scale), where scale is
// init_scale for hidden nodes and output_scales[o] for output o.
Network beta_random_network(const Network& like, double init_scale,
                            const std::vector<double>& output_scales, BetaDraws& draws,
                            RandomSources& sources = thread_random_sources());

// The gradient search's start without the model's network: `like`'s counts, every allowed
// connection, every weight and bias 0, linear inputs and outputs and tanh hidden nodes. Kinds never
// change in that search, and these neither saturate nor die, where it could not tell one direction
// from another; at zero no direction is preferred.
Network beta_plain_network(const Network& like, RandomSources& sources = thread_random_sources());

// Deletes hidden node d; each source of d is connected to each target of d with the product of
// the two weights added to any weight it has.
void beta_remove_node(Network& network, std::int32_t d,
                      RandomSources& sources = thread_random_sources());

}  // namespace tessaron
