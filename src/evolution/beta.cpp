#include "evolution/beta.hpp"

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

constexpr std::int32_t activation_kinds = 4;
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

double standard_normal(BetaDraws& draws) {
    return draws.normal(draws.engine);
}

// Uniform in 0 .. count-1 (count >= 1).
std::int32_t index_below(std::size_t count, BetaDraws& draws) {
    return static_cast<std::int32_t>(
        std::uniform_int_distribution<std::size_t>(0, count - 1)(draws.engine));
}

bool chance(double probability, BetaDraws& draws) {
    return std::uniform_real_distribution<double>(0.0, 1.0)(draws.engine) < probability;
}

std::int32_t hidden_nodes(const Network& network) {
    return network.size - network.inputs - network.outputs;
}

struct Connection {
    std::int32_t from;
    std::int32_t to;
};

std::vector<Connection> existing_connections(const Network& network) {
    std::vector<Connection> found;
    for (std::int32_t from = 0; from < network.size; ++from)
        for_each_target(network, from, [&](std::int32_t to) { found.push_back({from, to}); });
    return found;
}

// Splits a random connection a -> b into a -> h -> b: a -> h keeps the old weight, h -> b has
// weight 1, h has bias 0 and a random kind, so the path starts close to what it replaced.
void grow_node(Network& network, std::vector<double>& steps, BetaDraws& draws) {
    const std::vector<Connection> candidates = existing_connections(network);
    if (candidates.empty()) return;
    const Connection split = candidates[index_below(candidates.size(), draws)];
    const double old_weight = network.weight(split.from, split.to);
    const auto kind = index_below(activation_kinds, draws);
    insert_node(network, split.from, split.to, 0.0, kind);
    const std::int32_t h = std::max(split.from + 1, network.inputs);
    set_weight(network, split.from, h, old_weight);
    set_weight(network, h, split.to + 1, 1.0);
    // The new node starts with the step size of the node it feeds.
    const double step = steps[split.to - network.inputs];
    steps.insert(steps.begin() + (h - network.inputs), step);
}

void add_random_connection(Network& network, const std::vector<double>& steps, BetaDraws& draws) {
    std::vector<Connection> candidates;
    for (std::int32_t from = 0; from < network.size - network.outputs; ++from)
        for (std::int32_t to = std::max(from + 1, network.inputs); to < network.size; ++to)
            if (!network.connected(from, to)) candidates.push_back({from, to});
    if (candidates.empty()) return;
    const Connection added = candidates[index_below(candidates.size(), draws)];
    connect(network, added.from, added.to);
    set_weight(network, added.from, added.to,
               steps[added.to - network.inputs] * standard_normal(draws));
}

// Removes a random connection whose source keeps another target and whose target keeps another
// source, so the network stays valid.
void remove_random_connection(Network& network, BetaDraws& draws) {
    std::vector<std::int32_t> outgoing(static_cast<std::size_t>(network.size), 0);
    std::vector<std::int32_t> incoming(static_cast<std::size_t>(network.size), 0);
    const std::vector<Connection> all = existing_connections(network);
    for (const Connection& c : all) {
        ++outgoing[c.from];
        ++incoming[c.to];
    }
    std::vector<Connection> candidates;
    for (const Connection& c : all)
        if (outgoing[c.from] >= 2 && incoming[c.to] >= 2) candidates.push_back(c);
    if (candidates.empty()) return;
    const Connection removed = candidates[index_below(candidates.size(), draws)];
    disconnect(network, removed.from, removed.to);
}

void change_structure(Network& network, std::vector<double>& steps, std::int32_t hidden_cap,
                      BetaDraws& draws, RandomSources& sources) {
    switch (index_below(4, draws)) {
        case 0:
            if (hidden_nodes(network) < hidden_cap) grow_node(network, steps, draws);
            break;
        case 1:
            if (hidden_nodes(network) > 0) {
                const std::int32_t d = network.inputs + index_below(hidden_nodes(network), draws);
                beta_remove_node(network, d, sources);
                steps.erase(steps.begin() + (d - network.inputs));
            }
            break;
        case 2:
            add_random_connection(network, steps, draws);
            break;
        default:
            remove_random_connection(network, draws);
            break;
    }
}

