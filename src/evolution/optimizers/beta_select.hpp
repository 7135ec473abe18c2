// Beta's selection search: independent random starts, Gaussian steps on an absolute scale whose
// size each network adapts itself, elitism, and structural changes that both grow and shrink
// networks under a size cap and a small size penalty. Members keep their scores from one
// generation to the next, so only new networks are scored unless re-scoring is asked for.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "evolution/optimizer.hpp"
#include "evolution/optimizers/beta_members.hpp"
#include "evolution/optimizers/beta_settings.hpp"
#include "variation/mutations.hpp"

namespace tessaron {

struct BetaSelectState {
    BetaSettings settings;
    BetaMembers members;                     // ranked best first after every generation
    std::vector<std::vector<double>> steps;  // per member, the step size of each non-input node
    std::int32_t hidden_cap = 0;             // max(settings.max_hidden, the start's hidden nodes)
    double best_key = HUGE_VAL;              // the best ranking key so far
    std::int32_t stale = 0;                  // generations since the best key last improved
    BetaDraws draws;                         // every draw of the search
    // Under reevaluate, the smallest step size of a hidden node, then of each output; empty
    // otherwise.
    std::vector<double> step_floors;
    bool rescore_all = false;  // every member is scored in every generation
    bool average = false;      // and its scores are averaged (reevaluate)
};

// The starting population: the model's network (when keep_model) and freshly randomised
// networks of its node count, none scored yet. Output o of a random start has weights and bias
// of scale step_size * target_scales[o], and the step size of output o starts there too (see
// output_steps): outputs start small, on the scale of what they are to predict, and the steps
// take that scale over. Throws InvalidData for settings or a run out of range.
BetaSelectState beta_select_start(const Network& start, const BetaSettings& settings,
                                  const RunContext& context);

// After the first generation, keeps the elites and replaces the others by children of the best
// members; hands over the members to score (the new ones, or all of them when re-scoring).
const std::vector<Network>& beta_select_ask(BetaSelectState& state);

// Takes their scores, ranks the population and updates the best. Returns false when no member
// has a loss below no_loss_yet; the best then stays as it was (member 0 in a first generation).
bool beta_select_tell(BetaSelectState& state, ScoreRows rows);

// Beta's draws for the structural operators: choices and kinds from the search's own source;
// a node that splits a connection keeps its weight on the way in, passes it on with weight 1 and
// has bias 0, so the path starts close to what it replaced; a removed node's paths are bridged
// with the product of their weights, added to any weight the pair has; a new connection's weight
// is N(0, its target's step) for the node steps `steps`.
class BetaStructureDraws final : public StructureDraws {
  public:
    BetaStructureDraws(BetaDraws& draws, const std::vector<double>& steps)
        : draws_(draws), steps_(steps) {}
    std::int64_t pick(std::int64_t count) override;
    std::int32_t kind() override;
    double split_bias() override { return 0.0; }
    std::pair<double, double> split_weights(Network&, double old_weight) override {
        return {old_weight, 1.0};
    }
    double bridge_weight(Network& network, const double* existing, double into,
                         double out_of) override;
    double new_weight(Network& network, std::int32_t to) override;

  private:
    BetaDraws& draws_;
    const std::vector<double>& steps_;
};

// Makes `child` (a copy of its parent) and `steps` (the parent's step sizes, one per non-input
// node) a child: every step size times a log-normal factor (kept above `floors` when given: the
// floor of hidden nodes, then one per output), then the bias of each non-input node
// and each weight into it moved by N(0, that node's step); with `structure_rate` one structural
// change (steps kept in line with the nodes), and with 0.05 one node's activation redrawn.
void beta_mutate(Network& child, std::vector<double>& steps, const BetaSettings& settings,
                 std::int32_t hidden_cap, BetaDraws& draws, const std::vector<double>& floors = {});

// A network of `like`'s counts whose every allowed connection exists, with random kinds, the
// weights into a node N(0, scale / sqrt(fan-in)) and its bias N(0, scale), where scale is
// init_scale for hidden nodes and output_scales[o] for output o. Its engine is seeded from
// `sources`.
Network beta_random_network(const Network& like, double init_scale,
                            const std::vector<double>& output_scales, BetaDraws& draws,
                            RandomSources& sources);

// The search's median step size, and the generations since its best key last improved.
SearchFigures beta_select_figures(const BetaSelectState& state);

// Registration (beta_searches.cpp): no further condition on the run; the optimizer.
void check_beta_select_run(const BetaSettings& settings, std::int32_t pop_size);
std::unique_ptr<Optimizer> make_beta_select(const BetaSettings& settings);

}  // namespace tessaron
