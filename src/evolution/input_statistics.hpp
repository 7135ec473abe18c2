// The values networks are given to predict, input by input: a transformation of them, and the
// count, mean and spread of those seen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessaron {

// The transformation (x - shift) / scale of each input x; empty: none (the inputs as they are).
struct InputTransform {
    std::vector<double> shift, scale;
    bool empty() const { return shift.empty(); }
    bool operator==(const InputTransform& other) const = default;
};

struct InputStatistics {
    std::int64_t count = 0;    // rows added (rows with a value that is not finite are left out)
    std::vector<double> mean;  // per input
    std::vector<double> m2;    // per input, the sum of squared deviations from the mean
};

// Adds `rows` rows of `inputs` values, row r at x + r * stride.
void add_input_rows(InputStatistics& statistics, const double* x, std::size_t stride,
                    std::int32_t rows, std::int32_t inputs);

// Adds what `other` holds (the parallel update of Chan, Golub and LeVeque).
void merge_input_statistics(InputStatistics& into, const InputStatistics& other);

}  // namespace tessaron
