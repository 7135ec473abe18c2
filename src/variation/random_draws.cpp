#include "variation/random_draws.hpp"

#include <cmath>
#include <string>

#include "common/errors.hpp"
#include "network/rand_range.hpp"

namespace tessaron {

int random_int(int low, int high, RandState& rand) {
    if (low > high)
        throw InvalidData("random_int needs low <= high, got low " + std::to_string(low) +
                          " and high " + std::to_string(high));
    const std::int64_t span = std::int64_t{high} - low;  // up to 2^32 - 1
    const std::uint64_t offset =
        reduced_below(static_cast<std::uint64_t>(span) + 1, rand_radix, rand);
    return static_cast<int>(low + static_cast<std::int64_t>(offset));
}

double scale_unit(double c, double low, double high) {
    const double value = low + c * (high - low);
    return (value >= high && high > low) ? std::nextafter(high, low) : value;
}

double fresh_uniform(double low, double high, FreshDraws& fresh) {
    return scale_unit(fresh.unit(), low, high);
}

double fresh_normal(double mean, double stddev, FreshDraws& fresh) {
    return fresh.normal(mean, stddev);
}

}  // namespace tessaron
