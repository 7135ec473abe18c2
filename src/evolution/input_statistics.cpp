#include "evolution/input_statistics.hpp"

#include <cmath>

namespace tessaron {

void add_input_rows(InputStatistics& statistics, const double* x, std::size_t stride,
                    std::int32_t rows, std::int32_t inputs) {
    const auto n = static_cast<std::size_t>(inputs);
    if (statistics.mean.size() != n) {
        if (statistics.count > 0) return;  // rows of another width than those counted
        statistics.mean.assign(n, 0.0);
        statistics.m2.assign(n, 0.0);
    }
    for (std::int32_t r = 0; r < rows; ++r) {
        const double* row = x + static_cast<std::size_t>(r) * stride;
        bool finite = true;
        for (std::size_t i = 0; i < n; ++i) finite = finite && std::isfinite(row[i]);
        if (!finite) continue;
        ++statistics.count;
        const double share = 1.0 / static_cast<double>(statistics.count);
        for (std::size_t i = 0; i < n; ++i) {
            const double delta = row[i] - statistics.mean[i];
            statistics.mean[i] += delta * share;
            statistics.m2[i] += delta * (row[i] - statistics.mean[i]);
        }
    }
}

void merge_input_statistics(InputStatistics& into, const InputStatistics& other) {
    if (other.count == 0) return;
    if (into.count == 0) {
        into = other;
        return;
    }
    if (into.mean.size() != other.mean.size()) return;
    const auto a = static_cast<double>(into.count), b = static_cast<double>(other.count);
    for (std::size_t i = 0; i < into.mean.size(); ++i) {
        const double delta = other.mean[i] - into.mean[i];
        into.mean[i] += delta * (b / (a + b));
        into.m2[i] += other.m2[i] + delta * delta * (a * b / (a + b));
    }
    into.count += other.count;
}

}  // namespace tessaron
