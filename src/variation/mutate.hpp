// The mutation driver: at most one kind of change per call, with fixed probabilities that no
// caller can change.
#pragma once

#include "network/network.hpp"
#include "network/random_sources.hpp"

namespace tessaron {

// Draws in turn (each draw made only when its step is reached): < 0.3 perturbs every parameter;
// < 0.3 redraws some activation kinds; <= 0.1 add_node; <= 0.1 remove_node; <= 0.05
// remove_connection; <= 0.05 add_connection; otherwise nothing. After a structural mutation the
// network is tested: when it is no longer valid, the mutation's message is written to the console
// on a line of its own and IntegrityError(message) is thrown, the network keeping the change.
void mutate(Network& network, RandomSources& sources = thread_random_sources());

// Adds to every bias, then to the weight of every existing connection of the node (targets
// ascending), a normal step whose standard deviation is 0.2 times the value's magnitude: 0 stays
// 0 and NaN stays NaN. Input nodes included.
void perturb_parameters(Network& network, FreshDraws& fresh = thread_random_sources().fresh);

// Gives each hidden and output node, with chance 0.05, a random kind (which may be its old one).
// Input nodes never change.
void mutate_activations(Network& network, RandomSources& sources = thread_random_sources());

}  // namespace tessaron
