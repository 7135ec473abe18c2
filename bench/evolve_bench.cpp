// One generation's cost split into scoring and breeding (crossover, mutation, pool, selection,
// copies), for the dataset loop's scoring on a batch.
// Usage: evolve_bench [inputs nodes batch pop_size generations threads seed]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "common/thread_pool.hpp"
#include "evolution/losses.hpp"
#include "evolution/optimizers/alpha.hpp"
#include "network/network.hpp"
#include "network/random_sources.hpp"

using namespace tessaron;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    const int inputs = argc > 1 ? std::atoi(argv[1]) : 2;
    const int nodes = argc > 2 ? std::atoi(argv[2]) : 20;
    const int batch = argc > 3 ? std::atoi(argv[3]) : 256;
    const int pop_size = argc > 4 ? std::atoi(argv[4]) : 100;
    const int generations = argc > 5 ? std::atoi(argv[5]) : 200;
    if (argc > 6) set_thread_count(std::max(1, std::atoi(argv[6])));
    const int threads = thread_count();
    // With a seed, runs repeat exactly, whatever the number of threads.
    if (argc > 7) seed_everything(std::strtoull(argv[7], nullptr, 10));

    SampleMatrix x(batch, inputs), y(batch, 1);
    std::mt19937 engine(7);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    for (int i = 0; i < batch; ++i) {
        double sum = 0;
        for (int j = 0; j < inputs; ++j) sum += (x.row(i)[j] = uniform(engine));
        y.row(i)[0] = std::sin(sum);
    }
    Network start(inputs, 1);
    reset(start, nodes);
    randomise(start);
    const std::vector<std::int32_t> losses{mse};

    double scoring = 0;
    std::size_t scored_connections = 0;
    const ScoreFunction score = [&](const std::vector<Network>& pool) {
        const auto begin = Clock::now();
        ScoreRows rows = evaluate_population(pool, all_rows(x, y), losses);
        scoring += std::chrono::duration<double>(Clock::now() - begin).count();
        for (const Network& network : pool) scored_connections += connection_count(network);
        return rows;
    };
    PopulationState state = initial_population(start, pop_size);
    const auto begin = Clock::now();
    for (int g = 0; g < generations; ++g) next_generation(state, score);
    const double total = std::chrono::duration<double>(Clock::now() - begin).count();

    std::printf(
        "inputs %d, start nodes %d, batch %d, pop %d, %d scoring threads: %d generations, "
        "best size %d\n",
        inputs, nodes, batch, pop_size, threads, generations, state.best.size);
    std::printf(
        "  %.1f generations/s; scoring %.1f%%, breeding %.1f%% of a generation; "
        "%.2f G connection-updates/s while scoring\n",
        generations / total, 100 * scoring / total, 100 * (total - scoring) / total,
        scored_connections * static_cast<double>(batch) / scoring / 1e9);
    return 0;
}
