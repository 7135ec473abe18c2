// Timing shared by the C++ benchmarks.
#pragma once

#include <chrono>

// The shortest of `repeats` wall-clock timings of work(), in seconds.
template <class Work>
double best_seconds(Work&& work, int repeats) {
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        work();
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        if (elapsed.count() < best) best = elapsed.count();
    }
    return best;
}
