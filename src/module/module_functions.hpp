// The functions of the tessaron module, defined with their subsystems.
#pragma once

#include "module/python.hpp"

namespace tessaron {

extern PyMethodDef module_functions[];
extern PyTypeObject Seeded_Type;  // tessaron.seeded

PyObject* module_from_keras(PyObject* self, PyObject* args);
// The core's checks of an imported Keras model, called by tessaron._keras_interchange.
PyObject* module_keras_node_indices(PyObject* self, PyObject* names);
PyObject* module_keras_check_counts(PyObject* self, PyObject* args);
PyObject* module_keras_check_outputs(PyObject* self, PyObject* args);
PyObject* module_keras_network(PyObject* self, PyObject* args);
PyObject* module_load(PyObject* self, PyObject* args);
PyObject* module_set_num_threads(PyObject* self, PyObject* args);
PyObject* module_get_num_threads(PyObject* self, PyObject* args);
PyObject* module_seed(PyObject* self, PyObject* args);
PyObject* module_predict_many(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace tessaron