// The ranking key: the loss, made a little worse for every hidden node and connection; a loss
// that is not a number ranks last.
double ranking_key(double loss, const Network& network, double size_penalty) {
    if (std::isnan(loss)) return HUGE_VAL;
    if (!std::isfinite(loss)) return loss;
    return loss + size_penalty * std::fabs(loss) * beta_complexity(network);
}

std::vector<double> first_column(const ScoreRows& rows) {
    std::vector<double> column;
    for (const std::vector<double>& row : rows) column.push_back(row[0]);
    return column;
}

template <class T>
void permute(std::vector<T>& items, const std::vector<std::size_t>& order) {
    std::vector<T> sorted;
    sorted.reserve(items.size());
    for (std::size_t i : order) sorted.push_back(std::move(items[i]));
    items = std::move(sorted);
}

}  // namespace

// Averaged losses drawn toward the population's mean, the more the fewer scores they average
// (the best linear estimate of each member's true loss): a newcomer's single lucky score no
// longer outranks a member whose long average is as good. The noise comes from the spread of
// re-scored members' losses, the members' own spread from that of the averages beyond it.
std::vector<double> beta_shrunk_losses(const BetaState& state) {
    std::vector<double> losses = first_column(state.rows);
    double scatter = 0.0, degrees = 0.0, sum = 0.0, count = 0.0;
    for (std::size_t i = 0; i < losses.size(); ++i) {
        if (!std::isfinite(losses[i]) || !std::isfinite(state.scatter[i])) continue;
        scatter += state.scatter[i];
        degrees += state.scored[i] - 1;
        sum += losses[i];
        count += 1.0;
    }
    if (degrees < 1.0 || count < 2.0) return losses;
    const double noise = scatter / degrees;
    if (!(noise > 0.0) || !std::isfinite(noise)) return losses;  // scores without noise
    const double mean = sum / count;
    double spread = 0.0, noise_share = 0.0;
    for (std::size_t i = 0; i < losses.size(); ++i) {
        if (!std::isfinite(losses[i]) || !std::isfinite(state.scatter[i])) continue;
        spread += (losses[i] - mean) * (losses[i] - mean);
        noise_share += noise / state.scored[i];
    }
    if (!std::isfinite(spread)) return losses;
    const double between = std::max((spread - noise_share) / count, 1e-3 * noise);
    for (std::size_t i = 0; i < losses.size(); ++i) {
        if (!std::isfinite(losses[i])) continue;
        const double own_noise = noise / state.scored[i];
        losses[i] = mean + between / (between + own_noise) * (losses[i] - mean);
    }
    return losses;
}

double beta_complexity(const Network& network) {
    return static_cast<double>(hidden_nodes(network)) +
           static_cast<double>(connection_count(network));
}

Network beta_random_network(const Network& like, double init_scale,
                            const std::vector<double>& output_scales, BetaDraws& draws,
                            RandomSources& sources) {
    Network network(like.inputs, like.outputs, NetworkEngine(sources.engine_seed()));
    reset(network, like.size);
    const std::int32_t sources_end = network.size - network.outputs;
    for (std::int32_t i = 0; i < network.size; ++i) {
        network.activations[i] = index_below(activation_kinds, draws);
        if (i >= network.inputs)
            network.biases[i] = (i < sources_end ? init_scale : output_scales[i - sources_end]) *
                                standard_normal(draws);
    }
    for (std::int32_t to = network.inputs; to < network.size; ++to) {
        const std::int32_t fan_in = std::min(to, sources_end);
        const double scale = (to < sources_end ? init_scale : output_scales[to - sources_end]) /
                             std::sqrt(static_cast<double>(std::max(fan_in, 1)));
        for (std::int32_t from = 0; from < fan_in; ++from) {
            connect(network, from, to);
            set_weight(network, from, to, scale * standard_normal(draws));
        }
    }
    return network;
}

