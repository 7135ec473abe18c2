#include "evolution/optimizers/beta_gradient.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "common/errors.hpp"
#include "evolution/optimizers/network_parameters.hpp"
#include "network/activation.hpp"

namespace tessaron {
namespace {

// Each parameter's step size: that of the node its bias belongs to or its weight feeds.
std::vector<double> parameter_steps(const Network& network, const std::vector<double>& node_steps) {
    std::vector<double> steps(node_steps);
    for (std::int32_t from = 0; from < network.size; ++from)
        for_each_target(network, from, [&](std::int32_t to) {
            steps.push_back(node_steps[static_cast<std::size_t>(to - network.inputs)]);
        });
    return steps;
}

// Utilities by rank: for the i-th best of m perturbations max(0, ln(m/2 + 1) - ln i),
// normalised to sum to 1, less 1/m; only the better half pulls, the worse half pushes a little.
// `order` holds the centre (first) and then the perturbations by ascending key. Equal keys share
// the mean of their utilities, so a flat landscape gives no direction. The centre's utility is 0.
std::vector<double> rank_utilities(const std::vector<double>& keys,
                                   const std::vector<std::size_t>& order) {
    const std::size_t m = order.size() - 1;
    std::vector<double> by_place(m), utilities(order.size(), 0.0);
    double total = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
        by_place[i] = std::max(0.0, std::log(0.5 * static_cast<double>(m) + 1.0) -
                                        std::log(static_cast<double>(i + 1)));
        total += by_place[i];
    }
    for (double& u : by_place) u = u / total - 1.0 / static_cast<double>(m);
    const std::size_t* ranked = order.data() + 1;
    for (std::size_t first = 0; first < m;) {
        std::size_t last = first;
        while (last + 1 < m && keys[ranked[last + 1]] == keys[ranked[first]]) ++last;
        if (first == 0 && last + 1 == m) break;  // all equal: exactly no direction
        double shared = 0.0;
        for (std::size_t k = first; k <= last; ++k) shared += by_place[k];
        shared /= static_cast<double>(last - first + 1);
        for (std::size_t k = first; k <= last; ++k) utilities[ranked[k]] = shared;
        first = last + 1;
    }
    return utilities;
}

// Member k >= 1 is draw (k - 1) / 2, added for odd k and subtracted for even k.
double sign_of(std::size_t k) {
    return k % 2 == 1 ? 1.0 : -1.0;
}

// The members after the centre: the centre moved along mirrored draws (drawn for odd members).
void perturb(BetaGradientState& state) {
    std::vector<Network>& population = state.members.population;
    const std::size_t p = population.size(), n = state.centre.size();
    const std::vector<double>& steps = state.parameter_steps;
    state.noise.assign(p / 2 * n, 0.0);
    std::vector<double> values(n);
    for (std::size_t k = 1; k < p; ++k) {
        double* draw = state.noise.data() + (k - 1) / 2 * n;
        if (sign_of(k) > 0.0)
            for (std::size_t q = 0; q < n; ++q) draw[q] = state.draws.standard_normal();
        for (std::size_t q = 0; q < n; ++q)
            values[q] = state.centre[q] + sign_of(k) * steps[q] * draw[q];
        population[k] = population[0];
        set_parameters(population[k], values);
        forget_scores(state.members, k);
    }
}

// The centre moved by the gradient (in units of each step) and each step size by that of its
// log; the centre of the next generation where it moved (an unmoved centre keeps its scores, so
// it is not handed over again).
void move_centre(BetaGradientState& state, const std::vector<double>& centre_gradient,
                 const std::vector<double>& step_gradient) {
    const std::size_t n = state.centre.size();
    std::vector<double>& steps = state.parameter_steps;
    // The usual rate for the steps of n parameters; the centre moves at the full natural rate.
    const double step_rate = (3.0 + std::log(static_cast<double>(std::max<std::size_t>(n, 1)))) /
                             (5.0 * std::sqrt(static_cast<double>(std::max<std::size_t>(n, 1))));
    std::vector<double> moved(n);
    bool changed = false;
    for (std::size_t q = 0; q < n; ++q) {
        moved[q] = state.centre[q] + steps[q] * centre_gradient[q];
        changed = changed || moved[q] != state.centre[q];
        steps[q] = std::clamp(steps[q] * std::exp(0.5 * step_rate * step_gradient[q]),
                              beta_smallest_step, beta_largest_step);
    }
    if (changed) {
        state.next_centre = state.members.population[0];
        set_parameters(*state.next_centre, moved);
    }
}

}  // namespace

