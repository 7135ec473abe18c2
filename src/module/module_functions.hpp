// The functions of the tessaron module (load, from_keras), defined with their subsystems.
#pragma once

#include "module/python.hpp"

namespace tessaron {

extern PyMethodDef module_functions[];

PyObject* module_from_keras(PyObject* self, PyObject* args);
PyObject* module_load(PyObject* self, PyObject* args);

}  // namespace tessaron
