// The Genome type: a lightweight, prediction-only wrapper of one network.
#pragma once

#include <cstdint>
#include <memory>

#include "evolution/input_statistics.hpp"
#include "module/py_ref.hpp"
#include "network/network.hpp"

namespace tessaron {

struct GenomeState {
    std::shared_ptr<const Network> network = std::make_shared<const Network>();
    std::int32_t inputs = 0;
    std::int32_t outputs = 0;
    // Where a run wants to know what its genomes are given: every row they predict is added.
    std::shared_ptr<InputStatistics> seen_inputs;
};

struct GenomeObject {
    PyObject_HEAD GenomeState* state;
};

extern PyTypeObject Genome_Type;

// The state of a Genome; SystemError for an object that Genome.__new__ did not make.
GenomeState& genome_state(PyObject* self);

// A new Genome holding `network` (its inputs and outputs are the network's).
PyRef make_genome(std::shared_ptr<const Network> network);

// The network as plain data (network_access.cpp).
PyObject* genome_get_network(PyObject* self, PyObject* args);
PyObject* genome_set_network(PyObject* self, PyObject* network);

// Pickling and copying (object_state.cpp) and repr (object_repr.cpp).
PyObject* genome_reduce(PyObject* self, PyObject* args);
PyObject* genome_getstate(PyObject* self, PyObject* args);
PyObject* genome_setstate(PyObject* self, PyObject* state);
PyObject* genome_repr(PyObject* self);

}  // namespace tessaron
