#include "evolution/optimizers/alpha.hpp"

#include <cmath>
#include <numeric>
#include <string>
#include <utility>

#include "common/errors.hpp"
#include "network/shuffle.hpp"
#include "variation/crossover.hpp"
#include "variation/mutate.hpp"

namespace tessaron {
namespace {

// Whether `challenger` beats `winner` in a tournament: a strictly lower loss, and any number
// beats a NaN.
bool beats(double challenger, double winner) {
    return winner > challenger || (std::isnan(winner) && !std::isnan(challenger));
}

// Crossover picks the fitter parent by these: the latest loss, NaN counting as the worst.
double fitness_of(const std::vector<double>& row) {
    const double loss = row.empty() ? std::nan("") : row[0];
    return std::isnan(loss) ? HUGE_VAL : loss;
}

// Tournaments in groups of four over the pool of parents and children leave as many survivors as
// there were parents only when their count is even.
void check_population_size(std::int64_t pop_size) {
    if (pop_size < 2 || pop_size % 2 != 0)
        throw InvalidData("pop_size must be an even number of at least 2, got " +
                          std::to_string(pop_size));
}

// target = source, engine included, in the target's arrays where they are large enough.
void copy_network(Network& target, const Network& source) {
    NetworkEngine engine(source.engine);
    assign_arrays(target, source);
    target.engine = std::move(engine);
}

// The survivors in the order they won, with their rows: a member that wins twice is copied for
// its first win and moved for its last; those that won nothing leave their arrays to the next
// generation's offspring.
void survive(PopulationState& state, const std::vector<std::int32_t>& winners, ScoreRows& rows,
             RandomSources& sources) {
    std::vector<Network>& pool = state.pool;
    std::vector<std::int32_t> wins_left(pool.size(), 0);
    for (std::int32_t w : winners) ++wins_left[w];
    state.spares.clear();
    for (std::size_t i = 0; i < pool.size(); ++i)
        if (wins_left[i] == 0) state.spares.push_back(std::move(pool[i]));
    std::vector<Network> survivors;
    ScoreRows kept;
    survivors.reserve(winners.size());
    kept.reserve(winners.size());
    for (std::int32_t w : winners) {
        if (--wins_left[w] == 0) {
            survivors.push_back(std::move(pool[w]));
            kept.push_back(std::move(rows[w]));
        } else {
            // A copy with a fresh engine, in a spare's arrays when one is left.
            survivors.push_back(take_spare(state.spares, sources));
            assign_arrays(survivors.back(), pool[w]);
            kept.push_back(rows[w]);
        }
    }
    state.population = std::move(survivors);
    state.rows = std::move(kept);
    for (std::size_t i = 0; i < state.population.size(); ++i)
        state.fitness[i] = fitness_of(state.rows[i]);
}

// The first member with the lowest loss below no_loss_yet becomes the best; true when there is
// one.
bool choose_best(PopulationState& state) {
    double running = no_loss_yet;
    std::int32_t found = -1;
    for (std::size_t i = 0; i < state.rows.size(); ++i) {
        if (state.rows[i][0] < running) {
            running = state.rows[i][0];
            found = static_cast<std::int32_t>(i);
        }
    }
    if (found >= 0) {
        copy_network(state.best, state.population[found]);
        state.best_index = found;
        state.best_loss = running;
    } else if (state.best_index < 0) {
        // No member has a usable loss in the very first generation: member 0 stands in, so that
        // the best index is never unset afterwards.
        copy_network(state.best, state.population[0]);
        state.best_index = 0;
        state.best_loss = state.rows[0][0];
    }
    return found >= 0;
}

class Alpha final : public Optimizer {
  public:
    void start(const Network& start, const RunContext& context) override {
        sources_ = context.sources;
        state_ = initial_population(start, context.pop_size, *sources_);
    }
    const std::vector<Network>& ask() override { return alpha_ask(state_, *sources_); }
    bool tell(ScoreRows rows) override { return alpha_tell(state_, std::move(rows), *sources_); }
    BestMember best() const override {
        if (state_.best_index < 0) return {state_.best, no_score_row()};
        return {state_.best, state_.rows[state_.best_index]};
    }

