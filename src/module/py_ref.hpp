// Ownership of Python references, and the one place where C++ failures become Python exceptions.
#pragma once

#include <new>
#include <utility>

#include "module/python.hpp"

namespace tessaron {

// Thrown when a Python exception is already set and the entry point must just return null.
struct PythonError {};

// Owns one strong reference (or none).
class PyRef {
  public:
    PyRef() = default;
    // Takes over a new reference; a null one means a Python call failed, so this throws.
    static PyRef steal(PyObject* object) {
        if (object == nullptr) throw PythonError{};
        return PyRef(object);
    }
    // Takes a new reference to a borrowed object (which may be null).
    static PyRef borrow(PyObject* object) {
        Py_XINCREF(object);
        return PyRef(object);
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(object_, nullptr); }
    void reset() { Py_CLEAR(object_); }

  private:
    explicit PyRef(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

// Raises `type` with `message` and throws PythonError.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

// Sets the Python exception that matches the C++ exception in flight. Called from the catch-all
// of each entry point.
void set_python_error_from_current_exception() noexcept;

// Runs the body of an entry point that returns an object; any C++ exception becomes a Python
// exception and null.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

// The same for slots that return 0 on success and -1 on failure.
template <class Body>
int guarded_status(Body&& body) noexcept {
    try {
        body();
        return 0;
    } catch (...) {
        set_python_error_from_current_exception();
        return -1;
    }
}

}  // namespace tessaron
