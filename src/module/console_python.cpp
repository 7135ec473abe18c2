#include "module/console_python.hpp"

#include <string_view>

#include "common/console.hpp"
#include "module/python.hpp"

namespace tessaron {
namespace {

// Writes to sys.stdout and flushes it, so that output shows in notebooks, can be captured, and an
// in-place progress line updates. Output errors are ignored, and an exception already pending in
// the caller survives the write.
void write_to_python_stdout(std::string_view text) {
    PyGILState_STATE gil = PyGILState_Ensure();
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* stream = PySys_GetObject("stdout");  // borrowed
    if (stream != nullptr && stream != Py_None) {
        PyObject* result = PyObject_CallMethod(stream, "write", "s#", text.data(),
                                               static_cast<Py_ssize_t>(text.size()));
        Py_XDECREF(result);
        if (result != nullptr) {
            result = PyObject_CallMethod(stream, "flush", nullptr);
            Py_XDECREF(result);
        }
    }
    // A Ctrl-C that arrived while the stream's Python code ran was turned into this exception
    // there: it is not an output error, so it is handed back to the signal check of the run.
    if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) PyErr_SetInterrupt();
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    PyGILState_Release(gil);
}

}  // namespace

void use_python_console() {
    set_console_writer(write_to_python_stdout);
}

}  // namespace tessaron