Network beta_plain_network(const Network& like, RandomSources& sources) {
    Network network(like.inputs, like.outputs, NetworkEngine(sources.engine_seed()));
    reset(network, like.size);
    const std::int32_t sources_end = network.size - network.outputs;
    for (std::int32_t i = 0; i < network.size; ++i)
        network.activations[i] = i >= network.inputs && i < sources_end ? tanh_kind : linear;
    for (std::int32_t to = network.inputs; to < network.size; ++to)
        for (std::int32_t from = 0; from < std::min(to, sources_end); ++from)
            set_weight(network, from, to, 0.0);
    return network;
}

void beta_remove_node(Network& network, std::int32_t d, RandomSources& random) {
    Network smaller(network.inputs, network.outputs, NetworkEngine(random.engine_seed()));
    reset(smaller, network.size - 1);
    auto moved = [d](std::int32_t i) { return i < d ? i : i - 1; };
    for (std::int32_t i = 0; i < network.size; ++i) {
        if (i == d) continue;
        smaller.biases[moved(i)] = network.biases[i];
        smaller.activations[moved(i)] = network.activations[i];
    }
    std::vector<Connection> sources, targets;
    for (std::int32_t from = 0; from < network.size; ++from) {
        for_each_target(network, from, [&](std::int32_t to) {
            if (to == d) {
                sources.push_back({from, to});
            } else if (from == d) {
                targets.push_back({from, to});
            } else {
                connect(smaller, moved(from), moved(to));
                set_weight(smaller, moved(from), moved(to), network.weight(from, to));
            }
        });
    }
    for (const Connection& in : sources) {
        for (const Connection& out : targets) {
            const double bridge = network.weight(in.from, d) * network.weight(d, out.to);
            const std::int32_t to = moved(out.to);
            if (smaller.connected(in.from, to)) {
                set_weight(smaller, in.from, to, smaller.weight(in.from, to) + bridge);
            } else {
                connect(smaller, in.from, to);
                set_weight(smaller, in.from, to, bridge);
            }
        }
    }
    network = std::move(smaller);
}

void beta_mutate(Network& child, std::vector<double>& steps, const BetaSettings& settings,
                 std::int32_t hidden_cap, BetaDraws& draws, const std::vector<double>& floors,
                 RandomSources& sources) {
    // Log-normal self-adaptation with one factor shared by the whole network and one per node,
    // at the usual rates 1/sqrt(2n) and 1/sqrt(2 sqrt(n)) for n step sizes, kept moderate for
    // the smallest networks.
    const double n = static_cast<double>(std::max<std::size_t>(steps.size(), 1));
    const double shared_rate = std::clamp(1.0 / std::sqrt(2.0 * n), 0.05, 0.3);
    const double own_rate = std::clamp(1.0 / std::sqrt(2.0 * std::sqrt(n)), 0.05, 0.3);
    const double shared = shared_rate * standard_normal(draws);
    const std::size_t first_output = steps.size() - static_cast<std::size_t>(child.outputs);
    for (std::size_t k = 0; k < steps.size(); ++k) {
        const double floor = floors.empty() ? beta_smallest_step
                                            : floors[k < first_output ? 0 : 1 + k - first_output];
        steps[k] = std::clamp(steps[k] * std::exp(shared + own_rate * standard_normal(draws)),
                              floor, beta_largest_step);
    }
    const std::int32_t inputs = child.inputs;
    for (std::int32_t i = inputs; i < child.size; ++i)
        child.biases[i] += steps[i - inputs] * standard_normal(draws);
    for (std::int32_t from = 0; from < child.size; ++from)
        for_each_target(child, from, [&](std::int32_t to) {
            set_weight(child, from, to,
                       child.weight(from, to) + steps[to - inputs] * standard_normal(draws));
        });
    if (chance(settings.structure_rate, draws)) {
        change_structure(child, steps, hidden_cap, draws, sources);
        if (!is_valid(child)) throw IntegrityError("Beta broke a network");
    }
    if (child.size > inputs && chance(activation_change_rate, draws)) {
        const std::int32_t node = inputs + index_below(child.size - inputs, draws);
        child.activations[node] = index_below(activation_kinds, draws);
    }
}

