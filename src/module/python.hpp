// Python and numpy headers, configured once for every file of the extension.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Built against numpy 2 headers, loadable by numpy 1.23 and later.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL tessaron_ARRAY_API
#ifndef TESSARON_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

// A type object with only its header set; the caller fills the slots it uses.
inline PyTypeObject blank_type_object() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
    PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop
    return type;
}
