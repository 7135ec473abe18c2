#include "network/sample_layout.hpp"

#include <cmath>
#include <cstring>
#include <limits>

#include "common/errors.hpp"

namespace tessaron {

void check_table_shape(const char* name, std::int64_t rows, std::int64_t cols) {
    constexpr std::int64_t limit = std::numeric_limits<std::int32_t>::max();
    if (rows > limit || cols > limit)
        throw InvalidData(std::string(name) + " has shape (" + std::to_string(rows) + ", " +
                          std::to_string(cols) + "); at most " + std::to_string(limit) +
                          " rows and columns are supported");
}

std::optional<std::size_t> in_place_stride(const ArrayLayout& layout, bool packed) {
    constexpr std::int64_t value_bytes = sizeof(double);
    if (layout.rows < 1 || layout.cols < 1) return std::nullopt;
    // A single row's stride is never stepped, whatever was recorded for it.
    const std::int64_t row_stride =
        layout.rows == 1 ? layout.cols * value_bytes : layout.row_stride;
    const bool adjacent = layout.col_stride == value_bytes || layout.cols == 1;
    const bool whole = row_stride >= 0 && row_stride % value_bytes == 0 &&
                       row_stride / value_bytes <= std::numeric_limits<std::int32_t>::max();
    const std::int64_t stride = row_stride / value_bytes;
    if (!adjacent || !whole || (packed && stride != layout.cols)) return std::nullopt;
    return static_cast<std::size_t>(stride);
}

SampleMatrix copy_table(const unsigned char* data, const ArrayLayout& layout) {
    SampleMatrix matrix(static_cast<std::int32_t>(layout.rows),
                        static_cast<std::int32_t>(layout.cols));
    double* out = matrix.values.data();
    const std::int64_t rows = layout.rows, cols = layout.cols;
    if (rows > 0 && cols > 0 && layout.col_stride == sizeof(double) &&
        layout.row_stride == cols * static_cast<std::int64_t>(sizeof(double))) {
        std::memcpy(out, data, static_cast<std::size_t>(rows * cols) * sizeof(double));
        return matrix;
    }
    for (std::int64_t i = 0; i < rows; ++i)
        for (std::int64_t j = 0; j < cols; ++j)
            std::memcpy(out++, data + i * layout.row_stride + j * layout.col_stride,
                        sizeof(double));
    return matrix;
}

std::optional<TableCell> first_non_finite(const double* data, std::int32_t rows, std::int32_t cols,
                                          std::size_t stride) {
    for (std::int32_t i = 0; i < rows; ++i) {
        const double* row = data + static_cast<std::size_t>(i) * stride;
        for (std::int32_t j = 0; j < cols; ++j)
            if (!std::isfinite(row[j])) return TableCell{i, j};
    }
    return std::nullopt;
}

const char* non_finite_name(double value) {
    if (std::isnan(value)) return "nan";
    return value > 0 ? "inf" : "-inf";
}

}  // namespace tessaron
