// tessaron.seed and tessaron.seeded: repeatable runs.
#include "module/module_functions.hpp"
#include "module/py_ref.hpp"
#include "network/random_sources.hpp"

namespace tessaron {
namespace {

// Any integer, negative or wider than 64 bits included: its low 64 bits are the seed.
std::uint64_t seed_bits(PyObject* value) {
    PyRef index = PyRef::steal(PyNumber_Index(value));
    const unsigned long long bits = PyLong_AsUnsignedLongLongMask(index.get());
    if (bits == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
    return bits;
}

struct SeededObject {
    PyObject_HEAD std::uint64_t bits;
    int depth;             // of the scope on its thread while entered, else 0
    unsigned long thread;  // the thread that entered it
};

int seeded_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* value = nullptr;
    static const char* keywords[] = {"", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O", const_cast<char**>(keywords), &value))
        return -1;
    return guarded_status([&] {
        auto* seeded = reinterpret_cast<SeededObject*>(self);
        if (seeded->depth != 0) raise(PyExc_RuntimeError, "tessaron.seeded: already entered");
        seeded->bits = seed_bits(value);
        return 0;
    });
}

PyObject* seeded_enter(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto* seeded = reinterpret_cast<SeededObject*>(self);
        if (seeded->depth != 0) raise(PyExc_RuntimeError, "tessaron.seeded: already entered");
        seeded->depth = start_seeded_scope(seeded->bits);
        seeded->thread = PyThread_get_thread_ident();
        return PyRef::borrow(self).release();
    });
}

PyObject* seeded_exit(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto* seeded = reinterpret_cast<SeededObject*>(self);
        if (seeded->depth == 0) raise(PyExc_RuntimeError, "tessaron.seeded: not entered");
        if (seeded->thread != PyThread_get_thread_ident() || !end_seeded_scope(seeded->depth))
            raise(PyExc_RuntimeError,
                  "tessaron.seeded: left on another thread, or before a scope entered after it");
        seeded->depth = 0;
        Py_RETURN_FALSE;
    });
}

PyMethodDef seeded_methods[] = {
    {"__enter__", seeded_enter, METH_NOARGS, "Starts drawing from the seeded sources."},
    {"__exit__", seeded_exit, METH_VARARGS, "Goes back to the thread's own sources."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* module_seed(PyObject*, PyObject* args) {
    PyObject* value = nullptr;
    if (!PyArg_ParseTuple(args, "O", &value)) return nullptr;
    return guarded([&]() -> PyObject* {
        seed_everything(seed_bits(value));
        Py_RETURN_NONE;
    });
}

PyTypeObject Seeded_Type = [] {
    PyTypeObject type = blank_type_object();
    type.tp_name = "tessaron.seeded";
    type.tp_basicsize = sizeof(SeededObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc =
        "seeded(value, /)\n--\n\n"
        "A context manager: inside the with block, the random draws of the calling thread derive "
        "from the integer value, exactly as after tessaron.seed(value) in a thread of its own, so "
        "the same calls give the same networks and histories whatever other threads do. The "
        "thread's own draws, and every other thread's, carry on after the block as if it had "
        "not run.";
    type.tp_init = seeded_init;
    type.tp_new = PyType_GenericNew;
    type.tp_methods = seeded_methods;
    return type;
}();

}  // namespace tessaron
