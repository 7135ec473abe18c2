// The interface between the run loop and a search: the loop asks for networks to score, tells
// the search their scores, and asks which network is best, one generation after another.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "evolution/input_statistics.hpp"
#include "network/network.hpp"
#include "network/random_sources.hpp"

namespace tessaron {

// One row per network: entry 0 its loss (lower is better), then any further measures.
using ScoreRows = std::vector<std::vector<double>>;

// Figures a search reports about itself (such as its step sizes), by name.
using SearchFigures = std::vector<std::pair<std::string, double>>;

// Scores a pool, one row per member in pool order.
using ScoreFunction = std::function<ScoreRows(const std::vector<Network>& pool)>;

inline constexpr double no_loss_yet = std::numeric_limits<double>::max();

// What a run tells its search at the start.
struct RunContext {
    std::int32_t pop_size = 0;
    // Per output, the spread of its targets (evolve); empty where the run has none (func_evolve).
    std::vector<double> target_scales;
    // Per input, the spread of its values (evolve); empty where the run has none.
    std::vector<double> input_scales;
    // Whether a score compares with one from an earlier generation: false where every
    // generation scores on another batch of the data.
    bool comparable_scores = true;
    // Whether a network's score is the same each time it is scored: true for data scored whole,
    // false for functions, which may play episodes of chance.
    bool repeatable_scores = false;
    // The samples a score is the mean loss over (evolve); 0 where unknown (func_evolve).
    std::int32_t samples_per_score = 0;
    // Whether the loss is categorical cross-entropy over the outputs' softmax (evolve): on samples
    // the outputs separate, it falls for ever as the weights grow.
    bool softmax_loss = false;
    // The run's sources: every draw of the search comes from them, or from the engines of
    // networks seeded from them. They outlive the run.
    RandomSources* sources = nullptr;
};

// The network a search reports as its best, and the score row it stands on.
struct BestMember {
    const Network& network;
    const std::vector<double>& row;
};

class Optimizer {
  public:
    virtual ~Optimizer() = default;

    // Makes the starting members from `start`, which the run has checked. Throws InvalidData
    // for a run the search cannot make, before anything is drawn.
    virtual void start(const Network& start, const RunContext& context) = 0;

    // Breeds the next generation and returns the networks to score: any number (none only where
    // there is nothing new to score), repeats allowed. They stay in place until tell.
    virtual const std::vector<Network>& ask() = 0;

    // Takes one score row per network of the latest ask, in its order, and selects. Returns
    // whether some member had a loss below no_loss_yet; the best then changed. Throws
    // InvalidData for rows that do not match the networks asked for.
    virtual bool tell(ScoreRows rows) = 0;

    // The best after the latest tell; it need not be one of the networks scored. Before the first
    // tell, the network the search would hand back and no_score_row().
    virtual BestMember best() const = 0;

    // Before a tell, where the run saw what the networks of the latest ask were given to predict
    // (a function that predicts with the genomes handed to it): the statistics of those values.
    // A search that has no input scales from its context may take its inputs' scale from them.
    virtual void observe_inputs(const InputStatistics& /*seen*/) {}

    // Figures the search reports about itself (such as its step sizes), by name.
    virtual SearchFigures figures() const { return {}; }
};

// An empty row: the score of a best before the first generation.
const std::vector<double>& no_score_row();

// Throws InvalidData unless `rows` holds one row with a loss for each of `pool_size` networks.
void check_score_rows(std::size_t pool_size, const ScoreRows& rows);

// One generation: ask, score what was asked (no call when nothing was), tell. Returns what tell
// returns.
bool run_generation(Optimizer& optimizer, const ScoreFunction& score);

}  // namespace tessaron
