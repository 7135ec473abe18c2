// Model.compile and Model.evaluate: the compile state and the compiled losses on a dataset.
#include <string_view>

#include "evolution/losses.hpp"
#include "module/alpha.hpp"
#include "module/array_conversion.hpp"
#include "module/beta.hpp"
#include "module/model.hpp"
#include "module/model_methods.hpp"

namespace tessaron {
namespace {

[[noreturn]] void raise_unknown(const char* what, PyObject* name) {
    PyErr_Format(PyExc_ValueError, "%s '%U' not known.\n", what, name);
    throw PythonError{};
}

// The model's new optimizer: a fresh Alpha for the name "alpha" (or no argument), a fresh Beta
// for "beta", or the given Alpha or Beta instance itself.
PyRef resolve_optimizer(PyObject* optimizer) {
    if (optimizer == nullptr)
        return PyRef::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&Alpha_Type)));
    if (PyUnicode_Check(optimizer)) {
        if (PyUnicode_CompareWithASCIIString(optimizer, "alpha") == 0 && !PyErr_Occurred())
            return PyRef::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&Alpha_Type)));
        PyErr_Clear();
        if (PyUnicode_CompareWithASCIIString(optimizer, "beta") == 0 && !PyErr_Occurred())
            return PyRef::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&Beta_Type)));
        PyErr_Clear();
        raise_unknown("Optimizer", optimizer);
    }
    const int is_alpha = PyObject_IsInstance(optimizer, reinterpret_cast<PyObject*>(&Alpha_Type));
    if (is_alpha < 0) throw PythonError{};
    const int is_beta =
        is_alpha ? 0 : PyObject_IsInstance(optimizer, reinterpret_cast<PyObject*>(&Beta_Type));
    if (is_beta < 0) throw PythonError{};
    if (is_alpha == 0 && is_beta == 0)
        raise(PyExc_ValueError,
              "The given optimizer is not an optimizer and not the name of an optimizer.\n");
    return PyRef::borrow(optimizer);
}

// Calls found(kind) for each name of a list (or tuple) of str, in order; an unknown name fails
// with the message of `what`.
template <class Lookup, class Found>
void for_each_name(PyObject* names, const char* argument, const char* what, Lookup&& lookup,
                   Found&& found) {
    if (!PyList_Check(names) && !PyTuple_Check(names))
        raise_format(PyExc_TypeError, "%s must be a list of str, got %s", argument,
                     Py_TYPE(names)->tp_name);
    // A list may change while we look at it; hold a tuple of its items instead.
    PyRef items = PyRef::steal(PySequence_Tuple(names));
    const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyTuple_GET_ITEM(items.get(), i);
        if (!PyUnicode_Check(name))
            raise_format(PyExc_TypeError, "%s[%zd] must be a str, got %s", argument, i,
                         Py_TYPE(name)->tp_name);
        Py_ssize_t length = 0;
        const char* text = PyUnicode_AsUTF8AndSize(name, &length);
        if (text == nullptr) {  // lone surrogates: no table name can match
            PyErr_Clear();
            raise_unknown(what, name);
        }
        const auto kind = lookup(std::string_view(text, static_cast<std::size_t>(length)));
        if (!kind) raise_unknown(what, name);
        found(*kind);
    }
}

}  // namespace

PyObject* model_compile(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"optimizer", "loss", "metrics", "monitors", nullptr};
    PyObject* optimizer = nullptr;
    const char* loss = "";
    PyObject* metrics = nullptr;
    PyObject* monitors = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OsOO", const_cast<char**>(keywords),
                                     &optimizer, &loss, &metrics, &monitors))
        return nullptr;
    return guarded([&]() -> PyObject* {
        ModelState& state = model_state(self);
        // A failure below leaves the model uncompiled with whatever was set before it, the way
        // a sequence of assignments would.
        state.compiled = false;
        state.has_loss = false;
        state.losses.clear();
        state.optimizer.reset();
        state.optimizer = resolve_optimizer(optimizer);
        if (*loss != '\0') {
            const auto kind = loss_from_name(loss);
            if (!kind) {
                PyErr_Format(PyExc_ValueError, "Loss '%s' not known.\n", loss);
                throw PythonError{};
            }
            state.losses.push_back(*kind);
            state.has_loss = true;
        }
        if (metrics != nullptr && metrics != Py_None)
            for_each_name(metrics, "metrics", "Metric", loss_from_name,
                          [&](std::int32_t kind) { state.losses.push_back(kind); });
        state.monitors.clear();
        if (monitors != nullptr && monitors != Py_None)
            for_each_name(monitors, "monitors", "Monitor", monitor_from_name,
                          [&](std::int32_t kind) { state.monitors.push_back(kind); });
        state.compiled = true;
        Py_RETURN_NONE;
    });
}

PyObject* model_evaluate(PyObject* self, PyObject* args) {
    return guarded([&]() -> PyObject* {
        const ModelState& state = model_state(self);
        if (!state.compiled)
            raise(PyExc_RuntimeError,
                  "You must compile your model before evaluating. Use `model.compile(loss)`.");
        PyObject *x_array = nullptr, *y_array = nullptr;
        if (!PyArg_ParseTuple(args, "O!O!", &PyArray_Type, &x_array, &PyArray_Type, &y_array))
            return nullptr;
        // Read in place where the layout allows; y's rows must lie exactly their width apart.
        const SampleRows x = read_sample_rows(reinterpret_cast<PyArrayObject*>(x_array), "x");
        const SampleRows y = read_sample_rows(reinterpret_cast<PyArrayObject*>(y_array), "y", true);
        if (x.rows != y.rows)
            raise_format(PyExc_ValueError,
                         "Expected first dimension of x (%d) to be equal to the first dimension of "
                         "y (%d)",
                         x.rows, y.rows);
        // The counts of the network that is scored: converting the arrays may run Python code
        // (the __float__ of an object array's items) that rebuilds this very model.
        const std::shared_ptr<const Network> network = state.network;
        if (x.cols < network->inputs)
            raise_format(PyExc_ValueError,
                         "Expected second dimension of x (%d) to be at least the number of inputs "
                         "of the model (%d)",
                         x.cols, network->inputs);
        if (y.cols > network->outputs)
            raise_format(PyExc_ValueError,
                         "Expected second dimension of y (%d) to be at most the number of outputs "
                         "of the model (%d)",
                         y.cols, network->outputs);
        // Only the first `inputs` values of a row are read.
        const SampleView samples{x.data, x.cols, x.stride, y.data, y.cols, x.rows};
        const std::vector<double> values = evaluate_losses(*network, samples, state.losses);
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
        for (std::size_t k = 0; k < values.size(); ++k)
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k),
                            PyRef::steal(PyFloat_FromDouble(values[k])).release());
        return list.release();
    });
}

}  // namespace tessaron