Network beta_plain_network(const Network& like, RandomSources& sources) {
    Network network(like.inputs, like.outputs, NetworkEngine(sources.engine_seed()));
    reset(network, like.size);
    const std::int32_t sources_end = network.size - network.outputs;
    for (std::int32_t i = 0; i < network.size; ++i)
        network.activations[i] = i >= network.inputs && i < sources_end ? tanh_kind : linear;
    for (std::int32_t to = network.inputs; to < network.size; ++to)
        for (std::int32_t from = 0; from < std::min(to, sources_end); ++from)
            network.link(from, to) = 0.0;
    return network;
}

BetaGradientState beta_gradient_start(const Network& start, const BetaSettings& settings,
                                      const RunContext& context) {
    BetaGradientState state;
    state.draws = start_beta_search(settings, context);
    const double step = step_size_or(settings, beta_default_step);
    state.settings = {step, settings.size_penalty, settings.keep_model, settings.reevaluate};
    const Network centre =
        settings.keep_model ? start : beta_plain_network(start, *context.sources);
    const std::vector<double> outputs = output_steps(step, start.outputs, context.target_scales);
    state.start_steps = node_steps(centre, step, outputs);
    // One centre; the first generation replaces the other places by its perturbations.
    state.members =
        beta_members(std::vector<Network>(static_cast<std::size_t>(context.pop_size), centre));
    state.rescore_all = settings.reevaluate || !context.comparable_scores;
    state.average = settings.reevaluate;
    return state;
}

const std::vector<Network>& beta_gradient_ask(BetaGradientState& state) {
    BetaMembers& members = state.members;
    if (state.next_centre) {
        members.population[0] = std::move(*state.next_centre);
        state.next_centre.reset();
        forget_scores(members, 0);
    }
    state.centre = parameters_of(members.population[0]);
    if (state.parameter_steps.size() != state.centre.size())
        state.parameter_steps = parameter_steps(members.population[0], state.start_steps);
    perturb(state);
    return hand_over(members, state.rescore_all);
}

bool beta_gradient_tell(BetaGradientState& state, ScoreRows rows) {
    BetaMembers& members = state.members;
    take_scores(members, std::move(rows), state.average);
    const std::size_t p = members.population.size(), n = state.centre.size();
    const std::vector<double> keys =
        ranking_keys(members, state.settings.size_penalty, state.average);
    // The centre stays first (it is the generation's network); the others follow by key.
    std::vector<std::size_t> order(p);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin() + 1, order.end(),
                     [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
    const std::vector<double> utilities = rank_utilities(keys, order);
    // The natural gradients of the expected utility for the centre (in units of each step) and
    // for the log of each step.
    std::vector<double> centre_gradient(n, 0.0), step_gradient(n, 0.0);
    for (std::size_t k = 1; k < p; ++k) {
        const double* draw = state.noise.data() + (k - 1) / 2 * n;
        for (std::size_t q = 0; q < n; ++q) {
            centre_gradient[q] += utilities[k] * sign_of(k) * draw[q];
            step_gradient[q] += utilities[k] * (draw[q] * draw[q] - 1.0);
        }
    }
    reorder(members, order);
    const bool found = record_best(members);
    move_centre(state, centre_gradient, step_gradient);
    return found;
}

SearchFigures beta_gradient_figures(const BetaGradientState& state) {
    std::vector<double> steps = state.parameter_steps;
    if (steps.empty()) return {};
    std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
    return {{"median_step", steps[steps.size() / 2]}};
}

void check_beta_gradient_run(const BetaSettings& settings, std::int32_t pop_size) {
    check_beta_elites(settings, pop_size);
    if (pop_size < beta_gradient_smallest_pop)
        throw InvalidData("the gradient search needs a pop_size of at least " +
                          std::to_string(beta_gradient_smallest_pop) + ", got " +
                          std::to_string(pop_size));
}

std::unique_ptr<Optimizer> make_beta_gradient(const BetaSettings& settings) {
    return std::make_unique<
        BetaSearchOptimizer<BetaGradientState, beta_gradient_start, beta_gradient_ask,
                            beta_gradient_tell, beta_gradient_figures>>(settings);
}

}  // namespace tessaron
