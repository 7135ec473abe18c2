// Cost of the variation operators: fresh draws (against an engine built per draw), one mutate
// call, one crossover of a population, and the shuffle of a sample table.
// Usage: variation_bench [inputs outputs hidden pop_size rows]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "network/network.hpp"
#include "network/shuffle.hpp"
#include "variation/crossover.hpp"
#include "variation/mutate.hpp"
#include "variation/random_draws.hpp"

#include "timing.hpp"

using namespace tessaron;

int main(int argc, char** argv) {
    const int inputs = argc > 1 ? std::atoi(argv[1]) : 8;
    const int outputs = argc > 2 ? std::atoi(argv[2]) : 1;
    const int hidden = argc > 3 ? std::atoi(argv[3]) : 24;
    const int pop_size = argc > 4 ? std::atoi(argv[4]) : 100;
    const int rows = argc > 5 ? std::atoi(argv[5]) : 100000;

    double sink = 0;
    const int draws = 200000;
    const double fresh = best_seconds(
        [&] {
            for (int i = 0; i < draws; ++i) sink += fresh_uniform(0.0, 1.0);
        },
        3);
    const int built_draws = 2000;
    const double built = best_seconds(
        [&] {
            std::random_device device;
            for (int i = 0; i < built_draws; ++i) {
                std::mt19937 engine(device());
                sink += engine();
            }
        },
        3);
    std::printf("fresh draw, per-thread engine: %8.1f ns/draw\n", 1e9 * fresh / draws);
    std::printf("fresh draw, engine per draw  : %8.1f ns/draw\n", 1e9 * built / built_draws);

    Network base(inputs, outputs);
    reset(base, inputs + outputs + hidden);
    randomise(base);
    std::vector<Network> copies(200, base);
    const double mutating = best_seconds(
        [&] {
            for (Network& network : copies) mutate(network);
        },
        3);
    std::printf("network: %d inputs, %d outputs, %d hidden, %zu connections\n", inputs, outputs,
                hidden, connection_count(base));
    std::printf("mutate                       : %8.2f us/call\n", 1e6 * mutating / copies.size());

    std::vector<Network> population(static_cast<std::size_t>(pop_size), base);
    std::vector<double> scores(static_cast<std::size_t>(pop_size), 0.0);
    std::size_t children = 0;
    const double crossing =
        best_seconds([&] { children += crossover(population, scores).size(); }, 5);
    std::printf("crossover of %d              : %8.2f ms/generation (%.2f us/child)\n", pop_size,
                1e3 * crossing, 1e6 * crossing / pop_size);

    SampleMatrix x(rows, inputs), y(rows, outputs);
    const double shuffling = best_seconds([&] { shuffle_together(x, y); }, 5);
    std::printf("shuffle of %d rows           : %8.2f ms\n", rows, 1e3 * shuffling);
    std::printf("(checksum %g, %zu children)\n", sink, children);
    return 0;
}
