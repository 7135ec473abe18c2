// Where the values of a table given from outside lie: which layouts the kernels read in place,
// the copy of any other, and the first value that is not finite.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "network/sample_matrix.hpp"

namespace tessaron {

// A table of doubles as an array library describes it: value (i, j) lies at byte
// i * row_stride + j * col_stride from the first. Strides may be negative or zero.
struct ArrayLayout {
    std::int64_t rows = 0;
    std::int64_t cols = 0;
    std::int64_t row_stride = 0;
    std::int64_t col_stride = 0;
};

// Refuses (InvalidData, naming the table `name`) tables of more rows or columns than the 32-bit
// counts of a SampleMatrix hold.
void check_table_shape(const char* name, std::int64_t rows, std::int64_t cols);

// The distance in doubles from one row to the next when aligned doubles laid out this way can be
// read where they lie: the values of a row adjacent, the rows a whole, non-negative number of
// doubles apart (exactly `cols` when `packed`). Rows may overlap or coincide. None for an empty
// table and for any other layout, which must be copied.
std::optional<std::size_t> in_place_stride(const ArrayLayout& layout, bool packed);

// The values of a table of doubles laid out this way (shape already checked), row by row.
SampleMatrix copy_table(const unsigned char* data, const ArrayLayout& layout);

struct TableCell {
    std::int32_t row;
    std::int32_t col;
};

// The first value, in row order, of `rows` rows of `cols` values, row i starting at
// data + i * stride, that is NaN or infinite.
std::optional<TableCell> first_non_finite(const double* data, std::int32_t rows, std::int32_t cols,
                                          std::size_t stride);

// "nan", "inf" or "-inf" for a value that is not finite.
const char* non_finite_name(double value);

}  // namespace tessaron
