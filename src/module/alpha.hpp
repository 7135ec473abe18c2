// The Alpha optimizer type of the submodule tessaron.optimizers.
#pragma once

#include "module/python.hpp"

namespace tessaron {

struct AlphaObject {
    PyObject_HEAD
    double mutation_rate;
};

extern PyTypeObject Alpha_Type;

}  // namespace tessaron
