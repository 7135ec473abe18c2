#include "evolution/optimizers/beta_members.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace tessaron {
namespace {

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

// Row i of a member scored once more: the new scores averaged in, the loss's squared deviations
// gathered.
void average_in(BetaMembers& members, std::size_t i, const std::vector<double>& fresh) {
    std::vector<double>& row = members.rows[i];
    const double n = members.scored[i];
    const double old_mean = row[0];
    for (std::size_t k = 0; k < row.size(); ++k) row[k] = (row[k] * n + fresh[k]) / (n + 1);
    members.scatter[i] += (fresh[0] - old_mean) * (fresh[0] - row[0]);
    ++members.scored[i];
}

}  // namespace

BetaDraws start_beta_search(const BetaSettings& settings, const RunContext& context) {
    check_beta_settings(settings);
    check_beta_run(settings, context.pop_size);
    RandomSources& sources = *context.sources;
    sources.engine_seeds.discard(1);
    const std::uint32_t high = sources.engine_seed();
    const std::uint32_t low = sources.engine_seed();
    BetaDraws draws;
    draws.engine.seed((std::uint64_t{high} << 32) | low);
    return draws;
}

BetaMembers beta_members(std::vector<Network> population) {
    BetaMembers members;
    const std::size_t p = population.size();
    members.population = std::move(population);
    members.rows.assign(p, {});
    members.scored.assign(p, 0);
    members.scatter.assign(p, 0.0);
    members.best = members.population.front();
    return members;
}

void forget_scores(BetaMembers& members, std::size_t i) {
    members.rows[i].clear();
    members.scored[i] = 0;
    members.scatter[i] = 0.0;
}

const std::vector<Network>& hand_over(BetaMembers& members, bool rescore_all) {
    // Moved out and back rather than copied.
    members.pending.clear();
    members.handed.clear();
    for (std::size_t i = 0; i < members.population.size(); ++i)
        if (rescore_all || members.rows[i].empty()) members.pending.push_back(i);
    members.handed.reserve(members.pending.size());
    for (std::size_t i : members.pending)
        members.handed.push_back(std::move(members.population[i]));
    return members.handed;
}

void take_scores(BetaMembers& members, ScoreRows rows, bool average) {
    const std::vector<std::size_t>& pending = members.pending;
    for (std::size_t j = 0; j < pending.size(); ++j)
        members.population[pending[j]] = std::move(members.handed[j]);
    members.handed.clear();
    check_score_rows(pending.size(), rows);
    for (std::size_t j = 0; j < pending.size(); ++j) {
        const std::size_t i = pending[j];
        if (average && members.scored[i] > 0 && members.rows[i].size() == rows[j].size()) {
            average_in(members, i, rows[j]);
        } else {
            members.rows[i] = std::move(rows[j]);
            members.scored[i] = 1;
            members.scatter[i] = 0.0;
        }
    }
}

// Averaged losses drawn toward the population's mean, the more the fewer scores they average
// (the best linear estimate of each member's true loss): a newcomer's single lucky score no
// longer outranks a member whose long average is as good. The noise comes from the spread of
// re-scored members' losses, the members' own spread from that of the averages beyond it.
std::vector<double> shrunk_losses(const BetaMembers& members) {
    std::vector<double> losses = first_column(members.rows);
    double scatter = 0.0, degrees = 0.0, sum = 0.0, count = 0.0;
    for (std::size_t i = 0; i < losses.size(); ++i) {
        if (!std::isfinite(losses[i]) || !std::isfinite(members.scatter[i])) continue;
        scatter += members.scatter[i];
        degrees += members.scored[i] - 1;
        sum += losses[i];
        count += 1.0;
    }
    if (degrees < 1.0 || count < 2.0) return losses;
    const double noise = scatter / degrees;
    if (!(noise > 0.0) || !std::isfinite(noise)) return losses;  // scores without noise
    const double mean = sum / count;
    double spread = 0.0, noise_share = 0.0;
    for (std::size_t i = 0; i < losses.size(); ++i) {
        if (!std::isfinite(losses[i]) || !std::isfinite(members.scatter[i])) continue;
        spread += (losses[i] - mean) * (losses[i] - mean);
        noise_share += noise / members.scored[i];
    }
    if (!std::isfinite(spread)) return losses;
    const double between = std::max((spread - noise_share) / count, 1e-3 * noise);
    for (std::size_t i = 0; i < losses.size(); ++i) {
        if (!std::isfinite(losses[i])) continue;
        const double own_noise = noise / members.scored[i];
        losses[i] = mean + between / (between + own_noise) * (losses[i] - mean);
    }
    return losses;
}

std::vector<double> ranking_keys(const BetaMembers& members, double size_penalty, bool average) {
    const std::vector<double> losses =
        average ? shrunk_losses(members) : first_column(members.rows);
    std::vector<double> keys(losses.size());
    for (std::size_t i = 0; i < keys.size(); ++i)
        keys[i] = ranking_key(losses[i], members.population[i], size_penalty);
    return keys;
}

void reorder(BetaMembers& members, const std::vector<std::size_t>& order) {
    permute(members.population, order);
    permute(members.rows, order);
    permute(members.scored, order);
    permute(members.scatter, order);
}

BestMember best_of(const BetaMembers& members) {
    if (members.best_index < 0) return {members.best, no_score_row()};
    return {members.best, members.rows[members.best_index]};
}

bool record_best(BetaMembers& members) {
    const double loss = members.rows[0][0];
    const bool found = loss < no_loss_yet;
    if (found || members.best_index < 0) {
        members.best = members.population[0];
        members.best_index = 0;
        members.best_loss = loss;
    }
    return found;
}

std::int32_t hidden_nodes(const Network& network) {
    return network.size - network.inputs - network.outputs;
}

double beta_complexity(const Network& network) {
    return static_cast<double>(hidden_nodes(network)) +
           static_cast<double>(connection_count(network));
}

std::vector<double> output_steps(double step_size, std::int32_t outputs,
                                 const std::vector<double>& target_scales) {
    std::vector<double> steps(static_cast<std::size_t>(outputs), step_size);
    for (std::size_t o = 0; o < steps.size() && o < target_scales.size(); ++o)
        if (std::isfinite(target_scales[o]) && target_scales[o] > 0.0) steps[o] *= target_scales[o];
    return steps;
}

std::vector<double> node_steps(const Network& network, double step_size,
                               const std::vector<double>& outputs) {
    std::vector<double> steps(static_cast<std::size_t>(network.size - network.inputs), step_size);
    std::copy(outputs.begin(), outputs.end(), steps.end() - network.outputs);
    return steps;
}

}  // namespace tessaron
