#include "evolution/optimizers/beta_select.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

#include "common/errors.hpp"
#include "network/activation.hpp"
#include "network/integrity.hpp"
#include "variation/mutations.hpp"

namespace tessaron {
namespace {

constexpr double activation_change_rate = 0.05;
// Under noisy scores a child close to its parent looks as good as the parent's last lucky score,
// so selection favours ever smaller steps: on LunarLander-v3 they fell a thousandfold within 150
// generations and the search stood still. There they stay above this share of their start.
constexpr double noisy_step_floor = 0.1;
// After this many generations without a better best, every step size is multiplied by the factor.
constexpr std::int32_t stale_generations = 50;
constexpr double stale_widening = 10.0;

// Every write of a weight goes through here, so that the optimizer does not depend on how a
// network stores its weights.
void set_weight(Network& network, std::int32_t from, std::int32_t to, double weight) {
    network.link(from, to) = weight;
}

// One of four changes at even odds, growth only below the cap; the steps follow the nodes (a new
// node starts with the step of the node it feeds).
void change_structure(Network& network, std::vector<double>& steps, std::int32_t hidden_cap,
                      BetaDraws& draws) {
    BetaStructureDraws structure(draws, steps);
    const auto step_at = [&](std::int32_t node) { return steps.begin() + (node - network.inputs); };
    switch (draws.index_below(4)) {
        case 0:
            if (hidden_nodes(network) < hidden_cap) {
                const InsertedNode added = add_node(network, structure);
                if (added.node >= 0) {
                    const double step = *step_at(added.feeds);
                    steps.insert(step_at(added.node), step);
                }
            }
            break;
        case 1: {
            const std::int32_t removed = remove_node(network, structure);
            if (removed >= 0) steps.erase(step_at(removed));
            break;
        }
        case 2:
            add_connection(network, structure);
            break;
        default:
            remove_connection(network, structure);
            break;
    }
}

// Every step size times exp(shared + own), with one factor shared by the whole network and one
// per node, at the usual rates 1/sqrt(2n) and 1/sqrt(2 sqrt(n)) for n step sizes, kept moderate
// for the smallest networks; then kept within the floors (when given) and the largest step.
void adapt_steps(std::vector<double>& steps, std::int32_t outputs, BetaDraws& draws,
                 const std::vector<double>& floors) {
    const double n = static_cast<double>(std::max<std::size_t>(steps.size(), 1));
    const double shared_rate = std::clamp(1.0 / std::sqrt(2.0 * n), 0.05, 0.3);
    const double own_rate = std::clamp(1.0 / std::sqrt(2.0 * std::sqrt(n)), 0.05, 0.3);
    const double shared = shared_rate * draws.standard_normal();
    const std::size_t first_output = steps.size() - static_cast<std::size_t>(outputs);
    for (std::size_t k = 0; k < steps.size(); ++k) {
        const double floor = floors.empty() ? beta_smallest_step
                                            : floors[k < first_output ? 0 : 1 + k - first_output];
        steps[k] = std::clamp(steps[k] * std::exp(shared + own_rate * draws.standard_normal()),
                              floor, beta_largest_step);
    }
}

// The floors of noisy runs: a tenth of the hidden nodes' first step, then of each output's.
std::vector<double> step_floors(const BetaSettings& settings, const std::vector<double>& outputs) {
    auto floor_of = [](double start) {
        return std::clamp(noisy_step_floor * start, beta_smallest_step, beta_largest_step);
    };
    std::vector<double> floors{floor_of(step_size_or(settings, beta_default_step))};
    for (const double step : outputs) floors.push_back(floor_of(step));
    return floors;
}

// Elites stay as they are, scores included; every other place gets a child of one of the best
// members.
void breed(BetaSelectState& state) {
    const std::size_t p = state.members.population.size();
    const BetaSettings& settings = state.settings;
    const std::size_t elites = std::min(static_cast<std::size_t>(std::max(settings.elites, 0)), p);
    const std::size_t parents = std::clamp<std::size_t>(
        static_cast<std::size_t>(std::ceil(settings.parent_fraction * static_cast<double>(p))), 1,
        p);
    std::vector<Network> children;
    std::vector<std::vector<double>> child_steps;
    children.reserve(p - elites);
    child_steps.reserve(p - elites);
    for (std::size_t k = elites; k < p; ++k) {
        const std::int32_t parent = state.draws.index_below(parents);
        Network child(state.members.population[parent]);
        std::vector<double> steps = state.steps[parent];
        beta_mutate(child, steps, settings, state.hidden_cap, state.draws, state.step_floors);
        child_steps.push_back(std::move(steps));
        children.push_back(std::move(child));
    }
    for (std::size_t k = elites; k < p; ++k) {
        state.members.population[k] = std::move(children[k - elites]);
        state.steps[k] = std::move(child_steps[k - elites]);
        forget_scores(state.members, k);
    }
}

// A search that has not improved for a while widens its steps again, to leave the basin it has
// settled in. Only where scores are kept: re-scored members (noisy fitness, another batch)
// rarely match the luckiest score seen so far, and widening on that would make the steps grow
// without end.
void widen_when_stale(BetaSelectState& state, double best_key) {
    if (state.rescore_all) {
        state.stale = 0;
    } else if (best_key < state.best_key) {
        state.best_key = best_key;
        state.stale = 0;
    } else if (++state.stale >= stale_generations) {
        state.stale = 0;
        for (std::vector<double>& steps : state.steps)
            for (double& step : steps) step = std::min(step * stale_widening, beta_largest_step);
    }
}

}  // namespace

std::int64_t BetaStructureDraws::pick(std::int64_t count) {
    return draws_.index_below(static_cast<std::size_t>(count));
}

std::int32_t BetaStructureDraws::kind() {
    return draws_.index_below(activation_kind_count);
}

double BetaStructureDraws::bridge_weight(Network&, const double* existing, double into,
                                         double out_of) {
    const double bridge = into * out_of;
    return existing != nullptr ? *existing + bridge : bridge;
}

double BetaStructureDraws::new_weight(Network& network, std::int32_t to) {
    return steps_[static_cast<std::size_t>(to - network.inputs)] * draws_.standard_normal();
}

Network beta_random_network(const Network& like, double init_scale,
                            const std::vector<double>& output_scales, BetaDraws& draws,
                            RandomSources& sources) {
    Network network(like.inputs, like.outputs, NetworkEngine(sources.engine_seed()));
    reset(network, like.size);
    const std::int32_t sources_end = network.size - network.outputs;
    for (std::int32_t i = 0; i < network.size; ++i) {
        network.activations[i] = draws.index_below(activation_kind_count);
        if (i >= network.inputs)
            network.biases[i] = (i < sources_end ? init_scale : output_scales[i - sources_end]) *
                                draws.standard_normal();
    }
    for (std::int32_t to = network.inputs; to < network.size; ++to) {
        const std::int32_t fan_in = std::min(to, sources_end);
        const double scale = (to < sources_end ? init_scale : output_scales[to - sources_end]) /
                             std::sqrt(static_cast<double>(std::max(fan_in, 1)));
        for (std::int32_t from = 0; from < fan_in; ++from)
            set_weight(network, from, to, scale * draws.standard_normal());
    }
    return network;
}

void beta_mutate(Network& child, std::vector<double>& steps, const BetaSettings& settings,
                 std::int32_t hidden_cap, BetaDraws& draws, const std::vector<double>& floors) {
    adapt_steps(steps, child.outputs, draws, floors);
    const std::int32_t inputs = child.inputs;
    for (std::int32_t i = inputs; i < child.size; ++i)
        child.biases[i] += steps[i - inputs] * draws.standard_normal();
    for (std::int32_t from = 0; from < child.size; ++from)
        for_each_target(child, from, [&](std::int32_t to) {
            set_weight(child, from, to,
                       child.weight(from, to) + steps[to - inputs] * draws.standard_normal());
        });
    if (draws.chance(settings.structure_rate)) {
        change_structure(child, steps, hidden_cap, draws);
        if (!is_valid(child)) throw IntegrityError("Beta broke a network");
    }
    if (child.size > inputs && draws.chance(activation_change_rate)) {
        const std::int32_t node = inputs + draws.index_below(child.size - inputs);
        BetaStructureDraws structure(draws, steps);
        redraw_activation(child, node, structure);
    }
}

BetaSelectState beta_select_start(const Network& start, const BetaSettings& settings,
                                  const RunContext& context) {
    BetaSelectState state;
    state.draws = start_beta_search(settings, context);
    state.settings = settings;
    state.hidden_cap = std::max(settings.max_hidden, hidden_nodes(start));
    const double step = step_size_or(settings, beta_default_step);
    const std::vector<double> outputs = output_steps(step, start.outputs, context.target_scales);
    std::vector<Network> population;
    population.reserve(static_cast<std::size_t>(context.pop_size));
    for (std::int32_t i = 0; i < context.pop_size; ++i) {
        if (i == 0 && settings.keep_model)
            population.push_back(start);
        else
            population.push_back(beta_random_network(start, settings.init_scale, outputs,
                                                     state.draws, *context.sources));
    }
    for (const Network& member : population)
        state.steps.push_back(node_steps(member, step, outputs));
    state.members = beta_members(std::move(population));
    if (settings.reevaluate) state.step_floors = step_floors(settings, outputs);
    // Another batch is another task: every member is scored on it, not only the new ones.
    state.rescore_all = settings.reevaluate || !context.comparable_scores;
    state.average = settings.reevaluate;
    return state;
}

const std::vector<Network>& beta_select_ask(BetaSelectState& state) {
    if (state.members.best_index >= 0) breed(state);
    return hand_over(state.members, state.rescore_all);
}

bool beta_select_tell(BetaSelectState& state, ScoreRows rows) {
    BetaMembers& members = state.members;
    take_scores(members, std::move(rows), state.average);
    const std::size_t p = members.population.size();
    const std::vector<double> keys =
        ranking_keys(members, state.settings.size_penalty, state.average);
    std::vector<double> complexity(p);
    for (std::size_t i = 0; i < p; ++i) complexity[i] = beta_complexity(members.population[i]);
    // Equal keys prefer the smaller network.
    std::vector<std::size_t> order(p);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (keys[a] != keys[b]) return keys[a] < keys[b];
        return complexity[a] < complexity[b];
    });
    reorder(members, order);
    permute(state.steps, order);
    widen_when_stale(state, keys[order[0]]);
    return record_best(members);
}

SearchFigures beta_select_figures(const BetaSelectState& state) {
    std::vector<double> steps;
    for (const std::vector<double>& member : state.steps)
        steps.insert(steps.end(), member.begin(), member.end());
    if (steps.empty()) return {};
    std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
    return {{"median_step", steps[steps.size() / 2]}, {"stale_generations", state.stale}};
}

void check_beta_select_run(const BetaSettings& settings, std::int32_t pop_size) {
    check_beta_elites(settings, pop_size);
}

std::unique_ptr<Optimizer> make_beta_select(const BetaSettings& settings) {
    return std::make_unique<BetaSearchOptimizer<BetaSelectState, beta_select_start, beta_select_ask,
                                                beta_select_tell, beta_select_figures>>(settings);
}

}  // namespace tessaron
