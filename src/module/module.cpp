// Module initialisation: the tessaron module, its optimizers submodule and their types.
#define TESSARON_IMPORTS_NUMPY
#include "module/python.hpp"

#include "module/alpha.hpp"
#include "module/beta.hpp"
#include "module/console_python.hpp"
#include "module/genome.hpp"
#include "module/model.hpp"
#include "module/module_functions.hpp"

namespace {

PyModuleDef optimizers_definition = {
    PyModuleDef_HEAD_INIT,
    "tessaron.optimizers",
    "Optimizers.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyModuleDef tessaron_definition = {
    PyModuleDef_HEAD_INIT,
    "tessaron",
    "Tessaron allows training models through neuro-evolution.",
    -1,
    tessaron::module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Adds a new reference to `object` under `name`.
bool add_object(PyObject* module, const char* name, PyObject* object) {
    Py_INCREF(object);
    if (PyModule_AddObject(module, name, object) < 0) {
        Py_DECREF(object);
        return false;
    }
    return true;
}

}  // namespace

PyMODINIT_FUNC PyInit_optimizers() {
    if (PyType_Ready(&tessaron::Alpha_Type) < 0) return nullptr;
    if (PyType_Ready(&tessaron::Beta_Type) < 0) return nullptr;
    PyObject* module = PyModule_Create(&optimizers_definition);
    if (module == nullptr) return nullptr;
    if (!add_object(module, "Alpha", reinterpret_cast<PyObject*>(&tessaron::Alpha_Type)) ||
        !add_object(module, "Beta", reinterpret_cast<PyObject*>(&tessaron::Beta_Type))) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

PyMODINIT_FUNC PyInit_tessaron() {
    if (_import_array() < 0) {
        PyErr_Print();
        PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
        return nullptr;
    }
    if (PyType_Ready(&tessaron::Model_Type) < 0) return nullptr;
    if (PyType_Ready(&tessaron::Genome_Type) < 0) return nullptr;
    if (PyType_Ready(&tessaron::Seeded_Type) < 0) return nullptr;
    PyObject* module = PyModule_Create(&tessaron_definition);
    if (module == nullptr) return nullptr;
    PyObject* optimizers = PyInit_optimizers();
    bool ok = optimizers != nullptr;
    // Registered in sys.modules too, so that `from tessaron.optimizers import Alpha` works.
    if (ok)
        ok = PyDict_SetItemString(PyImport_GetModuleDict(), "tessaron.optimizers", optimizers) == 0;
    ok = ok && PyModule_AddObject(module, "optimizers", optimizers) == 0;
    if (!ok) Py_XDECREF(optimizers);
    ok = ok && add_object(module, "Model", reinterpret_cast<PyObject*>(&tessaron::Model_Type)) &&
         add_object(module, "Genome", reinterpret_cast<PyObject*>(&tessaron::Genome_Type)) &&
         add_object(module, "seeded", reinterpret_cast<PyObject*>(&tessaron::Seeded_Type)) &&
         PyModule_AddStringConstant(module, "__version__", TESSARON_VERSION) == 0;
    if (!ok) {
        Py_DECREF(module);
        return nullptr;
    }
    tessaron::use_python_console();
    return module;
}
