// Model.to_keras: one single-unit Dense layer per node, named for the node, wired like the
// network, with the weights copied in once the Keras model is built.
#include <cstddef>
#include <string>
#include <vector>

#include "interchange/export_plan.hpp"
#include "interchange/node_names.hpp"
#include "module/model.hpp"
#include "module/model_methods.hpp"
#include "module/python_access.hpp"

namespace tessaron {
namespace {

// What the export needs of the keras package.
struct KerasApi {
    PyRef activations, dense, input, concatenate, model;
};

KerasApi load_keras() {
    const PyRef keras = PyRef::steal(PyImport_ImportModule("keras"));
    const PyRef layers = PyRef::steal(PyObject_GetAttrString(keras.get(), "layers"));
    KerasApi api;
    api.activations = PyRef::steal(PyObject_GetAttrString(keras.get(), "activations"));
    api.dense = PyRef::steal(PyObject_GetAttrString(layers.get(), "Dense"));
    api.input = PyRef::steal(PyObject_GetAttrString(layers.get(), "Input"));
    api.concatenate = PyRef::steal(PyObject_GetAttrString(layers.get(), "Concatenate"));
    api.model = PyRef::steal(PyObject_GetAttrString(keras.get(), "Model"));
    return api;
}

// A fresh Concatenate layer called on the tensors, in the order given.
PyRef concatenated(const KerasApi& keras, const std::vector<const PyRef*>& tensors) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(tensors.size())));
    for (std::size_t m = 0; m < tensors.size(); ++m)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(m),
                        PyRef::borrow(tensors[m]->get()).release());
    const PyRef layer = PyRef::steal(PyObject_CallNoArgs(keras.concatenate.get()));
    return PyRef::steal(PyObject_CallOneArg(layer.get(), list.get()));
}

// The output tensor of node k's Dense layer, called on the input tensor for an input node and on
// its sources otherwise.
PyRef node_layer_output(const KerasApi& keras, const ExportPlan& plan, std::int32_t k,
                        const PyRef& input, const std::vector<PyRef>& node_outputs) {
    const NodePlan& node = plan.nodes[static_cast<std::size_t>(k)];
    const PyRef activation = PyRef::steal(
        PyObject_GetAttrString(keras.activations.get(), std::string(node.activation).c_str()));
    PyRef layer_input;
    if (k < plan.inputs) {
        layer_input = PyRef::borrow(input.get());
    } else {
        std::vector<const PyRef*> sources;
        for (std::int32_t j : node.sources) sources.push_back(&node_outputs[j]);
        layer_input =
            sources.size() == 1 ? PyRef::borrow(sources[0]->get()) : concatenated(keras, sources);
    }
    const std::string name = node_name(k);
    const PyRef arguments = PyRef::steal(Py_BuildValue("(i)", 1));
    const PyRef keywords =
        PyRef::steal(Py_BuildValue("{s:O,s:s#}", "activation", activation.get(), "name",
                                   name.data(), static_cast<Py_ssize_t>(name.size())));
    // An input node only carries its column: training in Keras must not turn the pass-through
    // into something the network cannot hold.
    if (k < plan.inputs && PyDict_SetItemString(keywords.get(), "trainable", Py_False) < 0)
        throw PythonError{};
    const PyRef layer =
        PyRef::steal(PyObject_Call(keras.dense.get(), arguments.get(), keywords.get()));
    return PyRef::steal(PyObject_CallOneArg(layer.get(), layer_input.get()));
}

PyRef float64_array(const std::vector<double>& values, int dimensions) {
    npy_intp shape[2] = {static_cast<npy_intp>(values.size()), 1};
    PyRef array = PyRef::steal(PyArray_ZEROS(dimensions, shape, NPY_DOUBLE, 0));
    auto* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    for (std::size_t i = 0; i < values.size(); ++i) data[i] = values[i];
    return array;
}

// Gives every node layer of the built model its kernel and bias, finding the node by the whole
// suffix of the layer's name.
void set_node_weights(PyObject* keras_model, const ExportPlan& plan) {
    const auto size = static_cast<std::int32_t>(plan.nodes.size());
    const PyRef layers = tuple_of(attribute(keras_model, "layers", "the Keras model").get(),
                                  "the layers of the Keras model");
    std::vector<char> done(plan.nodes.size(), 0);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(layers.get()); ++i) {
        PyObject* layer = tuple_item(layers, i);
        const std::string name =
            text_of(attribute(layer, "name", "a Keras layer").get(), "a Keras layer name");
        if (!is_node_name(name)) continue;
        const auto k = parse_node_index(name);
        if (!k || *k >= size || done[static_cast<std::size_t>(*k)])
            raise_format(PyExc_RuntimeError, "the built Keras model has an unexpected layer '%s'",
                         name.c_str());
        const NodePlan& node = plan.nodes[static_cast<std::size_t>(*k)];
        const PyRef kernel = float64_array(node.kernel, 2);
        const PyRef bias = float64_array({node.bias}, 1);
        const PyRef weights = PyRef::steal(Py_BuildValue("[OO]", kernel.get(), bias.get()));
        PyRef::steal(PyObject_CallMethod(layer, "set_weights", "(O)", weights.get()));
        done[static_cast<std::size_t>(*k)] = 1;
    }
    for (std::int32_t k = 0; k < size; ++k)
        if (!done[static_cast<std::size_t>(k)])
            raise_format(PyExc_RuntimeError, "the built Keras model has no layer '%s'",
                         node_name(k).c_str());
}

PyRef build_keras_model(const ExportPlan& plan) {
    const KerasApi keras = load_keras();
    const PyRef input =
        PyRef::steal(PyObject_CallFunction(keras.input.get(), "((i))", plan.inputs));
    const auto size = static_cast<std::int32_t>(plan.nodes.size());
    std::vector<PyRef> node_outputs;
    node_outputs.reserve(plan.nodes.size());
    for (std::int32_t k = 0; k < size; ++k)
        node_outputs.push_back(node_layer_output(keras, plan, k, input, node_outputs));
    PyRef output;
    if (plan.outputs == 1) {
        output = PyRef::borrow(node_outputs.back().get());
    } else {
        std::vector<const PyRef*> columns;
        for (std::int32_t k = size - plan.outputs; k < size; ++k)
            columns.push_back(&node_outputs[static_cast<std::size_t>(k)]);
        output = concatenated(keras, columns);
    }
    PyRef keras_model = PyRef::steal(
        PyObject_CallFunctionObjArgs(keras.model.get(), input.get(), output.get(), nullptr));
    set_node_weights(keras_model.get(), plan);
    return keras_model;
}

}  // namespace

PyObject* model_to_keras(PyObject* self, PyObject*) {
    return guarded([&] {
        // The plan is a copy: the Keras calls run Python code, which could replace the model's
        // network.
        const ExportPlan plan = export_plan(*model_state(self).network, "Keras");
        return build_keras_model(plan).release();
    });
}

}  // namespace tessaron
