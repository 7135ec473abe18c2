// Model.func_evolve: evolution against the user's Python fitness function.
#include <optional>

#include "evolution/function_evolution.hpp"
#include "module/array_conversion.hpp"
#include "module/beta.hpp"
#include "module/callback_hooks.hpp"
#include "module/genome.hpp"
#include "module/gil.hpp"
#include "module/history.hpp"
#include "module/model.hpp"
#include "module/model_methods.hpp"

namespace tessaron {
namespace {

// Replaces the pending exception with a TypeError that says what train_func should return and
// keeps the original reason, then throws.
[[noreturn]] void refuse_result(PyObject* result, std::size_t genomes) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyErr_Format(PyExc_TypeError,
                 "train_func must return numeric losses, one per genome (%zu genomes); it returned "
                 "%s, which cannot be converted: %S",
                 genomes, Py_TYPE(result)->tp_name, value ? value : Py_None);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    throw PythonError{};
}

// The losses train_func returned: anything numpy turns into a numeric array of one value per
// genome, or of one row per genome whose first column is the loss.
ScoreRows losses_from_result(PyObject* result, std::size_t genomes) {
    PyObject* converted = PyArray_FromAny(result, nullptr, 0, 0, 0, nullptr);
    if (converted == nullptr) refuse_result(result, genomes);
    PyRef array = PyRef::steal(converted);
    auto* numbers = reinterpret_cast<PyArrayObject*>(array.get());
    const int type = PyArray_TYPE(numbers);
    if (!(PyTypeNum_ISBOOL(type) || PyTypeNum_ISINTEGER(type) || PyTypeNum_ISFLOAT(type) ||
          PyTypeNum_ISOBJECT(type)))
        raise_format(PyExc_TypeError,
                     "train_func must return numeric losses, one per genome (%zu genomes); it "
                     "returned %s of dtype %s",
                     genomes, Py_TYPE(result)->tp_name, PyArray_DESCR(numbers)->typeobj->tp_name);
    const int dimensions = PyArray_NDIM(numbers);
    if (dimensions < 1 || dimensions > 2)
        raise_format(PyExc_ValueError,
                     "train_func must return a 1-d array of losses or a 2-d array whose first "
                     "column holds them, one row per genome (%zu genomes); it returned %s with %d "
                     "dimensions",
                     genomes, Py_TYPE(result)->tp_name, dimensions);
    SampleMatrix table;
    try {
        table = to_sample_matrix(numbers, "the result of train_func");
    } catch (const PythonError&) {
        refuse_result(result, genomes);
    }
    if (static_cast<std::size_t>(table.rows) < genomes || table.cols < 1)
        raise_format(PyExc_ValueError,
                     "train_func must return one loss per genome: it got %zu genomes and returned "
                     "an array of %d rows and %d columns",
                     genomes, table.rows, table.cols);
    ScoreRows rows(genomes);
    for (std::size_t i = 0; i < genomes; ++i) {
        const double* row = table.row(static_cast<std::int32_t>(i));
        rows[i].assign(row, row + table.cols);
    }
    return rows;
}

// Scores a pool with train_func: a list of genomes (copies with engines of their own) in, one
// loss per genome out. Where `seen` is given, each genome records the rows it is given to
// predict, and `seen` gets what the pool's were given, merged in pool order (so that the order
// of the calls does not matter).
ScoreFunction python_scores(PyObject* train_func, std::shared_ptr<InputStatistics> seen) {
    return [train_func, seen](const std::vector<Network>& pool) {
        PyRef genomes = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(pool.size())));
        std::vector<std::shared_ptr<InputStatistics>> records;
        for (std::size_t i = 0; i < pool.size(); ++i) {
            PyRef genome =
                make_genome(std::make_shared<const Network>(copy_with_fresh_engine(pool[i])));
            if (seen) {
                records.push_back(std::make_shared<InputStatistics>());
                genome_state(genome.get()).seen_inputs = records.back();
            }
            PyList_SET_ITEM(genomes.get(), static_cast<Py_ssize_t>(i), genome.release());
        }
        PyRef result = PyRef::steal(PyObject_CallOneArg(train_func, genomes.get()));
        genomes.reset();
        ScoreRows rows = losses_from_result(result.get(), pool.size());
        if (seen) {
            *seen = InputStatistics{};
            for (const auto& record : records) merge_input_statistics(*seen, *record);
        }
        return rows;
    };
}

