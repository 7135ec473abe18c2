#include "module/prediction.hpp"

#include <algorithm>

#include "common/thread_pool.hpp"
#include "module/array_conversion.hpp"
#include "module/gil.hpp"

namespace tessaron {
namespace {

// Rows per item when a prediction is spread over the worker threads: each row is evaluated by
// one thread, so the results are those of a single thread.
constexpr std::int32_t rows_per_item = 8 * forward_block_size;

// Up to this many rows are evaluated one sample at a time.
constexpr std::int32_t few_rows = 2;

void predict_rows_in_parallel(const Network& network, const SampleRows& x, double* out) {
    // One thread takes all rows in one call, which fits the scratch to the network once.
    if (thread_count() <= 1) {
        predict_rows(network, x.data, x.stride, x.rows, out, thread_scratch());
        return;
    }
    const std::size_t items =
        (static_cast<std::size_t>(x.rows) + rows_per_item - 1) / rows_per_item;
    parallel_for(items, [&](std::size_t item, int) {
        const auto first = static_cast<std::int32_t>(item) * rows_per_item;
        const std::int32_t count = std::min(rows_per_item, x.rows - first);
        predict_rows(network, x.row(first), x.stride, count,
                     out + static_cast<std::size_t>(first) * network.outputs, thread_scratch());
    });
}

void check_network(const Network& network, std::int32_t outputs) {
    if (network.size == 0)
        raise(PyExc_ValueError, "the network is empty: it has no nodes to predict with");
    if (network.outputs != outputs)
        raise_format(PyExc_ValueError,
                     "the declared number of outputs (%d) differs from the network's (%d)", outputs,
                     network.outputs);
}

void check_columns(const Network& network, const SampleRows& x) {
    if (x.cols < network.inputs)
        raise_format(PyExc_ValueError, "x has %d columns, but the model has %d inputs", x.cols,
                     network.inputs);
}

}  // namespace

ForwardScratch& thread_scratch() {
    thread_local ForwardScratch scratch;
    return scratch;
}

void predict_rows(const Network& network, const double* x, std::size_t stride, std::int32_t rows,
                  double* out, ForwardScratch& scratch) {
    // A few rows cost less one at a time than fitting the block scratch to the network; both
    // paths give the same bits.
    if (rows <= few_rows) {
        thread_local SampleScratch sample_scratch;
        for (std::int32_t r = 0; r < rows; ++r)
            forward_sample(network, x + static_cast<std::size_t>(r) * stride, sample_scratch,
                           out + static_cast<std::size_t>(r) * network.outputs);
        return;
    }
    forward_rows(network, x, stride, rows, out, scratch);
}

PyObject* predict_array(const std::shared_ptr<const Network>& network_ref, std::int32_t outputs,
                        PyArrayObject* array, InputStatistics* seen) {
    check_network(*network_ref, outputs);
    const SampleRows x = read_sample_rows(array, "x");
    check_columns(*network_ref, x);
    if (seen != nullptr) add_input_rows(*seen, x.data, x.stride, x.rows, network_ref->inputs);
    const npy_intp shape[2] = {x.rows, outputs};
    PyRef result = new_unfilled_array(2, shape);
    double* out =
        static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
    // Converting x or making the result can run Python code, which may have replaced the
    // owner's network: the one read is the one there now, checked again. Nothing can replace it
    // while the interpreter lock stays held; the unlocked path holds a reference of its own.
    if (static_cast<double>(x.rows) * network_ref->size >= unlocked_work) {
        const std::shared_ptr<const Network> network = network_ref;
        check_network(*network, outputs);
        check_columns(*network, x);
        GilRelease unlocked;
        predict_rows_in_parallel(*network, x, out);
    } else {
        const Network& network = *network_ref;
        check_network(network, outputs);
        check_columns(network, x);
        predict_rows(network, x.data, x.stride, x.rows, out, thread_scratch());
    }
    return result.release();
}

PyArrayObject* single_array_argument(PyObject* const* args, Py_ssize_t count) {
    if (count == 1 && PyArray_Check(args[0])) return reinterpret_cast<PyArrayObject*>(args[0]);
    PyRef tuple = PyRef::steal(PyTuple_New(count));
    for (Py_ssize_t i = 0; i < count; ++i)
        PyTuple_SET_ITEM(tuple.get(), i, PyRef::borrow(args[i]).release());
    PyObject* array = nullptr;
    if (!PyArg_ParseTuple(tuple.get(), "O!", &PyArray_Type, &array)) throw PythonError{};
    return reinterpret_cast<PyArrayObject*>(array);
}

}  // namespace tessaron
