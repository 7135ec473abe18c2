// The Beta optimizer type of the submodule tessaron.optimizers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "evolution/optimizer.hpp"
#include "evolution/optimizers/beta_settings.hpp"
#include "module/model.hpp"
#include "module/python.hpp"

namespace tessaron {

struct BetaObject {
    PyObject_HEAD BetaSettings settings;
};

extern PyTypeObject Beta_Type;

// The registered search a str names; ValueError listing the registered names otherwise.
std::string beta_search_named(PyObject* name);

// A step_size keyword's value: None (each search's own) or a number (TypeError otherwise).
std::optional<double> optional_step_size(PyObject* value);

// The optimizer a run of pop_size members of the model uses: its Beta's search, or Alpha (the
// model's optimizer, or no optimizer at all). ValueError (from the core's checks) for a Beta that
// cannot make such a run.
std::unique_ptr<Optimizer> optimizer_for(const ModelState& state, std::int32_t pop_size);

// Pickling and copying (object_state.cpp) and repr (object_repr.cpp).
PyObject* beta_reduce(PyObject* self, PyObject* args);
PyObject* beta_getstate(PyObject* self, PyObject* args);
PyObject* beta_setstate(PyObject* self, PyObject* state);
PyObject* beta_repr(PyObject* self);

}  // namespace tessaron
