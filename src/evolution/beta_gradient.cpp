// Beta's gradient search: where single scores are noisy (an episode's return depends on where it
// starts), selecting the luckiest network misleads; an estimate built from every member's rank
// averages the noise out. The centre and each parameter's step size follow the natural gradient
// of the expected utility (a separable natural evolution strategy), so the steps adapt to the
// landscape.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "evolution/beta.hpp"

namespace tessaron {
namespace {

// The parameters of a network in one fixed order: the non-input biases, then the weights source
// by source.
std::vector<double> parameters_of(const Network& network) {
    std::vector<double> values(network.biases.begin() + network.inputs, network.biases.end());
    for (std::int32_t from = 0; from < network.size; ++from)
        for_each_target(network, from,
                        [&](std::int32_t to) { values.push_back(network.weight(from, to)); });
    return values;
}

void set_parameters(Network& network, const std::vector<double>& values) {
    std::size_t k = 0;
    for (std::int32_t i = network.inputs; i < network.size; ++i) network.biases[i] = values[k++];
    for (std::int32_t from = 0; from < network.size; ++from)
        for_each_target(network, from,
                        [&](std::int32_t to) { network.link(from, to) = values[k++]; });
}

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

void forget_scores(BetaState& state, std::size_t i) {
    state.rows[i].clear();
    state.scored[i] = 0;
    state.scatter[i] = 0.0;
}

}  // namespace

bool beta_gradient_generation(BetaState& state, const ScoreFunction& score, bool rescore_all,
                              bool average) {
    const std::size_t p = state.population.size();
    if (state.next_centre) {
        state.population[0] = std::move(*state.next_centre);
        state.next_centre.reset();
        forget_scores(state, 0);
    }
    const std::vector<double> centre = parameters_of(state.population[0]);
    const std::size_t n = centre.size();
    if (state.parameter_steps.size() != n)
        state.parameter_steps = parameter_steps(state.population[0], state.steps[0]);
    std::vector<double>& steps = state.parameter_steps;
    const std::size_t perturbed = p - 1;
    // Member k >= 1 is draw (k - 1) / 2, added for odd k and subtracted for even k.
    auto sign_of = [](std::size_t k) { return k % 2 == 1 ? 1.0 : -1.0; };
    std::vector<double> noise((perturbed + 1) / 2 * n);
    std::vector<double> values(n);
    for (std::size_t k = 1; k < p; ++k) {
        double* draw = noise.data() + (k - 1) / 2 * n;
        if (sign_of(k) > 0.0)
            for (std::size_t q = 0; q < n; ++q) draw[q] = state.draws.normal(state.draws.engine);
        for (std::size_t q = 0; q < n; ++q) values[q] = centre[q] + sign_of(k) * steps[q] * draw[q];
        state.population[k] = state.population[0];
        set_parameters(state.population[k], values);
        forget_scores(state, k);
    }

    beta_score_members(state, score, rescore_all, average);
    const std::vector<double> keys = beta_ranking_keys(state, average);
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
        const double utility = utilities[k];
        const double* draw = noise.data() + (k - 1) / 2 * n;
        for (std::size_t q = 0; q < n; ++q) {
            centre_gradient[q] += utility * sign_of(k) * draw[q];
            step_gradient[q] += utility * (draw[q] * draw[q] - 1.0);
        }
    }

    beta_reorder(state, order);
    const bool found = beta_record_best(state);

    // The usual rate for the steps of n parameters; the centre moves at the full natural rate.
    const double step_rate = (3.0 + std::log(static_cast<double>(std::max<std::size_t>(n, 1)))) /
                             (5.0 * std::sqrt(static_cast<double>(std::max<std::size_t>(n, 1))));
    std::vector<double> moved(n);
    bool changed = false;
    for (std::size_t q = 0; q < n; ++q) {
        moved[q] = centre[q] + steps[q] * centre_gradient[q];
        changed = changed || moved[q] != centre[q];
        steps[q] = std::clamp(steps[q] * std::exp(0.5 * step_rate * step_gradient[q]),
                              beta_smallest_step, beta_largest_step);
    }
    // An unmoved centre keeps its scores, so it is not handed over again.
    if (changed) {
        state.next_centre = state.population[0];
        set_parameters(*state.next_centre, moved);
    }
    return found;
}

}  // namespace tessaron
