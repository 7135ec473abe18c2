#include "module/alpha.hpp"

namespace tessaron {
namespace {

int alpha_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"mutation_rate", nullptr};
    auto* alpha = reinterpret_cast<AlphaObject*>(self);
    alpha->mutation_rate = 0.5;
    // No range check: the generation step does not read the rate.
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|d", const_cast<char**>(keywords),
                                     &alpha->mutation_rate))
        return -1;
    return 0;
}

void alpha_dealloc(PyObject* self) {
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef alpha_methods[] = {
    {"__reduce__", alpha_reduce, METH_NOARGS, "Helper for pickle and copy."},
    {"__getstate__", alpha_getstate, METH_NOARGS, "The mutation rate."},
    {"__setstate__", alpha_setstate, METH_O, "Restores the state given by __getstate__."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject Alpha_Type = [] {
    PyTypeObject type = blank_type_object();
    type.tp_name = "tessaron.optimizers.Alpha";
    type.tp_basicsize = sizeof(AlphaObject);
    type.tp_dealloc = alpha_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_doc = "The first optimizer in Tessaron.";
    type.tp_init = alpha_init;
    type.tp_methods = alpha_methods;
    type.tp_repr = alpha_repr;
    type.tp_new = PyType_GenericNew;
    return type;
}();

}  // namespace tessaron
