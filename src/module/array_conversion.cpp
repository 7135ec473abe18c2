#include "module/array_conversion.hpp"

#include <cstring>
#include <limits>
#include <utility>

namespace tessaron {

namespace {

// Refuses what to_sample_matrix refuses, and gives the table's rows and columns.
std::pair<npy_intp, npy_intp> table_shape(PyArrayObject* array, const char* name) {
    const int dimensions = PyArray_NDIM(array);
    if (dimensions < 1 || dimensions > 2)
        raise_format(PyExc_ValueError, "%s must have 1 or 2 dimensions, got %d", name, dimensions);
    const npy_intp rows = PyArray_DIM(array, 0);
    const npy_intp cols = dimensions == 2 ? PyArray_DIM(array, 1) : 1;
    constexpr npy_intp limit = std::numeric_limits<std::int32_t>::max();
    if (rows > limit || cols > limit)
        raise_format(PyExc_ValueError,
                     "%s has shape (%zd, %zd); at most %zd rows and columns are supported", name,
                     static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(cols),
                     static_cast<Py_ssize_t>(limit));
    return {rows, cols};
}

}  // namespace

bool holds_native_doubles(PyArrayObject* array) {
    return PyArray_TYPE(array) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(array) &&
           PyArray_ISALIGNED(array);
}

SampleMatrix to_sample_matrix(PyArrayObject* array, const char* name) {
    const int dimensions = PyArray_NDIM(array);
    const auto [rows, cols] = table_shape(array, name);

    // Anything but native, aligned float64 goes through numpy's own conversion first.
    PyRef converted;
    if (!holds_native_doubles(array)) {
        converted = PyRef::steal(PyArray_FromAny(reinterpret_cast<PyObject*>(array),
                                                 PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                                                 NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
        array = reinterpret_cast<PyArrayObject*>(converted.get());
    }

    SampleMatrix matrix(static_cast<std::int32_t>(rows), static_cast<std::int32_t>(cols));
    const char* data = static_cast<const char*>(PyArray_DATA(array));
    const npy_intp row_stride = PyArray_STRIDE(array, 0);
    // A one-dimensional array is one column; its column stride is never stepped.
    const npy_intp col_stride =
        dimensions == 2 ? PyArray_STRIDE(array, 1) : npy_intp{sizeof(double)};
    double* out = matrix.values.data();
    if (rows > 0 && cols > 0 && col_stride == sizeof(double) &&
        row_stride == static_cast<npy_intp>(cols * sizeof(double))) {
        std::memcpy(out, data, static_cast<std::size_t>(rows * cols) * sizeof(double));
    } else {
        for (npy_intp i = 0; i < rows; ++i)
            for (npy_intp j = 0; j < cols; ++j)
                std::memcpy(out++, data + i * row_stride + j * col_stride, sizeof(double));
    }
    return matrix;
}

SampleMatrix object_to_sample_matrix(PyObject* object, const char* name) {
    PyRef array = PyRef::steal(PyArray_FromAny(object, PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                                               NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
    return to_sample_matrix(reinterpret_cast<PyArrayObject*>(array.get()), name);
}

PyRef new_result_array(npy_intp rows, npy_intp cols) {
    npy_intp shape[2] = {rows, cols};
    return PyRef::steal(PyArray_ZEROS(2, shape, NPY_DOUBLE, 0));
}

PyRef new_unfilled_array(int dimensions, const npy_intp* shape) {
    return PyRef::steal(PyArray_SimpleNew(dimensions, const_cast<npy_intp*>(shape), NPY_DOUBLE));
}

SampleRows read_sample_rows(PyArrayObject* array, const char* name, bool packed) {
    SampleRows table;
    const auto [rows, cols] = table_shape(array, name);
    if (holds_native_doubles(array) && rows > 0 && cols > 0) {
        const bool one_dimension = PyArray_NDIM(array) == 1;
        // A single row's stride is never stepped, whatever numpy recorded for it.
        const npy_intp row_stride =
            rows == 1 ? cols * npy_intp{sizeof(double)} : PyArray_STRIDE(array, 0);
        const npy_intp col_stride =
            one_dimension ? npy_intp{sizeof(double)} : PyArray_STRIDE(array, 1);
        const bool adjacent = col_stride == sizeof(double) || cols == 1;
        const bool whole =
            row_stride >= 0 && row_stride % npy_intp{sizeof(double)} == 0 &&
            row_stride / npy_intp{sizeof(double)} <= std::numeric_limits<std::int32_t>::max();
        const npy_intp stride = row_stride / npy_intp{sizeof(double)};
        if (adjacent && whole && (packed ? stride == cols : true)) {
            table.data = static_cast<const double*>(PyArray_DATA(array));
            table.rows = static_cast<std::int32_t>(rows);
            table.cols = static_cast<std::int32_t>(cols);
            table.stride = static_cast<std::size_t>(stride);
            table.held = PyRef::borrow(reinterpret_cast<PyObject*>(array));
            return table;
        }
    }
    table.copy = to_sample_matrix(array, name);
    table.data = table.copy.values.data();
    table.rows = table.copy.rows;
    table.cols = table.copy.cols;
    table.stride = static_cast<std::size_t>(table.copy.cols);
    return table;
}

}  // namespace tessaron
