// The population of one evolution call and the generation step shared by both loops.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "network/network.hpp"
#include "network/random_sources.hpp"

namespace tessaron {

// One row per network: entry 0 its loss (lower is better), then any further measures.
using ScoreRows = std::vector<std::vector<double>>;

// Scores a pool, one row per member in pool order.
using ScoreFunction = std::function<ScoreRows(const std::vector<Network>& pool)>;

inline constexpr double no_loss_yet = std::numeric_limits<double>::max();

// The records of at most this many epochs are reserved ahead; longer runs grow them as they go.
inline constexpr std::int32_t max_epochs_reserved = 4096;

struct PopulationState {
    std::vector<Network> population;
    std::vector<double> fitness;  // each member's latest loss, handed to crossover
    ScoreRows rows;               // row i belongs to population member i
    Network best{NetworkEngine(0)};  // a copy of the best member of the latest generation
    std::int32_t best_index = -1;
    double best_loss = no_loss_yet;
    // Whether every member is known to pass the integrity test (it is then not tested again),
    // and networks of the last generation whose arrays the next one's offspring take over.
    bool members_valid = false;
    std::vector<Network> spares;
};

// Member 0 is a copy of `network`; the others are copies mutated once each. Throws InvalidData
// for a pop_size that is odd or below 2, or a network without nodes.
PopulationState initial_population(const Network& network, std::int32_t pop_size,
                                   RandomSources& sources = thread_random_sources());

// Breeds, scores and selects one generation, replacing the population. The best is the first
// member with the lowest loss below no_loss_yet; returns false when there is none (all losses
// NaN or infinite), in which case the best stays as it was, or becomes member 0 in a first
// generation so that the best index is always set afterwards. Throws InvalidData, before
// anything changes, for a population that is odd, smaller than 2 or out of step with its fitness
// values, and, leaving the population spent, when `score` gives other than one non-empty row per
// pool member.
bool next_generation(PopulationState& state, const ScoreFunction& score,
                     RandomSources& sources = thread_random_sources());

// Two tournament passes over the whole pool, each after a fresh shuffle, in groups of four: the
// winners' pool indices, first pass then second. A NaN loss ranks below any number.
std::vector<std::int32_t> select_survivors(const ScoreRows& rows,
                                           RandState& rand = thread_random_sources().rand);

}  // namespace tessaron
