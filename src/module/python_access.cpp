#include "module/python_access.hpp"

namespace tessaron {

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

}  // namespace tessaron
