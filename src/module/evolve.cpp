// Model.evolve: argument checks, data conversion, the run, and the history dictionary.
#include <cmath>
#include <string>

#include "evolution/dataset_evolution.hpp"
#include "evolution/losses.hpp"
#include "module/array_conversion.hpp"
#include "module/beta.hpp"
#include "module/gil.hpp"
#include "module/history.hpp"
#include "module/model.hpp"
#include "module/model_methods.hpp"

namespace tessaron {
namespace {

void check_shapes(const SampleMatrix& x, const SampleMatrix& y, const char* x_name,
                  const char* y_name, const Network& network) {
    if (x.rows == 0) raise_format(PyExc_ValueError, "%s is empty: it needs at least one sample", x_name);
    if (y.rows == 0) raise_format(PyExc_ValueError, "%s is empty: it needs at least one sample", y_name);
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

// The two arrays of validation_data, which must be a tuple (or list) of two numpy arrays. The
// references are our own: converting x_train may run Python code (the __float__ of an object
// array's items) that empties the list. The true item count is read, not a subclass's __len__.
std::pair<PyRef, PyRef> validation_arrays(PyObject* data) {
    const bool pair = (PyTuple_Check(data) || PyList_Check(data)) &&
                      PySequence_Fast_GET_SIZE(data) == 2;
    PyObject* x = pair ? PySequence_Fast_GET_ITEM(data, 0) : nullptr;
    PyObject* y = pair ? PySequence_Fast_GET_ITEM(data, 1) : nullptr;
    if (!pair || !PyArray_Check(x) || !PyArray_Check(y))
        raise_format(PyExc_TypeError,
                     "validation_data must be None or a tuple (x_val, y_val) of two numpy arrays, "
                     "got %s",
                     Py_TYPE(data)->tp_name);
    return {PyRef::borrow(x), PyRef::borrow(y)};
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

        static const char* keywords[] = {"x_train", "y_train", "pop_size", "batch_size",
                                         "epochs",  "validation_data", "verbose", nullptr};
        PyObject *x_train = nullptr, *y_train = nullptr, *validation_data = Py_None;
        DatasetEvolution run;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!O!|iiiOi", const_cast<char**>(keywords),
                                         &PyArray_Type, &x_train, &PyArray_Type, &y_train,
                                         &run.pop_size, &run.batch_size, &run.epochs,
                                         &validation_data, &run.verbose))
            return nullptr;
        // What the run uses is read now: converting the arrays may run Python code (the
        // __float__ of an object array's items) that compiles or rebuilds this very model.
        const std::shared_ptr<const Network> start = state.network;
        run.losses = state.losses;
        run.show_size = !state.monitors.empty();
        check_evolution_counts(run.pop_size, run.epochs, *start);
        run.beta = beta_settings_of(state, run.pop_size);
        if (run.batch_size < 1 && run.batch_size != -1)
            raise_format(PyExc_ValueError, "batch_size must be positive or -1, got %d",
                         run.batch_size);
        std::pair<PyRef, PyRef> validation;
        if (validation_data != Py_None) validation = validation_arrays(validation_data);

        run.x = to_sample_matrix(reinterpret_cast<PyArrayObject*>(x_train), "x_train");
        run.y = to_sample_matrix(reinterpret_cast<PyArrayObject*>(y_train), "y_train");
        check_shapes(run.x, run.y, "x_train", "y_train", *start);
        if (validation.first) {
            run.x_val = to_sample_matrix(
                reinterpret_cast<PyArrayObject*>(validation.first.get()), "x_val");
            run.y_val = to_sample_matrix(
                reinterpret_cast<PyArrayObject*>(validation.second.get()), "y_val");
            check_shapes(*run.x_val, *run.y_val, "x_val", "y_val", *start);
        }

        // The run works on its own copies, without the interpreter lock but for the signal check
        // before each generation (and the console, which takes the lock itself); the model
        // changes only once the run has ended well.
        EvolutionResult result;
        {
            GilRelease unlocked;
            result = run_dataset_evolution(*start, run, [&] {
                GilRelease::Held held(unlocked);
                check_signals();
            });
        }
        PyRef history = dataset_history(result, run.losses, run.x_val.has_value(), run.show_size);
        set_model_network(model, std::make_shared<const Network>(std::move(result.best)));
        return history.release();
    });
}

}  // namespace tessaron
