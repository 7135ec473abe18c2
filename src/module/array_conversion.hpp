// Conversion between numpy arrays and sample tables.
#pragma once

#include <cstddef>
#include <cstdint>

#include "module/py_ref.hpp"
#include "network/sample_layout.hpp"
#include "network/sample_matrix.hpp"

namespace tessaron {

// Copies a numpy array of any numeric dtype, layout and byte order into a table of doubles. A
// one-dimensional array gives one value per row. `name` is the argument's name in messages.
// Arrays of no or of more than two dimensions are refused with ValueError.
SampleMatrix to_sample_matrix(PyArrayObject* array, const char* name);

// Converts any object numpy can turn into an array (list, scalar, array) the same way.
SampleMatrix object_to_sample_matrix(PyObject* object, const char* name);

// A new zero-filled, C-ordered float64 array of shape (rows, cols).
PyRef new_result_array(npy_intp rows, npy_intp cols);

// A new C-ordered float64 array of the given shape, left unfilled: for results that are written
// whole.
PyRef new_unfilled_array(int dimensions, const npy_intp* shape);

// Native, aligned float64 values: what the kernels can read where it lies, given suitable strides.
bool holds_native_doubles(PyArrayObject* array);

// Rows of doubles taken from a numpy array for the length of one call, as to_sample_matrix gives
// them: row i starts at data + i * stride and holds `cols` adjacent values.
//
// Native, aligned float64 whose values within a row are adjacent and whose rows lie a whole,
// non-negative number of doubles apart is read where it lies; anything else is copied by
// to_sample_matrix. An array read in place is held (one reference) until this object goes: work
// that runs without the interpreter lock can then see it neither freed nor resized (numpy refuses
// to resize an array referenced from elsewhere). A write into it by another thread meanwhile is
// that thread's race, as with numpy's own functions, which read arrays without the lock too.
struct SampleRows {
    const double* data = nullptr;
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    std::size_t stride = 0;  // doubles from one row to the next
    PyRef held;              // the array read in place
    SampleMatrix copy;       // or the copy that is read

    SampleRows() = default;
    SampleRows(const SampleRows&) = delete;
    SampleRows& operator=(const SampleRows&) = delete;
    SampleRows(SampleRows&&) = default;  // a moved vector keeps its buffer, so data stays valid
    SampleRows& operator=(SampleRows&&) = default;

    const double* row(std::int32_t i) const { return data + static_cast<std::size_t>(i) * stride; }
};

// `packed`: read in place only when the rows lie exactly `cols` values apart.
SampleRows read_sample_rows(PyArrayObject* array, const char* name, bool packed = false);

// Issues a RuntimeWarning naming `name` and the first value of the rows that is NaN or infinite,
// if any. Throws PythonError when the warning is turned into an exception.
void warn_non_finite(const SampleRows& rows, const char* name);

}  // namespace tessaron
