// What the searches of Beta share: the members and their scores (kept from one generation to the
// next, averaged when asked), the ranking by loss and size, the random source, and the step sizes
// that outputs start with.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "evolution/optimizer.hpp"
#include "evolution/optimizers/beta_settings.hpp"
#include "network/network.hpp"
#include "network/random_sources.hpp"

namespace tessaron {

// The random source of a Beta search; the normal distribution keeps the second deviate of each
// pair.
struct BetaDraws {
    std::mt19937_64 engine;
    std::normal_distribution<double> normal{0.0, 1.0};

    double standard_normal() { return normal(engine); }
    // Uniform in 0 .. count-1 (count >= 1).
    std::int32_t index_below(std::size_t count) {
        return static_cast<std::int32_t>(
            std::uniform_int_distribution<std::size_t>(0, count - 1)(engine));
    }
    bool chance(double probability) {
        return std::uniform_real_distribution<double>(0.0, 1.0)(engine) < probability;
    }
};

// The start of every search: InvalidData for settings or a run out of range, before anything is
// drawn; then the search's source, seeded from two engine seeds of the run's sources. One engine
// seed is drawn before them, for a best network that the first member replaces, as runs always
// have: seeded runs keep their figures.
BetaDraws start_beta_search(const BetaSettings& settings, const RunContext& context);

struct BetaMembers {
    std::vector<Network> population;
    ScoreRows rows;                    // empty while the member has not been scored
    std::vector<std::int32_t> scored;  // how many scores rows[i] averages
    std::vector<double> scatter;       // sum of squared deviations of those losses
    Network best{NetworkEngine(0)};    // set at the start; its engine never draws
    std::int32_t best_index = -1;
    double best_loss = no_loss_yet;
    // From ask to tell: the places of the members handed over, and the members themselves,
    // moved out of the population.
    std::vector<std::size_t> pending;
    std::vector<Network> handed;
};

// `population`, none scored yet, the best being member 0.
BetaMembers beta_members(std::vector<Network> population);

// Forgets member i's scores: it is new.
void forget_scores(BetaMembers& members, std::size_t i);

// Moves the members without a score (every member when `rescore_all`) out to be scored.
const std::vector<Network>& hand_over(BetaMembers& members, bool rescore_all);

// Puts the members handed over back with their rows, averaging with earlier scores when
// `average`. Throws InvalidData (the members back in place) for rows that do not match them.
void take_scores(BetaMembers& members, ScoreRows rows, bool average);

// Every member's ranking key: its loss (or shrunk average) plus the size penalty; NaN is +inf.
std::vector<double> ranking_keys(const BetaMembers& members, double size_penalty, bool average);

// The members' losses as ranked when scores are averaged: each average drawn toward the mean of
// all, the more the fewer scores it averages and the noisier re-scored members prove to be.
// Unchanged while no member has been scored twice or the scores show no noise.
std::vector<double> shrunk_losses(const BetaMembers& members);

// Puts the members, with their scores, in `order`.
void reorder(BetaMembers& members, const std::vector<std::size_t>& order);

// The best and the row at its place.
BestMember best_of(const BetaMembers& members);

// Makes member 0 the best when its loss is below no_loss_yet (or no best is set yet).
bool record_best(BetaMembers& members);

// Complexity of a network for the size penalty: its hidden nodes plus its connections.
double beta_complexity(const Network& network);

std::int32_t hidden_nodes(const Network& network);

// The first step size of each output: step_size times the spread of its targets (times 1 for a
// missing, zero or non-finite spread), so that outputs start, and step, on their targets' scale.
std::vector<double> output_steps(double step_size, std::int32_t outputs,
                                 const std::vector<double>& target_scales);

// The step size of every non-input node of `network`: step_size, and the outputs' own at the end.
std::vector<double> node_steps(const Network& network, double step_size,
                               const std::vector<double>& outputs);

// The best of a search that keeps scored members: the best of its members.
template <class State>
BestMember best_member_of(const State& state) {
    return best_of(state.members);
}

// A search of Beta behind the optimizer interface: its state record, made by Start from the
// settings and the run's context, driven by Ask and Tell; its best by Best (by default the best
// of its members); Observe, if any, takes the statistics of the inputs the networks were given.
template <class State, State (*Start)(const Network&, const BetaSettings&, const RunContext&),
          const std::vector<Network>& (*Ask)(State&), bool (*Tell)(State&, ScoreRows),
          SearchFigures (*Figures)(const State&),
          BestMember (*Best)(const State&) = best_member_of<State>,
          void (*Observe)(State&, const InputStatistics&) = nullptr>
class BetaSearchOptimizer final : public Optimizer {
  public:
    explicit BetaSearchOptimizer(const BetaSettings& settings) : settings_(settings) {}
    void start(const Network& start, const RunContext& context) override {
        state_ = Start(start, settings_, context);
    }
    const std::vector<Network>& ask() override { return Ask(state_); }
    bool tell(ScoreRows rows) override { return Tell(state_, std::move(rows)); }
    BestMember best() const override { return Best(state_); }
    void observe_inputs(const InputStatistics& seen) override {
        if constexpr (Observe != nullptr) Observe(state_, seen);
    }
    SearchFigures figures() const override { return Figures(state_); }

  private:
    BetaSettings settings_;
    State state_;
};

// Items in `order` (item order[k] goes to place k).
template <class T>
void permute(std::vector<T>& items, const std::vector<std::size_t>& order) {
    std::vector<T> sorted;
    sorted.reserve(items.size());
    for (std::size_t i : order) sorted.push_back(std::move(items[i]));
    items = std::move(sorted);
}

}  // namespace tessaron
