#include "module/py_ref.hpp"

#include <cstdarg>
#include <exception>
#include <stdexcept>

#include "common/errors.hpp"

namespace tessaron {

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError{};
}

void raise_format(PyObject* type, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(type, format, arguments);
    va_end(arguments);
    throw PythonError{};
}

void set_python_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "tessaron: failure without a Python exception");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const IntegrityError& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (const InvalidData& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const IoError& error) {
        PyObject* path = PyUnicode_DecodeFSDefault(error.path.c_str());
        if (path == nullptr) return;
        PyObject* arguments = Py_BuildValue("(isO)", error.error_number, error.what(), path);
        Py_DECREF(path);
        if (arguments == nullptr) return;
        PyErr_SetObject(PyExc_OSError, arguments);
        Py_DECREF(arguments);
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "tessaron: unknown internal failure");
    }
}

}  // namespace tessaron
