#include "module/prediction.hpp"

#include "common/thread_pool.hpp"
#include "module/array_conversion.hpp"
#include "module/gil.hpp"
#include "network/forward.hpp"

namespace tessaron {
namespace {

// Below this many node evaluations, handing the lock over costs more than it frees.
constexpr double unlocked_work = 1 << 15;

// Rows per item when a prediction is spread over the worker threads: each row is evaluated by
// one thread, so the results are those of a single thread.
constexpr std::int32_t rows_per_item = 8 * forward_block_size;

void forward_rows_in_parallel(const Network& network, const SampleMatrix& x, double* out) {
    const std::size_t items = (static_cast<std::size_t>(x.rows) + rows_per_item - 1) / rows_per_item;
    parallel_for(items, [&](std::size_t item, int) {
        thread_local ForwardScratch scratch;
        const auto first = static_cast<std::int32_t>(item) * rows_per_item;
        const std::int32_t count = std::min(rows_per_item, x.rows - first);
        forward_rows(network, x, first, count, out + static_cast<std::size_t>(first) * network.outputs,
                     scratch);
    });
}

}  // namespace

PyObject* predict_array(const std::shared_ptr<const Network>& network_ref, std::int32_t outputs,
                        PyArrayObject* array) {
    // Our own reference keeps the network alive should the owner replace it meanwhile.
    const std::shared_ptr<const Network> network = network_ref;
    if (network->size == 0)
        raise(PyExc_ValueError, "the network is empty: it has no nodes to predict with");
    if (network->outputs != outputs)
        raise_format(PyExc_ValueError,
                     "the declared number of outputs (%d) differs from the network's (%d)", outputs,
                     network->outputs);
    const SampleMatrix x = to_sample_matrix(array, "x");
    if (x.cols < network->inputs)
        raise_format(PyExc_ValueError, "x has %d columns, but the model has %d inputs", x.cols,
                     network->inputs);
    PyRef result = new_result_array(x.rows, outputs);
    double* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
    if (static_cast<double>(x.rows) * network->size >= unlocked_work) {
        GilRelease unlocked;
        forward_rows_in_parallel(*network, x, out);
    } else {
        ForwardScratch scratch;
        forward_rows(*network, x, out, scratch);
    }
    return result.release();
}

}  // namespace tessaron
