// Prediction shared by Model and Genome.
#pragma once

#include <cstdint>
#include <memory>

#include "module/py_ref.hpp"
#include "network/network.hpp"

namespace tessaron {

// Runs `network` over every row of `array` and returns a new (rows, outputs) float64 array.
// `outputs` is the owner's declared output count, which must match the network's.
PyObject* predict_array(const std::shared_ptr<const Network>& network, std::int32_t outputs,
                        PyArrayObject* array);

}  // namespace tessaron
