// The functions of the tessaron module, defined with their subsystems.
#pragma once

#include "module/python.hpp"

namespace tessaron {

extern PyMethodDef module_functions[];
extern PyTypeObject Seeded_Type;  // tessaron.seeded

PyObject* module_from_keras(PyObject* self, PyObject* args);
PyObject* module_load(PyObject* self, PyObject* args);
PyObject* module_set_num_threads(PyObject* self, PyObject* args);
PyObject* module_get_num_threads(PyObject* self, PyObject* args);
PyObject* module_seed(PyObject* self, PyObject* args);
PyObject* module_predict_many(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace tessaron
