#include "module/array_conversion.hpp"

#include <optional>

namespace tessaron {

namespace {

// Refuses what to_sample_matrix refuses, and gives where the table's values lie. A
// one-dimensional array is one column, whose column stride is never stepped.
ArrayLayout table_layout(PyArrayObject* array, const char* name) {
    const int dimensions = PyArray_NDIM(array);
    if (dimensions < 1 || dimensions > 2)
        raise_format(PyExc_ValueError, "%s must have 1 or 2 dimensions, got %d", name, dimensions);
    ArrayLayout layout;
    layout.rows = PyArray_DIM(array, 0);
    layout.cols = dimensions == 2 ? PyArray_DIM(array, 1) : 1;
    check_table_shape(name, layout.rows, layout.cols);
    layout.row_stride = PyArray_STRIDE(array, 0);
    layout.col_stride = dimensions == 2 ? PyArray_STRIDE(array, 1) : npy_intp{sizeof(double)};
    return layout;
}

}  // namespace

bool holds_native_doubles(PyArrayObject* array) {
    return PyArray_TYPE(array) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(array) &&
           PyArray_ISALIGNED(array);
}

SampleMatrix to_sample_matrix(PyArrayObject* array, const char* name) {
    table_layout(array, name);
    // Anything but native, aligned float64 goes through numpy's own conversion first.
    PyRef converted;
    if (!holds_native_doubles(array)) {
        converted = PyRef::steal(PyArray_FromAny(reinterpret_cast<PyObject*>(array),
                                                 PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                                                 NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
        array = reinterpret_cast<PyArrayObject*>(converted.get());
    }
    return copy_table(static_cast<const unsigned char*>(PyArray_DATA(array)),
                      table_layout(array, name));
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
    const ArrayLayout layout = table_layout(array, name);
    const std::optional<std::size_t> stride =
        holds_native_doubles(array) ? in_place_stride(layout, packed) : std::nullopt;
    if (stride) {
        table.data = static_cast<const double*>(PyArray_DATA(array));
        table.rows = static_cast<std::int32_t>(layout.rows);
        table.cols = static_cast<std::int32_t>(layout.cols);
        table.stride = *stride;
        table.held = PyRef::borrow(reinterpret_cast<PyObject*>(array));
        return table;
    }
    table.copy = to_sample_matrix(array, name);
    table.data = table.copy.values.data();
    table.rows = table.copy.rows;
    table.cols = table.copy.cols;
    table.stride = static_cast<std::size_t>(table.copy.cols);
    return table;
}

void warn_non_finite(const SampleRows& rows, const char* name) {
    const std::optional<TableCell> cell =
        first_non_finite(rows.data, rows.rows, rows.cols, rows.stride);
    if (!cell) return;
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "%s holds %s at row %d, column %d; evolution goes on with it, but losses "
                         "over it may not be finite",
                         name, non_finite_name(rows.row(cell->row)[cell->col]), cell->row,
                         cell->col) < 0)
        throw PythonError{};
}

}  // namespace tessaron
