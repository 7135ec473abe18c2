// The Alpha optimizer type of the submodule tessaron.optimizers.
#pragma once

#include "module/python.hpp"

namespace tessaron {

struct AlphaObject {
    PyObject_HEAD double mutation_rate;
};

extern PyTypeObject Alpha_Type;

// Pickling and copying (object_state.cpp) and repr (object_repr.cpp).
PyObject* alpha_reduce(PyObject* self, PyObject* args);
PyObject* alpha_getstate(PyObject* self, PyObject* args);
PyObject* alpha_setstate(PyObject* self, PyObject* state);
PyObject* alpha_repr(PyObject* self);

}  // namespace tessaron
