// Alpha, the first optimizer: each generation the population is shuffled into pairs that
// recombine or pass on as copies, every offspring is mutated, and parents and offspring together
// are cut back to the population's size by tournaments in groups of four. Its draws are fixed.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "evolution/optimizer.hpp"
#include "network/network.hpp"
#include "network/random_sources.hpp"

namespace tessaron {

struct PopulationState {
    std::vector<Network> population;
    std::vector<double> fitness;     // each member's latest loss, handed to crossover
    ScoreRows rows;                  // row i belongs to population member i
    Network best{NetworkEngine(0)};  // a copy of the best member of the latest generation
    std::int32_t best_index = -1;
    double best_loss = no_loss_yet;
    // Whether every member is known to pass the integrity test (it is then not tested again),
    // and networks of the last generation whose arrays the next one's offspring take over.
    bool members_valid = false;
    std::vector<Network> spares;
    // From ask to tell: parents and offspring, alternating.
    std::vector<Network> pool;
};

// Member 0 is a copy of `network`; the others are copies mutated once each. Throws InvalidData
// for a pop_size that is odd or below 2, or a network without nodes.
PopulationState initial_population(const Network& network, std::int32_t pop_size,
                                   RandomSources& sources = thread_random_sources());

// Breeds one generation: the pool of the parents and their offspring, to be scored. Throws
// InvalidData, before anything changes, for a population that is odd, smaller than 2 or out of
// step with its fitness values.
const std::vector<Network>& alpha_ask(PopulationState& state, RandomSources& sources);

// Selects the next population from the pool's scores. The best is the first member with the
// lowest loss below no_loss_yet; returns false when there is none (all losses NaN or infinite),
// in which case the best stays as it was, or becomes member 0 in a first generation so that the
// best index is always set afterwards. Throws InvalidData, leaving the population spent, when
// `rows` is other than one non-empty row per pool member.
bool alpha_tell(PopulationState& state, ScoreRows rows, RandomSources& sources);

// alpha_ask, `score` and alpha_tell.
bool next_generation(PopulationState& state, const ScoreFunction& score,
                     RandomSources& sources = thread_random_sources());

// Two tournament passes over the whole pool, each after a fresh shuffle, in groups of four: the
// winners' pool indices, first pass then second. A NaN loss ranks below any number.
std::vector<std::int32_t> select_survivors(const ScoreRows& rows,
                                           RandState& rand = thread_random_sources().rand);

// Alpha behind the optimizer interface. Its best row is that of the member now at the best's
// place: after a generation without a usable loss, that generation's row there.
std::unique_ptr<Optimizer> make_alpha();

}  // namespace tessaron
