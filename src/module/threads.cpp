// tessaron.set_num_threads and tessaron.get_num_threads.
#include "common/thread_pool.hpp"
#include "module/module_functions.hpp"
#include "module/py_ref.hpp"

namespace tessaron {

PyObject* module_set_num_threads(PyObject*, PyObject* args) {
    int n = 0;
    if (!PyArg_ParseTuple(args, "i", &n)) return nullptr;
    return guarded([&]() -> PyObject* {
        if (n < 1) raise_format(PyExc_ValueError, "n must be at least 1, got %d", n);
        set_thread_count(n);
        Py_RETURN_NONE;
    });
}

PyObject* module_get_num_threads(PyObject*, PyObject*) {
    return guarded([&] { return PyRef::steal(PyLong_FromLong(thread_count())).release(); });
}

}  // namespace tessaron
