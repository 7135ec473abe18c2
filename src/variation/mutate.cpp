#include "variation/mutate.hpp"

#include <cmath>
#include <string>

#include "common/console.hpp"
#include "common/errors.hpp"
#include "network/activation.hpp"
#include "network/integrity.hpp"
#include "variation/mutations.hpp"
#include "variation/random_draws.hpp"

namespace tessaron {
namespace {

constexpr double perturbation_share = 0.3;  // strict test
constexpr double activation_share = 0.3;    // strict test
constexpr double new_kind_chance = 0.05;
constexpr double add_node_chance = 0.1;
constexpr double remove_node_chance = 0.1;
constexpr double remove_connection_chance = 0.05;
constexpr double add_connection_chance = 0.05;
constexpr double relative_step = 0.2;

void check_after(const Network& network, const char* message) {
    if (is_valid(network)) return;
    console_write(std::string(message) + "\n");
    throw IntegrityError(message);
}

double stepped(FreshDraws& draws, double value) {
    return value + draws.normal(0.0, relative_step * std::fabs(value));
}

}  // namespace

void perturb_parameters(Network& network, FreshDraws& draws) {
    for (std::int32_t i = 0; i < network.size; ++i) {
        network.biases[i] = stepped(draws, network.biases[i]);
        for (std::int32_t e = network.out_begin(i); e < network.out_end(i); ++e)
            if (network.targets[e] < network.size)
                network.weights[e] = stepped(draws, network.weights[e]);
    }
}

void mutate_activations(Network& network, RandomSources& sources) {
    SourcesStructureDraws draws(sources);
    for (std::int32_t i = network.inputs; i < network.size; ++i)
        if (sources.fresh.unit() <= new_kind_chance) redraw_activation(network, i, draws);
}

void mutate(Network& network, RandomSources& sources) {
    SourcesStructureDraws draws(sources);
    if (fresh_uniform(0.0, 1.0, sources.fresh) < perturbation_share) {
        perturb_parameters(network, sources.fresh);
        return;
    }
    if (fresh_uniform(0.0, 1.0, sources.fresh) < activation_share) {
        mutate_activations(network, sources);
        return;
    }
    if (fresh_uniform(0.0, 1.0, sources.fresh) <= add_node_chance) {
        add_node(network, draws);
        check_after(network, "Add node mutation broke network.");
        return;
    }
    if (fresh_uniform(0.0, 1.0, sources.fresh) <= remove_node_chance) {
        remove_node(network, draws);
        check_after(network, "Remove node mutation broke network.");
        return;
    }
    if (fresh_uniform(0.0, 1.0, sources.fresh) <= remove_connection_chance) {
        remove_connection(network, draws);
        check_after(network, "Remove connection mutation broke network.");
        return;
    }
    if (fresh_uniform(0.0, 1.0, sources.fresh) <= add_connection_chance) {
        add_connection(network, draws);
        check_after(network, "Add connection mutation broke network.");
    }
}

}  // namespace tessaron
