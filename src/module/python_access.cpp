#include "module/python_access.hpp"

namespace tessaron {
namespace {

// object.name through the interned name: CPython's attribute cache keeps a reference to the name
// it was asked with, per address, so a fresh string for every lookup would fill it (up to 4096
// entries) with copies of the same few names.
PyObject* get_attribute(PyObject* object, const char* name) {
    const PyRef key = PyRef::steal(PyUnicode_InternFromString(name));
    return PyObject_GetAttr(object, key.get());
}

}  // namespace

PyRef attribute(PyObject* object, const char* name, const std::string& owner) {
    PyObject* value = get_attribute(object, name);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        raise_format(PyExc_TypeError, "%s has no attribute '%s'", owner.c_str(), name);
    }
    return PyRef::steal(value);
}

PyRef optional_attribute(PyObject* object, const char* name) {
    PyObject* value = get_attribute(object, name);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return PyRef();
    }
    return PyRef::steal(value);
}

PyRef tuple_of(PyObject* object, const std::string& what) {
    if (PyUnicode_Check(object) || PyBytes_Check(object) || !PySequence_Check(object))
        raise_format(PyExc_TypeError, "%s must be a sequence, not %s", what.c_str(),
                     Py_TYPE(object)->tp_name);
    return PyRef::steal(PySequence_Tuple(object));
}

std::string text_of(PyObject* object, const std::string& what) {
    if (!PyUnicode_Check(object))
        raise_format(PyExc_TypeError, "%s must be a string, not %s", what.c_str(),
                     Py_TYPE(object)->tp_name);
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &length);
    if (text == nullptr) throw PythonError{};
    return std::string(text, static_cast<std::size_t>(length));
}

long long integer_of(PyObject* object, const std::string& what) {
    if (!PyIndex_Check(object))
        raise_format(PyExc_TypeError, "%s must be an int, not %s", what.c_str(),
                     Py_TYPE(object)->tp_name);
    const PyRef index = PyRef::steal(PyNumber_Index(object));
    const long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) throw PythonError{};
    return value;
}

}  // namespace tessaron
