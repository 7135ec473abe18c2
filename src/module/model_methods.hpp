// Methods of Model, each defined in the file of its subsystem and listed in model.cpp's table.
#pragma once

#include "module/python.hpp"

namespace tessaron {

PyObject* model_evolve(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* model_func_evolve(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* model_predict(PyObject* self, PyObject* const* args, Py_ssize_t count);
PyObject* model_evaluate(PyObject* self, PyObject* args);
PyObject* model_compile(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* model_get_nodes(PyObject* self, PyObject* args);
PyObject* model_get_connections(PyObject* self, PyObject* args);
PyObject* model_get_network(PyObject* self, PyObject* args);
PyObject* model_set_network(PyObject* self, PyObject* network);
PyObject* model_to_keras(PyObject* self, PyObject* args);
PyObject* model_to_onnx(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* model_save(PyObject* self, PyObject* args);
PyObject* model_summary(PyObject* self, PyObject* args);

// Pickling and copying (object_state.cpp) and repr (object_repr.cpp).
PyObject* model_reduce(PyObject* self, PyObject* args);
PyObject* model_getstate(PyObject* self, PyObject* args);
PyObject* model_setstate(PyObject* self, PyObject* state);
PyObject* model_repr(PyObject* self);

}  // namespace tessaron
