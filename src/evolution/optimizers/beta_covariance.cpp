#include "evolution/optimizers/beta_covariance.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "common/errors.hpp"
#include "evolution/optimizers/network_parameters.hpp"
#include "network/activation.hpp"

namespace tessaron {
namespace {

// Full covariance up to this many parameters; beyond, its diagonal (sampling and updating a full
// one costs the square of the count per sample).
constexpr std::size_t full_covariance_limit = 300;
// Where scores are noisy, how good the mean is is read from its losses over this many generations.
constexpr std::size_t recent_window = 10;
// Restarts double the population up to this many times the first.
constexpr std::size_t largest_population_factor = 8;
// The spread of every parameter of a layered search (below), times sigma.
constexpr double layered_spread = 0.5;

bool is_output(const Network& network, std::int32_t node) {
    return node >= network.size - network.outputs;
}

double scale_of(const std::vector<double>& scales, std::int32_t i) {
    const double s = i < static_cast<std::int32_t>(scales.size()) ? scales[i] : 1.0;
    return std::isfinite(s) && s > 0.0 ? s : 1.0;
}

// Hidden nodes read the inputs, outputs read the inputs and the hidden nodes: one hidden layer.
std::int32_t fan_in(const Network& network, std::int32_t to) {
    return is_output(network, to) ? network.size - network.outputs : network.inputs;
}

// Whether a network is searched as a plain multilayer perceptron: where the run says nothing of
// its scales (a function's) and scores are noisy, a network with hidden nodes. It starts from
// every weight and bias 0, and each parameter is searched with one spread. Natural scales there
// (the outputs' weights a quarter of the biases' spread with 16 sources) leave the first networks
// acting on their biases alone; and the lander's search with hidden nodes took three times the
// episodes with them. Its outputs read the inputs too: the linear networks that solve the simpler
// tasks are then in reach from the first generation.
bool layered(const BetaCovarianceState& state, const Network& network) {
    return state.layered && hidden_nodes(network) > 0;
}

// The spread a parameter is first searched with (times sigma): a bias that of its node's output
// (1 for hidden nodes, the targets' spread for outputs), a weight that spread over the square
// root of its target's inputs, divided by the spread of the input it reads.
double natural_scale(const BetaCovarianceState& state, const Network& network,
                     const ParameterKey& key) {
    if (layered(state, network)) return layered_spread;
    const double node =
        is_output(network, key.to)
            ? scale_of(state.target_scales, key.to - (network.size - network.outputs))
            : state.init_scale;
    if (key.from == bias_source) return node;
    const double source = key.from < network.inputs ? scale_of(state.input_scales, key.from) : 1.0;
    return node / std::sqrt(static_cast<double>(fan_in(network, key.to))) / source;
}

std::vector<double> natural_scales(const BetaCovarianceState& state, const Network& network) {
    std::vector<double> scales;
    for (const ParameterKey& key : parameter_keys(network))
        scales.push_back(natural_scale(state, network, key));
    return scales;
}

// The search's own start: `like`'s counts, one hidden layer fully connected, linear inputs and
// outputs and tanh hidden nodes; the weights into hidden nodes random (on their natural scale), all
// others 0 (a layered network: every weight 0).
Network plain_structure(BetaCovarianceState& state, const Network& like) {
    Network network(like.inputs, like.outputs, NetworkEngine(state.sources->engine_seed()));
    reset(network, like.size);
    const std::int32_t sources_end = network.size - network.outputs;
    for (std::int32_t i = 0; i < network.size; ++i)
        network.activations[i] = i >= network.inputs && i < sources_end ? tanh_kind : linear;
    const bool plain = layered(state, network);
    std::vector<Link> links;
    for (std::int32_t to = network.inputs; to < network.size; ++to)
        for (std::int32_t from = 0; from < fan_in(network, to); ++from) {
            const double weight =
                is_output(network, to) || plain
                    ? 0.0
                    : natural_scale(state, network, {from, to}) * state.draws.standard_normal();
            links.push_back({from, to, weight});
        }
    set_connections(network, std::move(links));
    return network;
}

// `like`'s counts with every hidden node the search may have.
Network with_every_hidden_node(const BetaCovarianceState& state, Network like) {
    const std::int32_t hidden = hidden_nodes(like);
    if (hidden < state.hidden_cap) reset(like, like.size + state.hidden_cap - hidden);
    return like;
}

void start_distribution(BetaCovarianceState& state, Network structure, std::size_t lambda) {
    state.distribution =
        covariance_start(parameters_of(structure), natural_scales(state, structure),
                         state.first_sigma, lambda, full_covariance_limit);
    state.structure = std::move(structure);
    state.best_watched = HUGE_VAL;
    state.recent_watched = HUGE_VAL;
    state.stale = 0;
}

// `network`, which reads inputs transformed by `from`, made to read them transformed by `to`.
Network reread(Network network, const InputTransform& from, const InputTransform& to) {
    if (from == to) return network;
    fold_inputs(network, from);
    unfold_inputs(network, to);
    return network;
}

// A network of the search's coordinates as it is handed out, and the inverse.
Network handed_out(const BetaCovarianceState& state, Network network) {
    return reread(std::move(network), state.inputs, {});
}
Network searched(const BetaCovarianceState& state, Network network) {
    return reread(std::move(network), {}, state.inputs);
}

Network network_at(const BetaCovarianceState& state, const double* steps) {
    const CovarianceDistribution& d = state.distribution;
    std::vector<double> values(d.n);
    for (std::size_t i = 0; i < d.n; ++i) values[i] = d.mean[i] + d.sigma * steps[i];
    Network network = state.structure;
    set_parameters(network, values);
    return handed_out(state, std::move(network));
}

// The search's coordinates follow the statistics of the inputs seen as they change: each weight
// out of an input is searched on the scale it needs, and each bias as its node's value at the
// inputs' mean. The mean network computes what it did; the distribution keeps its shape, now
// over the new coordinates.
void move_inputs(BetaCovarianceState& state, InputTransform inputs) {
    state.structure = reread(std::move(state.structure), state.inputs, inputs);
    state.inputs = std::move(inputs);
    state.distribution.mean = parameters_of(state.structure);
}

// Whether carrying the mean over to new input coordinates moved a parameter further than the
// search's spread of it. A function's first generation is scored before any input is seen; where
// the inputs then turn out far from centred and scaled, the mean carried over would start a
// layered search with its hidden nodes saturated: the update is taken as made on the inputs as
// seen, the mean keeping its values. (Carried over, inputs offset by 50 or scaled by 100 left its
// fit of a smooth function 10 to 100 times worse after 200 generations.) Starting afresh instead
// would hand the first generation's mean, every parameter 0, over a second time.
bool moved_beyond_spread(const BetaCovarianceState& state, const std::vector<double>& before) {
    const CovarianceDistribution& d = state.distribution;
    for (std::size_t i = 0; i < d.n; ++i)
        if (std::abs(d.mean[i] - before[i]) > d.sigma * std::sqrt(covariance_variance(d, i)))
            return true;
    return false;
}

// The inputs centred and scaled by the statistics of those seen (a spread below 1e-4 counts as
// 1e-4, as in tessaron.gym).
InputTransform seen_transform(const InputStatistics& seen) {
    InputTransform inputs;
    for (std::size_t i = 0; i < seen.mean.size(); ++i) {
        const double spread = std::sqrt(seen.m2[i] / static_cast<double>(seen.count));
        inputs.shift.push_back(seen.mean[i]);
        inputs.scale.push_back(std::isfinite(spread) ? std::max(spread, 1e-4) : 1.0);
    }
    return inputs;
}

double loss_key(const std::vector<double>& row) {
    return std::isnan(row[0]) ? HUGE_VAL : row[0];
}

// The softmax's cross-entropy falls for ever as the weights grow on samples the outputs separate,
// and a search left to it ends with probabilities of all but 0 and 1. A penalty holds the weights
// back: the sum of their squares times 0.15 over the samples, a weight out of an input taken times
// that input's spread, so that the inputs' scales do not matter. That is three tenths of logistic
// regression's default penalty (C = 1), which left too little room for hidden nodes to pay.
double softmax_weight_penalty(const RunContext& context) {
    return context.softmax_loss && context.samples_per_score > 0
               ? 0.15 / static_cast<double>(context.samples_per_score)
               : 0.0;
}

// A network's loss, plus its weights' penalty where there is one.
double ranking_key(const BetaCovarianceState& state, const Network& network,
                   const std::vector<double>& row) {
    const double loss = loss_key(row);
    if (state.weight_penalty == 0.0) return loss;
    double squares = 0.0;
    for (std::int32_t from = 0; from < network.size; ++from) {
        const double scale = from < network.inputs ? scale_of(state.input_scales, from) : 1.0;
        for (std::int32_t e = network.out_begin(from); e < network.out_end(from); ++e) {
            const double weight = network.weights[e] * scale;
            squares += weight * weight;
        }
    }
    return loss + state.weight_penalty * squares;
}

// Generations without a gain before the search grows or restarts: as many as the distribution
// needs to learn the shape of its landscape.
std::int32_t patience(const BetaCovarianceState& state) {
    const CovarianceDistribution& d = state.distribution;
    return 10 + static_cast<std::int32_t>(
                    std::ceil(30.0 * static_cast<double>(d.n) / static_cast<double>(d.lambda)));
}

// A hidden node more, its weights in drawn on their natural scale, its weights out searched with
// the spread the outputs' weights have now.
void grow(BetaCovarianceState& state) {
    const Network& before = state.structure;
    const std::int32_t h = before.size - before.outputs;
    std::vector<double> into;
    for (std::int32_t from = 0; from < before.inputs; ++from) into.push_back(0.0);
    Network after = with_added_node(before, into);
    for (std::int32_t from = 0; from < before.inputs; ++from)
        after.link(from, h) =
            natural_scale(state, after, {from, h}) * state.draws.standard_normal();
    std::vector<std::int32_t> node_map(static_cast<std::size_t>(before.size));
    std::iota(node_map.begin(), node_map.end(), 0);
    for (std::int32_t i = h; i < before.size; ++i) node_map[i] = i + 1;
    const std::vector<std::ptrdiff_t> from_old = parameter_map(before, after, node_map);

    const CovarianceDistribution& d = state.distribution;
    const std::vector<ParameterKey> keys = parameter_keys(after);
    // How far the outputs' weights are spread now, against their natural scale.
    std::vector<double> shares;
    for (std::size_t i = 0; i < keys.size(); ++i)
        if (from_old[i] >= 0 && is_output(after, keys[i].to)) {
            const auto k = static_cast<std::size_t>(from_old[i]);
            shares.push_back(d.sigma * std::sqrt(covariance_variance(d, k)) /
                             natural_scale(state, after, keys[i]));
        }
    std::nth_element(shares.begin(), shares.begin() + shares.size() / 2, shares.end());
    const double output_share = shares.empty() ? 1.0 : shares[shares.size() / 2];
    const std::vector<double> values = parameters_of(after);
    std::vector<double> fresh_mean(keys.size(), 0.0), fresh_std(keys.size(), 1.0);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (from_old[i] >= 0) continue;
        const double share = is_output(after, keys[i].to) ? output_share : 1.0;
        fresh_mean[i] = values[i];
        fresh_std[i] = share * natural_scale(state, after, keys[i]) / d.sigma;
    }
    covariance_remap(state.distribution, from_old, fresh_mean, fresh_std);
    state.structure = std::move(after);
}

double recent_average(const BetaCovarianceState& state) {
    if (state.recent.size() < recent_window) return HUGE_VAL;
    return std::accumulate(state.recent.begin(), state.recent.end(), 0.0) /
           static_cast<double>(recent_window);
}

// The standard error of the mean's average loss over its latest generations: their spread over the
// square root of their count (0 until there are as many).
double recent_standard_error(const BetaCovarianceState& state, double average) {
    if (state.recent.size() < recent_window || !std::isfinite(average)) return 0.0;
    double squares = 0.0;
    for (const double loss : state.recent) squares += (loss - average) * (loss - average);
    return std::sqrt(squares / static_cast<double>(recent_window - 1)) /
           std::sqrt(static_cast<double>(recent_window));
}

// Before a restart: keeps the best so far where its recent losses beat those of what was kept.
void keep_era(BetaCovarianceState& state) {
    if (!state.noisy) return;
    const double average = recent_average(state);
    if (!state.earlier || average < state.earlier_average) {
        state.earlier = true;
        state.earlier_average = average;
    }
    state.recent.clear();
}

// Starts again from fresh weights with twice the population; the hidden nodes grown so far are
// kept, as the task was seen to need them.
void restart(BetaCovarianceState& state) {
    ++state.restarts;
    keep_era(state);
    const std::size_t lambda =
        std::min(state.distribution.lambda * 2, state.first_lambda * largest_population_factor);
    start_distribution(state, plain_structure(state, state.structure), lambda);
}

// A gain counts once it exceeds a thousandth of the loss, so that a search that only polishes its
// last digits is seen to stall. Under the softmax's cross-entropy over known samples, while the
// search may still grow, it must also be worth a nat of log-likelihood (samples * the fall > 1),
// what the growth test asks of a single parameter: a search gaining less over its patience polishes
// what more nodes would do better. One that may not grow polishes on to the optimum instead of
// restarting. (Under squared errors, samples * ln(loss before / loss now) > 1 helped some fits and
// hurt others.)
bool gains(const BetaCovarianceState& state, double now, double before) {
    if (std::isinf(before)) return now < before;
    if (!(now < before - (1e-3 * std::abs(before) + 1e-12))) return false;
    if (!state.softmax_loss || state.noisy || state.samples_per_score <= 0 ||
        hidden_nodes(state.structure) >= state.hidden_cap)
        return true;
    return static_cast<double>(state.samples_per_score) * (before - now) > 1.0;
}

// Whether the search stalls: no gain of the generation's best loss for `patience` generations
// (slow gains add up until they count). Where scores are noisy that best is partly luck, and one
// lucky episode would make a search that is still improving look stalled: a gain of the mean's
// average loss over its latest generations counts too. The mean's loss alone would not do: it
// stays flat where rewards are sparse while the search is still exploring. On a plateau that
// average sets new lows by chance alone; while a stall only brings in the hidden nodes, ending the
// search without them costs little, and there its gains count only beyond its standard error.
// (Later, a stall throws a search away, and a slow one is worth keeping.)
bool stalls(BetaCovarianceState& state, double generation_best) {
    if (gains(state, generation_best, state.best_watched)) {
        state.best_watched = generation_best;
        state.stale = 0;
    }
    const double average = recent_average(state);
    const double margin = hidden_nodes(state.structure) < state.hidden_cap
                              ? recent_standard_error(state, average)
                              : 0.0;
    if (state.noisy && gains(state, average + margin, state.recent_watched)) {
        state.recent_watched = average;
        state.stale = 0;
    }
    return ++state.stale > patience(state);
}

// Whether the nodes grown last paid for their parameters: the Bayesian information criterion for
// squared errors, samples * ln(loss before / loss now) > ln(samples) * parameters added. The
// softmax's cross-entropy is a mean negative log-likelihood, judged as such by Akaike's criterion
// (an estimate of the log-loss on new samples, which is what a classifier is judged by):
// samples * (loss before - loss now) > parameters added.
bool growth_paid(const BetaCovarianceState& state) {
    if (!state.best_before_growth || state.samples_per_score <= 0) return true;
    const double before =
        state.row_before_growth.empty() ? HUGE_VAL : loss_key(state.row_before_growth);
    const double now = loss_key(state.best_row);
    if (!(now < before)) return false;
    if (!(now > 0.0) || std::isinf(before)) return true;
    const double added = static_cast<double>(state.distribution.n - state.parameters_before_growth);
    const auto samples = static_cast<double>(state.samples_per_score);
    if (state.softmax_loss) return samples * (before - now) > added;
    return samples * std::log(before / now) > std::log(samples) * added;
}

// Grows hidden nodes or restarts where the search stalls.
void watch_progress(BetaCovarianceState& state, double generation_best) {
    const bool collapsed = covariance_largest_std(state.distribution) < 1e-12;
    if (!stalls(state, generation_best) && !collapsed) return;
    const std::int32_t hidden = hidden_nodes(state.structure);
    if (!state.noisy && !growth_paid(state)) {
        // What the grown nodes gained on the training samples is what as many free parameters
        // gain by fitting noise: back to the best before them, and no more growing.
        state.best = *state.best_before_growth;
        state.best_row = state.row_before_growth;
        state.hidden_cap = hidden_nodes(state.best);
        state.best_before_growth.reset();
        start_distribution(state, searched(state, state.best), state.distribution.lambda);
        return;
    }
    state.best_before_growth.reset();
    if (hidden < state.hidden_cap && !collapsed && state.noisy) {
        // Where scores are noisy, weights found without hidden nodes tend to saturate the outputs
        // (bold actions pay on many episodes), which leaves grown nodes nothing to add: the
        // search starts again, from fresh weights, with every hidden node it may have.
        ++state.restarts;
        keep_era(state);
        start_distribution(state,
                           plain_structure(state, with_every_hidden_node(state, state.structure)),
                           state.distribution.lambda);
        return;
    }
    if (hidden < state.hidden_cap && !collapsed) {
        state.best_before_growth = state.best;
        state.row_before_growth = state.best_row;
        state.parameters_before_growth = state.distribution.n;
        // The hidden nodes double (the first comes alone), so that a task needing many finds
        // them after a few stalls; the network computes what it did, and the search goes on.
        const std::int32_t more = std::min(std::max(hidden, 1), state.hidden_cap - hidden);
        for (std::int32_t k = 0; k < more; ++k) grow(state);
        state.stale = 0;
    } else {
        restart(state);
    }
}

void record(BetaCovarianceState& state, std::size_t index, ScoreRows& rows) {
    state.best = state.asked[index];
    state.best_row = rows[index];
}

// Where scores are noisy the generation's luckiest network is a poor pick: the mean is the
// search's own estimate of the best, and its recent losses say how good it is. The mean of a run
// that restarted is a fresh start for a while: the best is then the mean an earlier start ended
// with, until the new one's recent losses are as low. Returns whether the mean is the best.
bool mean_is_best(BetaCovarianceState& state, double mean_key) {
    state.recent.push_back(mean_key);
    if (state.recent.size() > recent_window) state.recent.erase(state.recent.begin());
    return !state.earlier || recent_average(state) <= state.earlier_average;
}

// Adopts the model's network when it beat everything the search's own start gave.
bool adopt_model(BetaCovarianceState& state, std::size_t model_index,
                 const std::vector<double>& keys) {
    for (std::size_t k = 0; k < model_index; ++k)
        if (!(keys[model_index] < keys[k])) return false;
    start_distribution(state, searched(state, state.asked[model_index]), state.distribution.lambda);
    return true;
}

}  // namespace