BetaState beta_initial_population(const Network& start, std::int32_t pop_size,
                                  const BetaSettings& settings,
                                  const std::vector<double>& target_scales,
                                  RandomSources& sources) {
    // Runs have always drawn an engine seed here, for a best network that member 0 replaces below;
    // the draw stays so that seeded runs keep their figures.
    sources.engine_seeds.discard(1);
    BetaState state;
    state.settings = settings;
    state.sources = &sources;
    const std::uint32_t high = sources.engine_seed();
    const std::uint32_t low = sources.engine_seed();
    state.draws.engine.seed((std::uint64_t{high} << 32) | low);
    state.hidden_cap = std::max(settings.max_hidden, hidden_nodes(start));
    // Outputs start, and step, on the scale of their targets.
    std::vector<double> output_steps(static_cast<std::size_t>(start.outputs), settings.step_size);
    for (std::size_t o = 0; o < output_steps.size() && o < target_scales.size(); ++o)
        if (std::isfinite(target_scales[o]) && target_scales[o] > 0.0)
            output_steps[o] *= target_scales[o];
    const auto p = static_cast<std::size_t>(pop_size);
    state.population.reserve(p);
    if (settings.search == BetaSearch::gradient) {
        // One centre; the first generation replaces the other places by its perturbations.
        state.population.assign(p, settings.keep_model ? start : beta_plain_network(start, sources));
    } else {
        for (std::size_t i = 0; i < p; ++i) {
            if (i == 0 && settings.keep_model)
                state.population.push_back(start);
            else
                state.population.push_back(
                    beta_random_network(start, settings.init_scale, output_steps, state.draws,
                                        sources));
        }
    }
    for (const Network& member : state.population) {
        std::vector<double> steps(static_cast<std::size_t>(member.size - member.inputs),
                                  settings.step_size);
        std::copy(output_steps.begin(), output_steps.end(), steps.end() - member.outputs);
        state.steps.push_back(std::move(steps));
    }
    if (settings.reevaluate) {
        auto floor_of = [](double start) {
            return std::clamp(noisy_step_floor * start, beta_smallest_step, beta_largest_step);
        };
        state.step_floors.push_back(floor_of(settings.step_size));
        for (const double step : output_steps) state.step_floors.push_back(floor_of(step));
    }
    state.rows.assign(p, {});
    state.scored.assign(p, 0);
    state.scatter.assign(p, 0.0);
    state.best = state.population.front();
    return state;
}

void beta_score_members(BetaState& state, const ScoreFunction& score, bool rescore_all,
                        bool average) {
    // Only the members without a score are handed over (all of them when asked to re-score),
    // moved out and back rather than copied.
    const std::size_t p = state.population.size();
    std::vector<std::size_t> pending;
    for (std::size_t i = 0; i < p; ++i)
        if (rescore_all || state.rows[i].empty()) pending.push_back(i);
    if (pending.empty()) return;
    std::vector<Network> batch;
    batch.reserve(pending.size());
    for (std::size_t i : pending) batch.push_back(std::move(state.population[i]));
    ScoreRows fresh = score(batch);
    for (std::size_t j = 0; j < pending.size(); ++j) {
        const std::size_t i = pending[j];
        state.population[i] = std::move(batch[j]);
        std::vector<double>& row = state.rows[i];
        if (average && state.scored[i] > 0 && row.size() == fresh[j].size()) {
            const double n = state.scored[i];
            const double old_mean = row[0];
            for (std::size_t k = 0; k < row.size(); ++k)
                row[k] = (row[k] * n + fresh[j][k]) / (n + 1);
            state.scatter[i] += (fresh[j][0] - old_mean) * (fresh[j][0] - row[0]);
            ++state.scored[i];
        } else {
            row = std::move(fresh[j]);
            state.scored[i] = 1;
            state.scatter[i] = 0.0;
        }
    }
}