// The attribute `name` of `object`, or none where it has no such attribute.
PyRef optional_attribute(PyObject* object, const char* name) {
    PyObject* value = PyObject_GetAttrString(object, name);
    if (value != nullptr) return PyRef::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    return PyRef();
}

// Whether train_func normalises the inputs it gives its genomes itself, as its callback says
// with a true `normalizes_inputs` (tessaron.gym.EpisodeFitness's does).
bool normalizes_inputs(PyObject* train_func) {
    const PyRef callback = optional_attribute(train_func, "tessaron_callback");
    if (!callback) return false;
    const PyRef flag = optional_attribute(callback.get(), "normalizes_inputs");
    if (!flag) return false;
    const int truth = PyObject_IsTrue(flag.get());
    if (truth < 0) throw PythonError{};
    return truth == 1;
}

// Scores an epoch's best with validation_func.
ValidationFunction python_validation(PyObject* validation_func) {
    return [validation_func](const Network& best) {
        PyRef genome = make_genome(std::make_shared<const Network>(copy_with_fresh_engine(best)));
        PyRef result = PyRef::steal(PyObject_CallOneArg(validation_func, genome.get()));
        const double loss = PyFloat_AsDouble(result.get());
        if (loss == -1.0 && PyErr_Occurred()) throw PythonError{};
        return loss;
    };
}

}  // namespace

PyObject* model_func_evolve(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"train_func",      "pop_size",  "epochs", "verbose",
                                     "validation_func", "callbacks", nullptr};
    PyObject* train_func = nullptr;
    PyObject* validation_func = Py_None;
    PyObject* callbacks = Py_None;
    FunctionEvolution run;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|iiiOO", const_cast<char**>(keywords),
                                     &train_func, &run.pop_size, &run.epochs, &run.verbose,
                                     &validation_func, &callbacks))
        return nullptr;
    return guarded([&]() -> PyObject* {
        ModelObject* model = reinterpret_cast<ModelObject*>(self);
        model_state(self);  // refuses an object that Model.__new__ did not make
        check_evolution_counts(run.pop_size, run.epochs, *model->state->network);
        const std::unique_ptr<Optimizer> optimizer = optimizer_for(*model->state, run.pop_size);
        run.show_size = !model->state->monitors.empty();
        const bool has_validation = validation_func != Py_None;

        // The search may take the inputs' scale from what the genomes are given to predict,
        // unless train_func normalises them itself.
        std::shared_ptr<InputStatistics> seen;
        if (!normalizes_inputs(train_func)) seen = std::make_shared<InputStatistics>();
        run.inputs_seen = seen;
        const ScoreFunction score = python_scores(train_func, seen);
        ValidationFunction validate;
        if (has_validation) validate = python_validation(validation_func);
        const std::shared_ptr<const Network> start = model->state->network;
        std::optional<CallbackRun> hooks;
        // A train_func may bring a callback of its own (tessaron.gym.EpisodeFitness counts its
        // environment steps and folds its observation statistics into the model with one).
        const int brings_callback = PyObject_HasAttrString(train_func, "tessaron_callback");
        if (callbacks != Py_None || brings_callback) {
            const PyRef given =
                callbacks != Py_None ? PyRef::borrow(callbacks) : PyRef::steal(PyList_New(0));
            hooks.emplace(model, given.get(), train_func);
        }
        EpochHook after_epoch;
        if (hooks)
            after_epoch = [&](Network best, const EpochRecord& record, std::int32_t epoch) {
                return hooks->epoch_end(
                    std::move(best), epoch,
                    function_logs(record, has_validation, run.show_size, optimizer->figures()));
            };
        RunResult result = run_function_evolution(*start, run, *optimizer, score, validate,
                                                  check_signals, after_epoch);
        PyRef history = function_history(result, has_validation, run.show_size);
        if (hooks) hooks->train_end(history.get());  // the model shows the last epoch's best
        // A run in which no loss was ever a number learned nothing: the model keeps its network.
        if (!result.scored)
            set_model_network(model, start);
        else if (!hooks)
            set_model_network(model, std::make_shared<const Network>(std::move(result.best)));
        return history.release();
    });
}

}  // namespace tessaron
