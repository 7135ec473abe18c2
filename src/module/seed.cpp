// tessaron.seed: repeatable runs.
#include "module/module_functions.hpp"
#include "module/py_ref.hpp"
#include "network/random_sources.hpp"

namespace tessaron {

PyObject* module_seed(PyObject*, PyObject* args) {
    PyObject* value = nullptr;
    if (!PyArg_ParseTuple(args, "O", &value)) return nullptr;
    return guarded([&]() -> PyObject* {
        // Any integer, negative or wider than 64 bits included: its low 64 bits are the seed.
        PyRef index = PyRef::steal(PyNumber_Index(value));
        const unsigned long long bits = PyLong_AsUnsignedLongLongMask(index.get());
        if (bits == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
        seed_everything(bits);
        Py_RETURN_NONE;
    });
}

}  // namespace tessaron