  private:
    PopulationState state_;
    RandomSources* sources_ = nullptr;
};

}  // namespace

PopulationState initial_population(const Network& network, std::int32_t pop_size,
                                   RandomSources& sources) {
    check_population_size(pop_size);
    if (network.size == 0) throw InvalidData("the network to evolve has no nodes");
    // Runs have always drawn an engine seed here, for a best network that member 0 replaces below;
    // the draw stays so that seeded runs keep their figures.
    sources.engine_seeds.discard(1);
    PopulationState state;
    state.population.reserve(static_cast<std::size_t>(pop_size));
    state.population.push_back(copy_with_fresh_engine(network, sources));
    for (std::int32_t i = 1; i < pop_size; ++i) {
        Network member = copy_with_fresh_engine(network, sources);
        mutate(member, sources);
        state.population.push_back(std::move(member));
    }
    state.best = state.population.front();
    state.fitness.assign(static_cast<std::size_t>(pop_size), 0.0);
    return state;
}

std::vector<std::int32_t> select_survivors(const ScoreRows& rows, RandState& rand) {
    const std::size_t n = rows.size();
    std::vector<std::int32_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::vector<std::size_t> permutation;
    std::vector<std::int32_t> winners;
    winners.reserve(n / 2);
    for (int pass = 0; pass < 2; ++pass) {
        // Shuffling the pool's indices draws and applies the permutation exactly as shuffling
        // the pool with its rows would, without moving any network.
        draw_permutation(n, permutation, rand);
        apply_permutation(permutation,
                          [&](std::size_t i, std::size_t j) { std::swap(order[i], order[j]); });
        for (std::size_t group = 0; group + 4 <= n; group += 4) {
            std::int32_t winner = order[group];
            for (std::size_t m = group + 1; m < group + 4; ++m)
                if (beats(rows[order[m]][0], rows[winner][0])) winner = order[m];
            winners.push_back(winner);
        }
    }
    return winners;
}

const std::vector<Network>& alpha_ask(PopulationState& state, RandomSources& sources) {
    check_population_size(static_cast<std::int64_t>(state.population.size()));
    if (state.fitness.size() != state.population.size())
        throw InvalidData("the population has " + std::to_string(state.population.size()) +
                          " members but " + std::to_string(state.fitness.size()) +
                          " fitness values");
    bool parents_valid = state.members_valid;
    state.members_valid = false;
    std::vector<Network> children =
        crossover(state.population, state.fitness, state.spares, parents_valid, sources);
    for (Network& child : children) mutate(child, sources);
    // Every member passes the test once selected if the parents did: the offspring were tested
    // as they were made and after every change of their structure.
    state.members_valid = parents_valid;

    // The pool takes the parents and the children over, alternating.
    const std::size_t p = state.population.size();
    state.pool.clear();
    state.pool.reserve(2 * p);
    for (std::size_t i = 0; i < p; ++i) {
        state.pool.push_back(std::move(state.population[i]));
        state.pool.push_back(std::move(children[i]));
    }
    return state.pool;
}

bool alpha_tell(PopulationState& state, ScoreRows rows, RandomSources& sources) {
    const bool parents_valid = state.members_valid;
    state.members_valid = false;
    check_score_rows(state.pool.size(), rows);
    survive(state, select_survivors(rows, sources.rand), rows, sources);
    state.members_valid = parents_valid;
    return choose_best(state);
}

bool next_generation(PopulationState& state, const ScoreFunction& score, RandomSources& sources) {
    const std::vector<Network>& pool = alpha_ask(state, sources);
    return alpha_tell(state, score(pool), sources);
}

std::unique_ptr<Optimizer> make_alpha() {
    return std::make_unique<Alpha>();
}

}  // namespace tessaron
