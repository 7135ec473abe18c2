// The Beta optimizer type of the submodule tessaron.optimizers.
#pragma once

#include <cstdint>
#include <optional>

#include "evolution/beta.hpp"
#include "module/model.hpp"
#include "module/python.hpp"

namespace tessaron {

struct BetaObject {
    PyObject_HEAD BetaSettings settings;
};

extern PyTypeObject Beta_Type;

// ValueError naming the first setting out of its range, and its value.
void check_beta_settings(const BetaSettings& settings);

// The search a str names ('select' or 'gradient'); ValueError naming the value otherwise.
BetaSearch beta_search_named(PyObject* name);
const char* beta_search_name(BetaSearch search);

// The settings of the model's optimizer when it is a Beta, nothing otherwise. A Beta must leave
// room for children: ValueError when its elites are not fewer than pop_size.
std::optional<BetaSettings> beta_settings_of(const ModelState& state, std::int32_t pop_size);

// Pickling and copying (object_state.cpp) and repr (object_repr.cpp).
PyObject* beta_reduce(PyObject* self, PyObject* args);
PyObject* beta_getstate(PyObject* self, PyObject* args);
PyObject* beta_setstate(PyObject* self, PyObject* state);
PyObject* beta_repr(PyObject* self);

}  // namespace tessaron
