// The Beta optimizer: independent random starts, Gaussian steps on an absolute scale whose size
// each genome adapts itself, elitism, and structural changes that both grow and shrink networks
// under a size cap and a small size penalty. Members keep their scores from one generation to
// the next, so only new networks are scored unless re-scoring is asked for.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "evolution/generation.hpp"
#include "network/network.hpp"

namespace tessaron {

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
    Network best;
    std::int32_t best_index = -1;
    double best_loss = no_loss_yet;
    std::int32_t hidden_cap = 0;  // max(settings.max_hidden, the start's hidden nodes)
    double best_key = HUGE_VAL;   // the best ranking key so far
    std::int32_t stale = 0;       // generations since the best key last improved
    BetaDraws draws;              // every draw of the optimizer
    // Under reevaluate, the smallest step size of a hidden node, then of each output; empty
    // otherwise.
    std::vector<double> step_floors;
};

// The starting population: the model's network (when keep_model) and freshly randomised
// networks of its node count, none scored yet. Draws its engine's seed from engine_seed().
// Output o of a random start has weights and bias of scale step_size * target_scales[o], and
// the step size of output o starts there too (1 for missing, zero or non-finite scales): outputs
// start small, on the scale of what they are to predict, and the steps take that scale over.
BetaState beta_initial_population(const Network& start, std::int32_t pop_size,
                                  const BetaSettings& settings,
                                  const std::vector<double>& target_scales = {});

// One generation. The first call scores the starting population; later calls keep the elites,
// replace the others by children of the best members and score the children (and, when
// `rescore_all`, every member; `average` then averages a member's scores instead of keeping the
// latest). The population is then ranked and the best updated. Returns false when no member has
// a loss below no_loss_yet; the best then stays as it was (member 0 in a first generation).
bool beta_next_generation(BetaState& state, const ScoreFunction& score, bool rescore_all,
                          bool average);

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
                 std::int32_t hidden_cap, BetaDraws& draws, const std::vector<double>& floors = {});

// A network of `like`'s counts whose every allowed connection exists, with random kinds, the
// weights into a node N(0, scale / sqrt(fan-in)) and its bias N(0, scale), where scale is
// init_scale for hidden nodes and output_scales[o] for output o.
Network beta_random_network(const Network& like, double init_scale,
                            const std::vector<double>& output_scales, BetaDraws& draws);

// Deletes hidden node d; each source of d is connected to each target of d with the product of
// the two weights added to any weight it has.
void beta_remove_node(Network& network, std::int32_t d);

}  // namespace tessaron
