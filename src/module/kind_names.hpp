// Lists of the names of loss or monitor kinds, as the compile state shows them to Python.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "module/py_ref.hpp"

namespace tessaron {

// A new list of the names of kinds[first ..], looked up in `names`.
inline PyRef kind_names(const std::vector<std::int32_t>& kinds, std::size_t first,
                        std::span<const std::string_view> names) {
    PyRef list = PyRef::steal(PyList_New(0));
    for (std::size_t i = first; i < kinds.size(); ++i) {
        const std::string_view name = names[static_cast<std::size_t>(kinds[i])];
        const PyRef text = PyRef::steal(
            PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        if (PyList_Append(list.get(), text.get()) < 0) throw PythonError{};
    }
    return list;
}

}  // namespace tessaron
