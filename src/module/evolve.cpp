// Model.evolve: argument checks, data conversion, the run, and the history dictionary.
#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

#include "evolution/dataset_evolution.hpp"
#include "evolution/losses.hpp"
#include "module/array_conversion.hpp"
#include "module/beta.hpp"
#include "module/callback_hooks.hpp"
#include "module/gil.hpp"
#include "module/history.hpp"
#include "module/model.hpp"
#include "module/model_methods.hpp"

namespace tessaron {
namespace {

void check_shapes(const SampleRows& x, const SampleRows& y, const char* x_name, const char* y_name,
                  const Network& network) {
    if (x.rows == 0)
        raise_format(PyExc_ValueError, "%s is empty: it needs at least one sample", x_name);
    if (y.rows == 0)
        raise_format(PyExc_ValueError, "%s is empty: it needs at least one sample", y_name);
    if (x.cols != network.inputs)
        raise_format(PyExc_ValueError,
                     "Expected second dimension of %s (%d) to be equal to the number of inputs of "
                     "the model (%d)",
                     x_name, x.cols, network.inputs);
    if (y.cols != network.outputs)
        raise_format(PyExc_ValueError,
                     "Expected second dimension of %s (%d) to be equal to the number of outputs of "
                     "the model (%d)",
                     y_name, y.cols, network.outputs);
    if (x.rows != y.rows)
        raise_format(PyExc_ValueError,
                     "Expected first dimension of %s (%d) to be equal to the first dimension of %s "
                     "(%d)",
                     x_name, x.rows, y_name, y.rows);
}

// The rows as a table of the run's own.
SampleMatrix owned_rows(SampleRows&& rows) {
    if (rows.held.get() == nullptr) return std::move(rows.copy);
    SampleMatrix table(rows.rows, rows.cols);
    for (std::int32_t i = 0; i < rows.rows; ++i) std::copy_n(rows.row(i), rows.cols, table.row(i));
    return table;
}

SampleView rows_view(const SampleRows& x, const SampleRows& y) {
    return SampleView{x.data, x.cols, x.stride, y.data, y.cols, x.rows};
}

// What validation_data holds where it is not a pair of numpy arrays: "str", "a tuple of 3
// items", "a tuple with y_val of type list".
PyRef validation_given(PyObject* data) {
    if (!PyTuple_Check(data) && !PyList_Check(data))
        return PyRef::steal(PyUnicode_FromString(Py_TYPE(data)->tp_name));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(data);
    if (count != 2)
        return PyRef::steal(PyUnicode_FromFormat("a %s of %zd item%s", Py_TYPE(data)->tp_name,
                                                 count, count == 1 ? "" : "s"));
    const bool x_array = PyArray_Check(PySequence_Fast_GET_ITEM(data, 0));
    PyObject* wrong = PySequence_Fast_GET_ITEM(data, x_array ? 1 : 0);
    return PyRef::steal(PyUnicode_FromFormat("a %s with %s of type %s", Py_TYPE(data)->tp_name,
                                             x_array ? "y_val" : "x_val", Py_TYPE(wrong)->tp_name));
}

// The two arrays of validation_data, which must be a tuple (or list) of two numpy arrays. The
// references are our own: converting x_train may run Python code (the __float__ of an object
// array's items) that empties the list. The true item count is read, not a subclass's __len__.
std::pair<PyRef, PyRef> validation_arrays(PyObject* data) {
    const bool pair =
        (PyTuple_Check(data) || PyList_Check(data)) && PySequence_Fast_GET_SIZE(data) == 2;
    PyObject* x = pair ? PySequence_Fast_GET_ITEM(data, 0) : nullptr;
    PyObject* y = pair ? PySequence_Fast_GET_ITEM(data, 1) : nullptr;
    if (!pair || !PyArray_Check(x) || !PyArray_Check(y)) {
        const PyRef given = validation_given(data);
        raise_format(PyExc_TypeError,
                     "validation_data must be None or a tuple (x_val, y_val) of two numpy arrays, "
                     "got %U",
                     given.get());
    }
    return {PyRef::borrow(x), PyRef::borrow(y)};
}

// The arrays whose rows the run reads where they lie, held until it ends.
struct HeldSamples {
    SampleRows x, y, x_val, y_val;
};

// Reads the training and validation arrays into the run. Native float64 rows are read where they
// lie (the SampleRows hold the arrays until the run ends); training rows that are shuffled into
// batches are the run's own copy.
HeldSamples read_samples(DatasetEvolution& run, PyObject* x_train, PyObject* y_train,
                         const std::pair<PyRef, PyRef>& validation, const Network& start) {
    HeldSamples held;
    SampleRows x = read_sample_rows(reinterpret_cast<PyArrayObject*>(x_train), "x_train");
    SampleRows y = read_sample_rows(reinterpret_cast<PyArrayObject*>(y_train), "y_train", true);
    check_shapes(x, y, "x_train", "y_train", start);
    warn_non_finite(x, "x_train");
    warn_non_finite(y, "y_train");
    if (batch_count(x.rows, run.batch_size) > 1) {
        run.x = owned_rows(std::move(x));
        run.y = owned_rows(std::move(y));
    } else {
        run.training_in_place = rows_view(x, y);
        held.x = std::move(x);
        held.y = std::move(y);
    }
    if (validation.first) {
        held.x_val =
            read_sample_rows(reinterpret_cast<PyArrayObject*>(validation.first.get()), "x_val");
        held.y_val = read_sample_rows(reinterpret_cast<PyArrayObject*>(validation.second.get()),
                                      "y_val", true);
        check_shapes(held.x_val, held.y_val, "x_val", "y_val", start);
        warn_non_finite(held.x_val, "x_val");
        warn_non_finite(held.y_val, "y_val");
        run.validation_in_place = rows_view(held.x_val, held.y_val);
    }
    return held;
}

// The run works on its own copies, without the interpreter lock but for the signal check before
// each generation, the callbacks after each epoch (and the console, which takes the lock itself).
RunResult run_unlocked(DatasetEvolution& run, Optimizer& optimizer, const Network& start,
                       std::optional<CallbackRun>& hooks) {
    const bool has_validation = run.validation_in_place.has_value();
    RunResult result;
    GilRelease unlocked;
    EpochHook after_epoch;
    if (hooks)
        after_epoch = [&](Network best, const EpochRecord& record, std::int32_t epoch) {
            GilRelease::Held held(unlocked);
            return hooks->epoch_end(std::move(best), epoch,
                                    dataset_logs(record, run.losses, has_validation, run.show_size,
                                                 optimizer.figures()));
        };
    result = run_dataset_evolution(
        start, run, optimizer,
        [&] {
            GilRelease::Held held(unlocked);
            check_signals();
        },
        after_epoch);
    return result;
}

}  // namespace

PyObject* model_evolve(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        ModelObject* model = reinterpret_cast<ModelObject*>(self);
        const ModelState& state = model_state(self);
        if (!state.compiled)
            raise(PyExc_RuntimeError,
                  "You must compile your model before evolving. Use `model.compile(loss)`.");
        if (!state.has_loss)
            raise(PyExc_RuntimeError,
                  "Please set the loss function uring compilation. Use `model.compile(loss)`.");

        static const char* keywords[] = {"x_train",    "y_train",   "pop_size",
                                         "batch_size", "epochs",    "validation_data",
                                         "verbose",    "callbacks", nullptr};
        PyObject *x_train = nullptr, *y_train = nullptr, *validation_data = Py_None;
        PyObject* callbacks = Py_None;
        DatasetEvolution run;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!O!|iiiOiO", const_cast<char**>(keywords),
                                         &PyArray_Type, &x_train, &PyArray_Type, &y_train,
                                         &run.pop_size, &run.batch_size, &run.epochs,
                                         &validation_data, &run.verbose, &callbacks))
            return nullptr;
        // What the run uses is read now: converting the arrays may run Python code (the
        // __float__ of an object array's items) that compiles or rebuilds this very model.
        const std::shared_ptr<const Network> start = state.network;
        run.losses = state.losses;
        run.show_size = !state.monitors.empty();
        check_evolution_counts(run.pop_size, run.epochs, *start);
        const std::unique_ptr<Optimizer> optimizer = optimizer_for(state, run.pop_size);
        if (run.batch_size < 1 && run.batch_size != -1)
            raise_format(PyExc_ValueError, "batch_size must be positive or -1, got %d",
                         run.batch_size);
        std::pair<PyRef, PyRef> validation;
        if (validation_data != Py_None) validation = validation_arrays(validation_data);
        const HeldSamples held = read_samples(run, x_train, y_train, validation, *start);

        // The model keeps its network unless the run ends well.
        std::optional<CallbackRun> hooks;
        if (callbacks != Py_None) hooks.emplace(model, callbacks);
        RunResult result = run_unlocked(run, *optimizer, *start, hooks);
        PyRef history =
            dataset_history(result, run.losses, run.validation_in_place.has_value(), run.show_size);
        if (hooks)
            hooks->train_end();  // the model already shows the last epoch's best network
        else
            set_model_network(model, std::make_shared<const Network>(std::move(result.best)));
        return history.release();
    });
}

}  // namespace tessaron