Network with_added_node(const Network& network, const std::vector<double>& into) {
    const std::int32_t h = network.size - network.outputs;
    const auto moved = [h](std::int32_t i) { return i < h ? i : i + 1; };
    std::vector<Link> links;
    for (std::int32_t from = 0; from < network.size; ++from)
        for_each_target(network, from, [&](std::int32_t to) {
            links.push_back({moved(from), moved(to), network.weight(from, to)});
        });
    for (std::int32_t from = 0; from < network.inputs; ++from)
        links.push_back({from, h, into[from]});
    for (std::int32_t o = 0; o < network.outputs; ++o) links.push_back({h, h + 1 + o, 0.0});
    Network grown = network;
    reset(grown, network.size + 1);
    for (std::int32_t i = 0; i < network.size; ++i) {
        grown.biases[moved(i)] = network.biases[i];
        grown.activations[moved(i)] = network.activations[i];
    }
    grown.biases[h] = 0.0;
    grown.activations[h] = tanh_kind;
    set_connections(grown, std::move(links));
    return grown;
}

BetaCovarianceState beta_covariance_start(const Network& start, const BetaSettings& settings,
                                          const RunContext& context) {
    BetaCovarianceState state;
    state.draws = start_beta_search(settings, context);
    state.sources = context.sources;
    state.first_sigma = step_size_or(settings, beta_covariance_default_step);
    state.init_scale = settings.init_scale;
    state.hidden_cap = std::max(settings.max_hidden, hidden_nodes(start));
    state.target_scales = context.target_scales;
    state.input_scales = context.input_scales;
    state.follow_inputs = context.input_scales.empty();
    state.first_lambda = static_cast<std::size_t>(std::max(context.pop_size - 1, 2));
    state.samples_per_score = context.samples_per_score;
    state.softmax_loss = context.softmax_loss;
    state.weight_penalty = softmax_weight_penalty(context);
    if (settings.keep_model) state.model = start;
    state.noisy = settings.reevaluate || !context.repeatable_scores;
    state.layered = state.noisy && context.target_scales.empty();
    // A function's search (a layered one) starts with every hidden node it may have. A search
    // without hidden nodes first, where the restart that brings them in came only once it stalled,
    // spent four times the steps on MountainCar and twice as many on the continuous lander; with
    // the outputs reading the inputs too, the tasks a linear network solves lose little.
    const Network first = state.layered ? with_every_hidden_node(state, start) : start;
    start_distribution(state, plain_structure(state, first), state.first_lambda);
    state.best = state.structure;
    return state;
}

