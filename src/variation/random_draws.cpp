#include "variation/random_draws.hpp"

#include <cmath>
#include <string>

#include "common/errors.hpp"
#include "network/rand_range.hpp"
#include "network/random.hpp"

namespace tessaron {

int random_int(int low, int high) {
    if (low > high)
        throw InvalidData("random_int needs low <= high, got low " + std::to_string(low) +
                          " and high " + std::to_string(high));
    seed_structure_draws_once();
    const std::int64_t span = std::int64_t{high} - low;  // up to 2^32 - 1
    const std::uint64_t offset =
        reduced_below(static_cast<std::uint64_t>(span) + 1, rand_radix, rand_draw);
    return static_cast<int>(low + static_cast<std::int64_t>(offset));
}

namespace {

// The fresh draws of one thread: an engine, and the normal distribution that keeps the second
// deviate of each pair it generates for the next call.
struct FreshDraws {
    Mt19937 engine;
    std::normal_distribution<double> standard{0.0, 1.0};
    std::uint64_t generation = no_generation;
};

FreshDraws& fresh_draws() {
    thread_local FreshDraws draws;
    if (refresh_thread_engine(draws.engine, draws.generation, 1)) draws.standard.reset();
    return draws;
}

}  // namespace

Mt19937& fresh_engine() {
    return fresh_draws().engine;
}

double unit_from_words(std::uint32_t r1, std::uint32_t r2) {
    const double c =
        (static_cast<double>(r1) + static_cast<double>(r2) * 4294967296.0) / 18446744073709551616.0;
    // Values within 2^10 of 2^64 round up to 2^64 itself.
    return c < 1.0 ? c : std::nextafter(1.0, 0.0);
}

double scale_unit(double c, double low, double high) {
    const double value = low + c * (high - low);
    return (value >= high && high > low) ? std::nextafter(high, low) : value;
}

double fresh_uniform(double low, double high) {
    Mt19937& engine = fresh_engine();
    const auto r1 = static_cast<std::uint32_t>(engine());
    const auto r2 = static_cast<std::uint32_t>(engine());
    return scale_unit(unit_from_words(r1, r2), low, high);
}

double fresh_normal(double mean, double stddev) {
    if (stddev == 0.0) return mean;
    // The standard deviate scaled as the library's own normal distribution scales it.
    FreshDraws& draws = fresh_draws();
    return draws.standard(draws.engine) * stddev + mean;
}

}  // namespace tessaron
