// A table of samples: one row of doubles per sample, stored row-major in one block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessaron {

struct SampleMatrix {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    std::vector<double> values;  // rows * cols, row-major

    SampleMatrix() = default;
    SampleMatrix(std::int32_t rows, std::int32_t cols)
        : rows(rows), cols(cols), values(static_cast<std::size_t>(rows) * cols) {}

    double* row(std::int32_t i) { return values.data() + static_cast<std::size_t>(i) * cols; }
    const double* row(std::int32_t i) const {
        return values.data() + static_cast<std::size_t>(i) * cols;
    }
};

}  // namespace tessaron