std::vector<double> beta_ranking_keys(const BetaState& state, bool average) {
    const std::vector<double> losses =
        average ? beta_shrunk_losses(state) : first_column(state.rows);
    std::vector<double> keys(losses.size());
    for (std::size_t i = 0; i < keys.size(); ++i)
        keys[i] = ranking_key(losses[i], state.population[i], state.settings.size_penalty);
    return keys;
}

void beta_reorder(BetaState& state, const std::vector<std::size_t>& order) {
    permute(state.population, order);
    permute(state.steps, order);
    permute(state.rows, order);
    permute(state.scored, order);
    permute(state.scatter, order);
}

bool beta_record_best(BetaState& state) {
    const double loss = state.rows[0][0];
    const bool found = loss < no_loss_yet;
    if (found || state.best_index < 0) {
        state.best = state.population[0];
        state.best_index = 0;
        state.best_loss = loss;
    }
    return found;
}

bool beta_next_generation(BetaState& state, const ScoreFunction& score, bool rescore_all,
                          bool average) {
    const std::size_t p = state.population.size();
    const BetaSettings& settings = state.settings;
    if (settings.search == BetaSearch::gradient)
        return beta_gradient_generation(state, score, rescore_all, average);
    if (state.best_index >= 0) {
        // Elites stay as they are, scores included; every other place gets a child of one of the
        // best members.
        const std::size_t elites =
            std::min(static_cast<std::size_t>(std::max(settings.elites, 0)), p);
        const std::size_t parents = std::clamp<std::size_t>(
            static_cast<std::size_t>(std::ceil(settings.parent_fraction * static_cast<double>(p))),
            1, p);
        std::vector<Network> children;
        std::vector<std::vector<double>> child_steps;
        children.reserve(p - elites);
        child_steps.reserve(p - elites);
        for (std::size_t k = elites; k < p; ++k) {
            const std::int32_t parent = index_below(parents, state.draws);
            Network child(state.population[parent]);
            std::vector<double> steps = state.steps[parent];
            beta_mutate(child, steps, settings, state.hidden_cap, state.draws, state.step_floors,
                        *state.sources);
            child_steps.push_back(std::move(steps));
            children.push_back(std::move(child));
        }
        for (std::size_t k = elites; k < p; ++k) {
            state.population[k] = std::move(children[k - elites]);
            state.steps[k] = std::move(child_steps[k - elites]);
            state.rows[k].clear();
            state.scored[k] = 0;
            state.scatter[k] = 0.0;
        }
    }

    beta_score_members(state, score, rescore_all, average);
    const std::vector<double> keys = beta_ranking_keys(state, average);
    std::vector<double> complexity(p);
    for (std::size_t i = 0; i < p; ++i) complexity[i] = beta_complexity(state.population[i]);
    std::vector<std::size_t> order(p);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (keys[a] != keys[b]) return keys[a] < keys[b];
        return complexity[a] < complexity[b];
    });
    beta_reorder(state, order);

    // A search that has not improved for a while widens its steps again, to leave the basin it
    // has settled in. Only where scores are kept: re-scored members (noisy fitness, another batch)
    // rarely match the luckiest score seen so far, and widening on that would make the steps grow
    // without end.
    if (rescore_all) {
        state.stale = 0;
    } else if (keys[order[0]] < state.best_key) {
        state.best_key = keys[order[0]];
        state.stale = 0;
    } else if (++state.stale >= stale_generations) {
        state.stale = 0;
        for (std::vector<double>& steps : state.steps)
            for (double& step : steps) step = std::min(step * stale_widening, beta_largest_step);
    }

    return beta_record_best(state);
}

}  // namespace tessaron
