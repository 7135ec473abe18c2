// The Model type: a Python object owning one evolvable network and its compile state.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "module/py_ref.hpp"
#include "network/network.hpp"

namespace tessaron {

// Everything of a Model beyond the published size. The network is shared with calls that run
// without the interpreter lock (a prediction in progress keeps the network it started with), and
// is replaced as a whole, never changed in place.
struct ModelState {
    std::shared_ptr<const Network> network = std::make_shared<const Network>();
    std::int32_t inputs = 0;
    std::int32_t outputs = 0;
    bool compiled = false;
    bool has_loss = false;
    std::vector<std::int32_t> losses;
    std::vector<std::int32_t> monitors;
    PyRef optimizer;
};

struct ModelObject {
    PyObject_HEAD std::int32_t size;  // the node count as last published; Python code may assign it
    ModelState* state;
    char stop_evolving;  // set by a callback to end a run after the current epoch
};

extern PyTypeObject Model_Type;

// The state of a Model; SystemError for an object that Model.__new__ did not make.
ModelState& model_state(PyObject* self);

// Replaces the model's network and republishes its counts and size with it (another thread,
// or Python code run during a call, may have rebuilt the model meanwhile). Never fails.
void set_model_network(ModelObject* model, std::shared_ptr<const Network> network) noexcept;

// Creates a Model by calling the type with (inputs, outputs), then gives it `network`.
PyRef new_model_with_network(Network network);

}  // namespace tessaron