const std::vector<Network>& beta_covariance_ask(BetaCovarianceState& state) {
    const CovarianceDistribution& d = state.distribution;
    covariance_sample(d, d.lambda, state.draws.engine, state.draws.normal, state.steps);
    state.asked.clear();
    for (std::size_t k = 0; k < d.lambda; ++k)
        state.asked.push_back(network_at(state, &state.steps[k * d.n]));
    state.asked.push_back(handed_out(state, state.structure));
    state.model_asked = state.model.has_value();
    if (state.model_asked) state.asked.push_back(*state.model);
    return state.asked;
}

bool beta_covariance_tell(BetaCovarianceState& state, ScoreRows rows) {
    check_score_rows(state.asked.size(), rows);
    const std::size_t lambda = state.distribution.lambda, n = state.distribution.n;
    const std::size_t mean_index = lambda;
    const std::size_t model_index = lambda + 1;

    std::vector<double> keys;
    for (std::size_t k = 0; k < rows.size(); ++k)
        keys.push_back(ranking_key(state, state.asked[k], rows[k]));
    std::vector<std::size_t> order(lambda);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
    std::vector<double> ranked(lambda * n);
    for (std::size_t k = 0; k < lambda; ++k)
        std::copy_n(&state.steps[order[k] * n], n, &ranked[k * n]);

    // The generation's best among the samples, the mean and the model's network.
    std::size_t best = mean_index;
    if (keys[order[0]] < keys[mean_index]) best = order[0];
    if (state.model_asked && keys[model_index] < keys[best]) best = model_index;
    bool found = false;
    for (const std::vector<double>& row : rows) found = found || row[0] < no_loss_yet;

    const bool improves =
        state.best_row.empty() || keys[best] < ranking_key(state, state.best, state.best_row);
    const bool mean_best = state.noisy && mean_is_best(state, keys[mean_index]);
    if (!state.noisy && improves) record(state, best, rows);
    const double generation_best = keys[best];
    covariance_update(state.distribution, ranked);
    set_parameters(state.structure, state.distribution.mean);
    if (state.moved) {
        state.moved = false;
        const bool first = state.inputs.empty();
        const std::vector<double> before = first ? state.distribution.mean : std::vector<double>{};
        move_inputs(state, seen_transform(state.seen));
        if (first && layered(state, state.structure) && moved_beyond_spread(state, before)) {
            state.distribution.mean = before;
            set_parameters(state.structure, before);
        }
    }
    const bool adopted = state.model_asked && adopt_model(state, model_index, keys);
    state.model.reset();
    // The mean is reported as it now is, one update ahead of the mean just scored (whose loss
    // stands for it): the search's latest estimate. Where the search starts from the model's
    // network, that network is reported with its own loss.
    if (adopted && state.noisy) {
        record(state, model_index, rows);
    } else if (mean_best) {
        state.best = handed_out(state, state.structure);
        state.best_row = rows[mean_index];
    }
    watch_progress(state, generation_best);
    return found;
}

