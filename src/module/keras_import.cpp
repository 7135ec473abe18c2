// tessaron.from_keras: reads the layer names, the layer graph, the weights and the activation
// names of a Keras model in the form Model.to_keras builds, and rebuilds the network from them.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "interchange/import_plan.hpp"
#include "interchange/node_names.hpp"
#include "module/array_conversion.hpp"
#include "module/model.hpp"
#include "module/module_functions.hpp"
#include "module/python_access.hpp"

namespace tessaron {
namespace {

std::string quoted_layer(const std::string& name) {
    return "the layer '" + name + "'";
}

std::string name_of(PyObject* layer, const std::string& what) {
    return text_of(attribute(layer, "name", what).get(), "the name of " + what);
}

// The layers whose outputs `layer` was called on, in argument order.
PyRef inbound_layers(PyObject* layer, const std::string& label) {
    const PyRef nodes =
        tuple_of(attribute(layer, "_inbound_nodes", label).get(), "the _inbound_nodes of " + label);
    if (PyTuple_GET_SIZE(nodes.get()) == 0)
        raise_format(PyExc_ValueError, "%s is not called on any input", label.c_str());
    PyObject* node = tuple_item(nodes, 0);
    // Keras 2 names the layers (one, or a list); Keras 3 keeps each in the history of a tensor.
    if (const PyRef layers = optional_attribute(node, "inbound_layers")) {
        if (PyList_Check(layers.get()) || PyTuple_Check(layers.get()))
            return tuple_of(layers.get(), "the inbound_layers of " + label);
        return PyRef::steal(PyTuple_Pack(1, layers.get()));
    }
    const PyRef tensors =
        tuple_of(attribute(node, "input_tensors", "the inbound node of " + label).get(),
                 "the input_tensors of " + label);
    const Py_ssize_t count = PyTuple_GET_SIZE(tensors.get());
    PyRef result = PyRef::steal(PyTuple_New(count));
    for (Py_ssize_t m = 0; m < count; ++m) {
        const PyRef history =
            attribute(tuple_item(tensors, m), "_keras_history", "an input tensor of " + label);
        PyTuple_SET_ITEM(result.get(), m,
                         PyRef::steal(PySequence_GetItem(history.get(), 0)).release());
    }
    return result;
}

// Whether the layer is a Concatenate (or derives from one): Keras's layer classes are Python
// classes, whose type name is the bare class name.
bool is_concatenate(PyObject* layer) {
    PyObject* mro = Py_TYPE(layer)->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        const char* name = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_name;
        if (name != nullptr && std::string_view(name) == "Concatenate") return true;
    }
    return false;
}

std::vector<std::string> names_of(const PyRef& layers, const std::string& label) {
    std::vector<std::string> names;
    for (Py_ssize_t m = 0; m < PyTuple_GET_SIZE(layers.get()); ++m)
        names.push_back(name_of(tuple_item(layers, m), "a layer feeding " + label));
    return names;
}

// The layers feeding a node layer: one node layer, or the node layers joined by the Concatenate
// that the node layer is called on.
std::vector<std::string> source_names(PyObject* layer, const std::string& label) {
    const PyRef inbound = inbound_layers(layer, label);
    if (PyTuple_GET_SIZE(inbound.get()) != 1)
        raise_format(PyExc_ValueError,
                     "%s is called on %zd layers; a node layer is called on one node layer or on "
                     "one Concatenate of node layers",
                     label.c_str(), PyTuple_GET_SIZE(inbound.get()));
    PyObject* source = tuple_item(inbound, 0);
    const std::string name = name_of(source, "the layer feeding " + label);
    if (is_node_name(name)) return {name};
    if (!is_concatenate(source))
        raise_format(PyExc_ValueError,
                     "the layer '%s' feeding %s is neither a node layer nor a Concatenate",
                     name.c_str(), label.c_str());
    const std::string source_label = quoted_layer(name);
    return names_of(inbound_layers(source, source_label), source_label);
}

// The width W of a shape (None, W); Keras 2 input layers report a list holding one such shape.
long long shape_width(PyObject* shape, const std::string& what) {
    PyRef dimensions = tuple_of(shape, what);
    if (PyTuple_GET_SIZE(dimensions.get()) == 1 &&
        (PyList_Check(tuple_item(dimensions, 0)) || PyTuple_Check(tuple_item(dimensions, 0))))
        dimensions = tuple_of(tuple_item(dimensions, 0), what);
    if (PyTuple_GET_SIZE(dimensions.get()) != 2)
        raise_format(PyExc_ValueError, "%s is %R; a shape (None, width) is needed", what.c_str(),
                     shape);
    return integer_of(tuple_item(dimensions, 1), "the width in " + what);
}

// The shape of model.inputs[0] or model.outputs[0].
long long model_width(PyObject* keras_model, const char* tensors_name) {
    const std::string tensors_label = std::string("the ") + tensors_name + " of the Keras model";
    const PyRef tensors =
        tuple_of(attribute(keras_model, tensors_name, "the Keras model").get(), tensors_label);
    if (PyTuple_GET_SIZE(tensors.get()) == 0)
        raise_format(PyExc_ValueError, "%s are empty", tensors_label.c_str());
    const std::string what = "the shape of " + tensors_label + "[0]";
    return shape_width(attribute(tuple_item(tensors, 0), "shape", tensors_label + "[0]").get(),
                       what);
}

// The number of inputs: the input layer's output_shape where layers have one (Keras 2), else its
// batch_shape, else the shape of the model's input.
long long input_width(PyObject* input_layer, PyObject* keras_model) {
    if (const PyRef shape = optional_attribute(input_layer, "output_shape"))
        return shape_width(shape.get(), "the output_shape of the input layer");
    if (const PyRef shape = optional_attribute(input_layer, "batch_shape"))
        return shape_width(shape.get(), "the batch_shape of the input layer");
    return model_width(keras_model, "inputs");
}

// The number of outputs when the last layer is the output Concatenate.
long long output_width(PyObject* output_layer, PyObject* keras_model) {
    if (const PyRef shape = optional_attribute(output_layer, "output_shape"))
        return shape_width(shape.get(), "the output_shape of the last layer");
    return model_width(keras_model, "outputs");
}

SampleMatrix read_array(PyObject* object, const std::string& what, int dimensions) {
    const PyRef array =
        PyRef::steal(PyArray_FromAny(object, PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                                     NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
    auto* numpy_array = reinterpret_cast<PyArrayObject*>(array.get());
    if (PyArray_NDIM(numpy_array) != dimensions)
        raise_format(PyExc_ValueError, "%s has %d dimensions; a node layer's has %d", what.c_str(),
                     PyArray_NDIM(numpy_array), dimensions);
    return to_sample_matrix(numpy_array, what.c_str());
}

NodeLayer read_node_layer(PyObject* layer, const std::string& name, std::int32_t index,
                          bool input_node) {
    const std::string label = quoted_layer(name);
    NodeLayer node;
    node.name = name;
    node.index = index;
    const PyRef get_weights = attribute(layer, "get_weights", label);
    const PyRef weights = tuple_of(PyRef::steal(PyObject_CallNoArgs(get_weights.get())).get(),
                                   "the weights of " + label);
    if (PyTuple_GET_SIZE(weights.get()) < 2)
        raise_format(PyExc_ValueError, "%s has %zd weight arrays; a kernel and a bias are needed",
                     label.c_str(), PyTuple_GET_SIZE(weights.get()));
    node.kernel = read_array(tuple_item(weights, 0), "the kernel of layer '" + name + "'", 2);
    node.bias = read_array(tuple_item(weights, 1), "the bias of layer '" + name + "'", 1).values;
    if (!input_node) node.sources = source_names(layer, label);
    const PyRef activation = attribute(layer, "activation", label);
    node.activation =
        text_of(attribute(activation.get(), "__name__", "the activation of " + label).get(),
                "the activation name of " + label);
    return node;
}

PyRef import_keras_model(PyObject* keras_model) {
    const PyRef layers = tuple_of(attribute(keras_model, "layers", "the Keras model").get(),
                                  "the layers of the Keras model");
    const Py_ssize_t count = PyTuple_GET_SIZE(layers.get());
    if (count == 0) raise(PyExc_ValueError, "the Keras model has no layers");
    std::vector<std::string> names;
    for (Py_ssize_t i = 0; i < count; ++i)
        names.push_back(
            name_of(tuple_item(layers, i), "layer " + std::to_string(i) + " of the Keras model"));
    const std::vector<std::int32_t> indices = node_indices(names);
    long long nodes = 0;
    for (std::int32_t index : indices) nodes += index >= 0;

    PyObject* last = tuple_item(layers, count - 1);
    const bool node_output = indices.back() >= 0;
    const long long inputs = input_width(tuple_item(layers, 0), keras_model);
    const long long outputs = node_output || count == 1 ? 1 : output_width(last, keras_model);
    check_node_counts(inputs, outputs, nodes);
    // From here on the counts are no larger than the number of layers.
    const auto n = static_cast<std::int32_t>(nodes);
    const auto o = static_cast<std::int32_t>(outputs);
    if (count > 1) {
        const std::string label = quoted_layer(names.back());
        if (!node_output && !is_concatenate(last))
            raise_format(PyExc_ValueError,
                         "the last layer of the Keras model, %s, is neither a node layer nor a "
                         "Concatenate of the output node layers",
                         label.c_str());
        check_output_sources(node_output ? std::vector<std::string>{names.back()}
                                         : names_of(inbound_layers(last, label), label),
                             o, n);
    }
    std::vector<NodeLayer> node_layers;
    for (Py_ssize_t i = 0; i < count; ++i)
        if (indices[i] >= 0)
            node_layers.push_back(
                read_node_layer(tuple_item(layers, i), names[i], indices[i], indices[i] < inputs));
    return new_model_with_network(
        assemble_network(static_cast<std::int32_t>(inputs), o, n, node_layers));
}

}  // namespace

PyObject* module_from_keras(PyObject*, PyObject* args) {
    PyObject* keras_model = nullptr;
    if (!PyArg_ParseTuple(args, "O", &keras_model)) return nullptr;
    return guarded([&] { return import_keras_model(keras_model).release(); });
}

}  // namespace tessaron
