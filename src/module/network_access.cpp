// get_network and set_network of Model and Genome: the network as plain Python data, for the
// pure-Python modules (plotting, callbacks, islands, environments) and for users.
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "interchange/network_parts.hpp"
#include "module/array_conversion.hpp"
#include "module/genome.hpp"
#include "module/model.hpp"
#include "module/model_methods.hpp"
#include "module/python_access.hpp"
#include "network/activation.hpp"

namespace tessaron {
namespace {

void put(PyObject* dict, const char* key, PyRef value) {
    if (PyDict_SetItemString(dict, key, value.get()) < 0) throw PythonError{};
}

PyRef bias_list(const Network& network) {
    PyRef list = PyRef::steal(PyList_New(network.size));
    for (std::int32_t k = 0; k < network.size; ++k)
        PyList_SET_ITEM(list.get(), k,
                        PyRef::steal(PyFloat_FromDouble(network.biases[k])).release());
    return list;
}

PyRef activation_list(const Network& network) {
    PyRef list = PyRef::steal(PyList_New(network.size));
    for (std::int32_t k = 0; k < network.size; ++k) {
        const std::int32_t kind = network.activations[k];
        const std::string_view name =
            kind >= 0 && kind < activation_kind_count ? activation_names[kind] : "unknown";
        PyList_SET_ITEM(list.get(), k,
                        PyRef::steal(PyUnicode_FromStringAndSize(
                                         name.data(), static_cast<Py_ssize_t>(name.size())))
                            .release());
    }
    return list;
}

PyRef connection_list(const Network& network) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(connection_count(network))));
    for (std::int32_t from = 0; from < network.size; ++from)
        for (std::int32_t e = network.out_begin(from); e < network.out_end(from); ++e)
            PyList_SET_ITEM(
                list.get(), e,
                PyRef::steal(Py_BuildValue("(iid)", from, network.targets[e], network.weights[e]))
                    .release());
    return list;
}

// network[key], which must be there; our own reference, as reading it may run Python code that
// changes the dict.
PyRef entry(PyObject* network, const char* key) {
    PyObject* value = PyDict_GetItemString(network, key);
    if (value == nullptr && !PyErr_Occurred())
        raise_format(PyExc_ValueError, "network lacks the key '%s'", key);
    if (value == nullptr) throw PythonError{};
    return PyRef::borrow(value);
}

long long count_of(PyObject* network, const char* key) {
    const PyRef held = entry(network, key);
    PyObject* value = held.get();
    if (!PyLong_Check(value) || PyBool_Check(value))
        raise_format(PyExc_TypeError, "network['%s'] must be an int, not %s", key,
                     Py_TYPE(value)->tp_name);
    const long long number = PyLong_AsLongLong(value);
    if (number == -1 && PyErr_Occurred()) throw PythonError{};
    return number;
}

// The numbers under `key`, a list of `dimensions` dimensions (or an empty one), as a table.
SampleMatrix numbers_of(PyObject* network, const char* key, int dimensions, const char* items) {
    const std::string what = std::string("network['") + key + "']";
    const PyRef array =
        PyRef::steal(PyArray_FromAny(entry(network, key).get(), PyArray_DescrFromType(NPY_DOUBLE),
                                     0, 0, NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
    auto* numbers = reinterpret_cast<PyArrayObject*>(array.get());
    if (PyArray_NDIM(numbers) != dimensions && PyArray_SIZE(numbers) > 0)
        raise_format(PyExc_ValueError, "%s must be a list of %s, not of %d dimensions",
                     what.c_str(), items, PyArray_NDIM(numbers));
    if (PyArray_SIZE(numbers) == 0) return SampleMatrix(0, dimensions == 2 ? 3 : 1);
    return to_sample_matrix(numbers, what.c_str());
}

NetworkParts parts_of(PyObject* network) {
    if (!PyDict_Check(network))
        raise_format(PyExc_TypeError, "network must be a dict, not %s", Py_TYPE(network)->tp_name);
    static const char* keys[] = {"inputs", "outputs", "biases", "activations", "connections"};
    PyObject *key, *value;
    Py_ssize_t position = 0;
    while (PyDict_Next(network, &position, &key, &value)) {
        bool known = false;
        for (const char* name : keys)
            known =
                known || (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0);
        if (!known) raise_format(PyExc_ValueError, "network has the unexpected key %R", key);
    }
    NetworkParts parts;
    parts.inputs = count_of(network, "inputs");
    parts.outputs = count_of(network, "outputs");
    parts.biases = numbers_of(network, "biases", 1, "numbers").values;
    const PyRef names = tuple_of(entry(network, "activations").get(), "network['activations']");
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(names.get()); ++k)
        parts.activations.push_back(
            text_of(tuple_item(names, k), "network['activations'][" + std::to_string(k) + "]"));
    parts.connections = numbers_of(network, "connections", 2, "(source, target, weight) tuples");
    return parts;
}

// The plain form of a network held by the caller (building the lists may run Python code, a
// garbage-collection finaliser, that replaces the object's network).
PyObject* plain_network(const std::shared_ptr<const Network>& held) {
    PyRef dict = PyRef::steal(PyDict_New());
    put(dict.get(), "inputs", PyRef::steal(PyLong_FromLong(held->inputs)));
    put(dict.get(), "outputs", PyRef::steal(PyLong_FromLong(held->outputs)));
    put(dict.get(), "biases", bias_list(*held));
    put(dict.get(), "activations", activation_list(*held));
    put(dict.get(), "connections", connection_list(*held));
    return dict.release();
}

std::shared_ptr<const Network> network_of(PyObject* network) {
    return std::make_shared<const Network>(network_from_parts(parts_of(network)));
}

}  // namespace

PyObject* model_get_network(PyObject* self, PyObject*) {
    return guarded([&] { return plain_network(model_state(self).network); });
}

PyObject* model_set_network(PyObject* self, PyObject* network) {
    return guarded([&]() -> PyObject* {
        model_state(self);  // refuses an object that Model.__new__ did not make
        set_model_network(reinterpret_cast<ModelObject*>(self), network_of(network));
        Py_RETURN_NONE;
    });
}

PyObject* genome_get_network(PyObject* self, PyObject*) {
    return guarded([&] { return plain_network(genome_state(self).network); });
}

PyObject* genome_set_network(PyObject* self, PyObject* network) {
    return guarded([&]() -> PyObject* {
        GenomeState& state = genome_state(self);
        std::shared_ptr<const Network> built = network_of(network);
        state.inputs = built->inputs;
        state.outputs = built->outputs;
        state.network = std::move(built);
        Py_RETURN_NONE;
    });
}

}  // namespace tessaron
