// Throughput of the one-sample forward pass against the block kernel on the same network.
// Usage: forward_bench [inputs outputs hidden samples]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "network/forward.hpp"

#include "timing.hpp"

using namespace tessaron;

int main(int argc, char** argv) {
    const int inputs = argc > 1 ? std::atoi(argv[1]) : 8;
    const int outputs = argc > 2 ? std::atoi(argv[2]) : 1;
    const int hidden = argc > 3 ? std::atoi(argv[3]) : 24;
    const int samples = argc > 4 ? std::atoi(argv[4]) : 100000;

    Network network(inputs, outputs);
    reset(network, inputs + outputs + hidden);
    randomise(network);
    // KIND=0..3 gives every node that activation kind, to see its share of the cost.
    if (const char* kind = std::getenv("KIND"))
        for (auto& k : network.activations) k = std::atoi(kind);
    const double connections = static_cast<double>(connection_count(network));

    SampleMatrix x(samples, inputs);
    std::mt19937 engine(1);
    std::normal_distribution<double> normal;
    for (double& v : x.values) v = normal(engine);
    std::vector<double> out(static_cast<std::size_t>(samples) * outputs);

    double checksum = 0;
    const double single = best_seconds(
        [&] {
            for (int i = 0; i < samples; ++i) checksum += forward(network, x.row(i))[0];
        },
        3);
    ForwardScratch scratch;
    const double block = best_seconds([&] { forward_rows(network, x, out.data(), scratch); }, 5);
    checksum += out[0];

    std::printf("network: %d inputs, %d outputs, %d hidden, %.0f connections; %d samples\n", inputs,
                outputs, hidden, connections, samples);
    std::printf("one-sample path : %12.0f samples/s %14.0f connection-updates/s\n",
                samples / single, samples * connections / single);
    std::printf("block kernel    : %12.0f samples/s %14.0f connection-updates/s\n", samples / block,
                samples * connections / block);
    std::printf("block / one-sample: %.1fx   (checksum %g)\n", single / block, checksum);
    return 0;
}
