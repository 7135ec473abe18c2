// What a generation costs as networks grow: sparse chains of growing length, or every allowed
// connection of a network without hidden nodes (an image-sized input layer, say). Prints the
// generation rate, the split into scoring and breeding, the time per connection and sample, and
// the bytes a network takes.
// Usage: scaling_bench chain|full inputs outputs nodes batch pop_size generations threads seed
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>

#include "common/thread_pool.hpp"
#include "evolution/losses.hpp"
#include "evolution/optimizers/alpha.hpp"
#include "network/network.hpp"
#include "network/random_sources.hpp"

using namespace tessaron;
using Clock = std::chrono::steady_clock;

namespace {

// Random biases and kinds; a chain keeps only the connections i -> i + 1 (the first input and
// the last hidden node feeding every output), with standard normal weights.
Network start_network(bool chain, int inputs, int outputs, int nodes) {
    Network network(inputs, outputs);
    reset(network, nodes);
    randomise(network);
    if (!chain) return network;
    std::vector<Link> links;
    std::mt19937 engine(11);
    std::normal_distribution<double> normal(0.0, 1.0);
    const int last_hidden = nodes - outputs - 1;
    for (int i = 0; i < inputs; ++i)
        links.push_back({i, std::min(inputs, nodes - outputs), normal(engine)});
    for (int i = inputs; i < last_hidden; ++i) links.push_back({i, i + 1, normal(engine)});
    for (int o = nodes - outputs; o < nodes && last_hidden >= inputs; ++o)
        links.push_back({last_hidden, o, normal(engine)});
    set_connections(network, std::move(links));
    return network;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 10) {
        std::fprintf(stderr,
                     "usage: %s chain|full inputs outputs nodes batch pop_size generations "
                     "threads seed\n",
                     argv[0]);
        return 2;
    }
    const bool chain = std::strcmp(argv[1], "chain") == 0;
    const int inputs = std::atoi(argv[2]), outputs = std::atoi(argv[3]), nodes = std::atoi(argv[4]);
    const int batch = std::atoi(argv[5]), pop_size = std::atoi(argv[6]);
    const int generations = std::atoi(argv[7]);
    set_thread_count(std::max(1, std::atoi(argv[8])));
    seed_everything(std::strtoull(argv[9], nullptr, 10));

    SampleMatrix x(batch, inputs), y(batch, outputs);
    std::mt19937 engine(7);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    for (int i = 0; i < batch; ++i) {
        double sum = 0;
        for (int j = 0; j < inputs; ++j) sum += (x.row(i)[j] = uniform(engine));
        for (int o = 0; o < outputs; ++o) y.row(i)[o] = std::sin(sum + o);
    }
    const Network start = start_network(chain, inputs, outputs, nodes);
    const std::vector<std::int32_t> losses{mse};

    double scoring = 0, connection_samples = 0, bytes = 0;
    long scored = 0;
    const ScoreFunction score = [&](const std::vector<Network>& pool) {
        const auto begin = Clock::now();
        ScoreRows rows = evaluate_population(pool, all_rows(x, y), losses);
        scoring += std::chrono::duration<double>(Clock::now() - begin).count();
        for (const Network& network : pool) {
            connection_samples += static_cast<double>(connection_count(network)) * batch;
            bytes += static_cast<double>(network_bytes(network));
            ++scored;
        }
        return rows;
    };
    PopulationState state = initial_population(start, pop_size);
    const auto begin = Clock::now();
    const std::clock_t cpu_begin = std::clock();
    for (int g = 0; g < generations; ++g) next_generation(state, score);
    const double total = std::chrono::duration<double>(Clock::now() - begin).count();
    const double cpu = static_cast<double>(std::clock() - cpu_begin) / CLOCKS_PER_SEC;

    std::printf(
        "%s, %d inputs, %d outputs, %d nodes, %zu connections at the start; batch %d, "
        "pop %d, %d threads, %d generations\n",
        chain ? "chain" : "full", inputs, outputs, nodes, connection_count(start), batch, pop_size,
        thread_count(), generations);
    // Processor time leaves out the slices that other programs take on a shared machine: with
    // the threads kept busy, generations per processor-second times the threads is the rate
    // that an otherwise idle machine would give.
    std::printf(
        "  %.2f generations/s; %.2f per processor-second x threads; scoring %.1f%%, "
        "breeding %.1f%%; %.3f ns per connection-sample; %.0f bytes per network\n",
        generations / total, generations / cpu * thread_count(), 100 * scoring / total,
        100 * (total - scoring) / total, 1e9 * total / connection_samples,
        bytes / static_cast<double>(scored));
    return 0;
}
