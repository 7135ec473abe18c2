// Conversion between numpy arrays and sample tables.
#pragma once

#include "module/py_ref.hpp"
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

}  // namespace tessaron
