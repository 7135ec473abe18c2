// The run loop with each search: a run draws only from the sources it is given, two runs on two
// threads at once get what each gets alone (the ThreadSanitizer build runs this file), and a
// start that fails the integrity test is refused before anything happens.
#include "evolution/run_loop.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "common/errors.hpp"
#include "evolution/dataset_evolution.hpp"
#include "evolution/function_evolution.hpp"
#include "evolution/optimizers/alpha.hpp"
#include "evolution/optimizers/beta_searches.hpp"
#include "network_builders.hpp"

namespace tessaron {
namespace {

// Alpha, and every registered search of Beta.
std::vector<std::string> optimizer_names() {
    std::vector<std::string> names{"alpha"};
    for (const BetaSearch& search : beta_searches()) names.emplace_back(search.name);
    return names;
}

std::unique_ptr<Optimizer> optimizer_named(const std::string& name) {
    if (name == "alpha") return make_alpha();
    BetaSettings settings;
    settings.search = name;
    settings.structure_rate = 0.5;
    return make_beta(settings, 8);
}

struct Outcome {
    RunResult dataset;
    RunResult function;
};

// A network of 2 inputs, 2 hidden nodes and 1 output, the same in every test.
Network start_network() {
    RandState rand(7);
    Network start(2, 1, NetworkEngine(7));
    reset(start, 5);
    randomise(start, rand);
    return start;
}

// A dataset run (two batches) and a function run, one after the other, from `sources`.
Outcome run_both(const std::string& name, RandomSources& sources) {
    const Network start = start_network();
    DatasetEvolution data;
    data.pop_size = 8;
    data.epochs = 3;
    data.batch_size = 6;
    data.verbose = 0;
    data.losses = {mse};
    data.x = SampleMatrix(12, 2);
    data.y = SampleMatrix(12, 1);
    for (std::int32_t i = 0; i < 12; ++i) {
        data.x.row(i)[0] = 0.1 * i;
        data.x.row(i)[1] = std::sin(i);
        data.y.row(i)[0] = data.x.row(i)[0] * data.x.row(i)[1];
    }
    RunResult dataset =
        run_dataset_evolution(start, data, *optimizer_named(name), [] {}, {}, sources);
    FunctionEvolution function;
    function.pop_size = 8;
    function.epochs = 3;
    function.verbose = 0;
    const ScoreFunction score = [](const std::vector<Network>& pool) {
        ScoreRows rows;
        for (const Network& network : pool)
            rows.push_back({std::fabs(network.biases.back() - 0.5)});
        return rows;
    };
    return {std::move(dataset),
            run_function_evolution(
                start, function, *optimizer_named(name), score, {}, [] {}, {}, sources)};
}

void expect_same(const RunResult& a, const RunResult& b) {
    testing::expect_same_network(a.best, b.best);
    ASSERT_EQ(a.epochs.size(), b.epochs.size());
    for (std::size_t e = 0; e < a.epochs.size(); ++e)
        EXPECT_EQ(a.epochs[e].losses, b.epochs[e].losses) << "epoch " << e;
}

RandomSources seeded(std::uint64_t value) {
    RandomSources sources;
    seed_sources(sources, value);
    return sources;
}

class RunLoop : public ::testing::TestWithParam<std::string> {};

// Sources of the run's own give what the thread's own give from the same seed, and leave the
// thread's own untouched.
TEST_P(RunLoop, DrawsOnlyFromTheSourcesItIsGiven) {
    seed_everything(31);
    const Outcome on_thread = run_both(GetParam(), thread_random_sources());
    seed_everything(32);
    RandomSources before = thread_random_sources();
    RandomSources own = seeded(31);
    const Outcome given = run_both(GetParam(), own);
    expect_same(given.dataset, on_thread.dataset);
    expect_same(given.function, on_thread.function);
    RandomSources& after = thread_random_sources();
    EXPECT_EQ(after.rand(), before.rand());
    EXPECT_EQ(after.engine_seed(), before.engine_seed());
    EXPECT_EQ(after.fresh.unit(), before.fresh.unit());
}

TEST_P(RunLoop, TwoThreadsGetWhatEachGetsAlone) {
    RandomSources first = seeded(41), second = seeded(42);
    const Outcome first_alone = run_both(GetParam(), first);
    const Outcome second_alone = run_both(GetParam(), second);
    first = seeded(41);
    second = seeded(42);
    std::optional<Outcome> second_together;
    std::thread other([&] { second_together.emplace(run_both(GetParam(), second)); });
    const Outcome first_together = run_both(GetParam(), first);
    other.join();
    expect_same(first_together.dataset, first_alone.dataset);
    expect_same(first_together.function, first_alone.function);
    expect_same(second_together->dataset, second_alone.dataset);
    expect_same(second_together->function, second_alone.function);
}

TEST_P(RunLoop, RefusesAStartThatFailsTheIntegrityTest) {
    // Hidden node 2 has no incoming connection.
    const Network start = testing::build_network(2, 1, 4, {{0, 3, 1}, {1, 3, 1}, {2, 3, 1}});
    FunctionEvolution run;
    run.pop_size = 8;
    run.verbose = 0;
    int scored = 0;
    const ScoreFunction score = [&](const std::vector<Network>& pool) {
        ++scored;
        return ScoreRows(pool.size(), std::vector<double>{1.0});
    };
    RandomSources sources = seeded(5);
    const RandomSources untouched = sources;
    try {
        run_function_evolution(
            start, run, *optimizer_named(GetParam()), score, {}, [] {}, {}, sources);
        ADD_FAILURE() << "no exception";
    } catch (const InvalidData& error) {
        EXPECT_STREQ(
            error.what(),
            "the network to evolve is not valid: hidden node 2 has no incoming connection");
    }
    EXPECT_EQ(scored, 0);
    EXPECT_EQ(sources.engine_seeds, untouched.engine_seeds);
}

INSTANTIATE_TEST_SUITE_P(EverySearch, RunLoop, ::testing::ValuesIn(optimizer_names()));

}  // namespace
}  // namespace tessaron
