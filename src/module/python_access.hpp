// Reading foreign Python objects (Keras models, layers, tensors) without trusting their shape:
// a missing attribute or a wrong type becomes a TypeError that says what was expected.
#pragma once

#include <string>

#include "module/py_ref.hpp"

namespace tessaron {

// object.name; a missing attribute raises TypeError naming `owner`. Any other failure of the
// lookup (a property that raises, say) keeps its own exception.
PyRef attribute(PyObject* object, const char* name, const std::string& owner);

// object.name, or an empty reference when the object has no such attribute.
PyRef optional_attribute(PyObject* object, const char* name);

// A tuple of the items of a sequence: a snapshot that later calls into Python cannot change.
// Text and non-sequences raise TypeError naming `what`.
PyRef tuple_of(PyObject* object, const std::string& what);

// Item i of a tuple made by tuple_of (borrowed).
inline PyObject* tuple_item(const PyRef& tuple, Py_ssize_t i) {
    return PyTuple_GET_ITEM(tuple.get(), i);
}

// The UTF-8 text of a str; anything else raises TypeError naming `what`.
std::string text_of(PyObject* object, const std::string& what);

// The value of an int (or an integer numpy scalar); anything else raises TypeError naming `what`.
long long integer_of(PyObject* object, const std::string& what);

}  // namespace tessaron
