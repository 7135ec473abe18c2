// Crossover: a population becomes offspring by shuffling, pairing neighbours, and either
// recombining each pair into two children or passing both parents on as copies.
#pragma once

#include <vector>

#include "network/network.hpp"
#include "network/random_sources.hpp"

namespace tessaron {

// Shuffles population and scores together (the sources' rand() sequence), writes "One of networks
// already broken." once if some member is invalid and goes on, then for each pair 2j, 2j+1 draws
// u: u >= 0.5 gives two independent make_child, otherwise copies of both (fresh engines). If an
// offspring is invalid, "Crossover broke network" is written and IntegrityError thrown; the
// population and scores stay shuffled. Throws InvalidData, changing nothing, when the lengths
// differ. Returns 2 * floor(n / 2) networks.
std::vector<Network> crossover(std::vector<Network>& population, std::vector<double>& scores,
                               RandomSources& sources = thread_random_sources());

// The same, with the same draws, for a loop that recycles networks: offspring take over the
// arrays of `spares` (taken from its back) while there are any. `parents_valid` tells on entry
// whether the population is known to pass the integrity test, which is then not applied to it
// nor to the copies of its members; on return, whether it does.
std::vector<Network> crossover(std::vector<Network>& population, std::vector<double>& scores,
                               std::vector<Network>& spares, bool& parents_valid,
                               RandomSources& sources);

// A network with a freshly seeded engine (one seed drawn, as for a new network), in the arrays of
// the last of `spares` when there is one, which is then taken from it.
Network take_spare(std::vector<Network>& spares, RandomSources& sources);

// A child aligned by node index. The fitter parent (smaller score; a on a tie or a NaN) gives the
// size; node genes of positions both parents have come from either at even odds, bias and kind
// together. Connections both have are kept with either weight at even odds; a connection only one
// has is kept, with its weight, when that parent is strictly the fitter (a on a tie), never when
// a score is NaN. The child has a's inputs and outputs and a fresh engine.
Network make_child(const Network& a, const Network& b, double score_a, double score_b,
                   RandomSources& sources = thread_random_sources());

// make_child written over `child`, whose arrays are reused and whose engine is left alone; the
// choices are fresh draws of `fresh`.
void make_child_into(Network& child, const Network& a, const Network& b, double score_a,
                     double score_b, FreshDraws& fresh);

}  // namespace tessaron
