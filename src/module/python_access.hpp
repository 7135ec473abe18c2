// Reading Python sequences and text without trusting their types: a wrong type becomes a
// TypeError that says what was expected.
#pragma once

#include <string>

#include "module/py_ref.hpp"

namespace tessaron {

// A tuple of the items of a sequence: a snapshot that later calls into Python cannot change.
// Text and non-sequences raise TypeError naming `what`.
PyRef tuple_of(PyObject* object, const std::string& what);

// Item i of a tuple made by tuple_of (borrowed).
inline PyObject* tuple_item(const PyRef& tuple, Py_ssize_t i) {
    return PyTuple_GET_ITEM(tuple.get(), i);
}

// The UTF-8 text of a str; anything else raises TypeError naming `what`.
std::string text_of(PyObject* object, const std::string& what);

}  // namespace tessaron