void beta_covariance_observe_inputs(BetaCovarianceState& state, const InputStatistics& seen) {
    if (!state.follow_inputs || seen.count == 0 ||
        seen.mean.size() != static_cast<std::size_t>(state.structure.inputs))
        return;
    merge_input_statistics(state.seen, seen);
    state.moved = true;
}

BestMember beta_covariance_best(const BetaCovarianceState& state) {
    return {state.best, state.best_row.empty() ? no_score_row() : state.best_row};
}

SearchFigures beta_covariance_figures(const BetaCovarianceState& state) {
    return {{"sigma", state.distribution.sigma},
            {"samples", static_cast<double>(state.distribution.lambda)},
            {"hidden_nodes", static_cast<double>(hidden_nodes(state.structure))},
            {"restarts", static_cast<double>(state.restarts)},
            {"noisy", state.noisy ? 1.0 : 0.0}};
}

void check_beta_covariance_run(const BetaSettings&, std::int32_t pop_size) {
    if (pop_size < 2)
        throw InvalidData("the covariance search needs a pop_size of at least 2, got " +
                          std::to_string(pop_size));
}

std::unique_ptr<Optimizer> make_beta_covariance(const BetaSettings& settings) {
    return std::make_unique<BetaSearchOptimizer<
        BetaCovarianceState, beta_covariance_start, beta_covariance_ask, beta_covariance_tell,
        beta_covariance_figures, beta_covariance_best, beta_covariance_observe_inputs>>(settings);
}

}  // namespace tessaron
