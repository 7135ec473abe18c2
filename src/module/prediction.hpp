// Prediction shared by Model and Genome.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "evolution/input_statistics.hpp"
#include "module/py_ref.hpp"
#include "network/forward.hpp"
#include "network/network.hpp"

namespace tessaron {

// Below this many node evaluations, handing the lock over or waking the workers costs more than
// it frees.
inline constexpr double unlocked_work = 1 << 15;

// Evaluates `rows` samples, row i at x + i * stride holding at least `inputs` values, and writes
// output o of row i to out[i * outputs + o]. Reads the network only.
void predict_rows(const Network& network, const double* x, std::size_t stride, std::int32_t rows,
                  double* out, ForwardScratch& scratch);

// The calling thread's scratch for predict_rows, kept from call to call: fitting a fresh one
// would cost more than a small prediction. Only predict_rows may use it, which runs no Python
// code, so no other use can interleave on the same thread.
ForwardScratch& thread_scratch();

// Runs `network` over every row of `array` and returns a new (rows, outputs) float64 array.
// `outputs` is the owner's declared output count, which must match the network's. The rows are
// added to `seen` where it is given.
PyObject* predict_array(const std::shared_ptr<const Network>& network, std::int32_t outputs,
                        PyArrayObject* array, InputStatistics* seen = nullptr);

// The one numpy array of a method that takes exactly that, positionally, called with the fast
// convention. Any other arguments fail with the error CPython's parser gives for "O!".
PyArrayObject* single_array_argument(PyObject* const* args, Py_ssize_t count);

}  // namespace tessaron
