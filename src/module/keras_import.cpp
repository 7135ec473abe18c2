// tessaron.from_keras: tessaron._keras_interchange reads the Keras model into names, numbers and
// arrays, and hands them, at the points where the core checks them, to the functions below.
#include <cstddef>
#include <string>
#include <vector>

#include "interchange/import_plan.hpp"
#include "module/array_conversion.hpp"
#include "module/model.hpp"
#include "module/module_functions.hpp"
#include "module/python_access.hpp"

namespace tessaron {
namespace {

std::vector<std::string> texts_of(PyObject* sequence, const char* what) {
    const PyRef items = tuple_of(sequence, what);
    std::vector<std::string> texts;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i)
        texts.push_back(text_of(tuple_item(items, i), what));
    return texts;
}

SampleMatrix matrix_of(PyObject* array, const std::string& what) {
    if (!PyArray_Check(array))
        raise_format(PyExc_TypeError, "%s must be a numpy array, not %s", what.c_str(),
                     Py_TYPE(array)->tp_name);
    return to_sample_matrix(reinterpret_cast<PyArrayObject*>(array), what.c_str());
}

// (name, index, kernel, bias, activation name, source names or None).
NodeLayer node_layer_of(PyObject* item) {
    const char *name = nullptr, *activation = nullptr;
    Py_ssize_t name_length = 0, activation_length = 0;
    PyObject *kernel = nullptr, *bias = nullptr, *sources = nullptr;
    NodeLayer layer;
    if (!PyArg_ParseTuple(item, "s#iOOs#O", &name, &name_length, &layer.index, &kernel, &bias,
                          &activation, &activation_length, &sources))
        throw PythonError{};
    layer.name.assign(name, static_cast<std::size_t>(name_length));
    layer.kernel = matrix_of(kernel, "the kernel of layer '" + layer.name + "'");
    layer.bias = matrix_of(bias, "the bias of layer '" + layer.name + "'").values;
    layer.activation.assign(activation, static_cast<std::size_t>(activation_length));
    if (sources != Py_None) layer.sources = texts_of(sources, "the sources of a node layer");
    return layer;
}

}  // namespace

PyObject* module_from_keras(PyObject*, PyObject* args) {
    PyObject* keras_model = nullptr;
    if (!PyArg_ParseTuple(args, "O", &keras_model)) return nullptr;
    return guarded([&] {
        const PyRef reader = PyRef::steal(PyImport_ImportModule("tessaron._keras_interchange"));
        return PyObject_CallMethod(reader.get(), "import_model", "(O)", keras_model);
    });
}

PyObject* module_keras_node_indices(PyObject*, PyObject* names) {
    return guarded([&] {
        const std::vector<std::int32_t> indices = node_indices(texts_of(names, "the layer names"));
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(indices.size())));
        for (std::size_t i = 0; i < indices.size(); ++i)
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                            PyRef::steal(PyLong_FromLong(indices[i])).release());
        return list.release();
    });
}

PyObject* module_keras_check_counts(PyObject*, PyObject* args) {
    long long inputs = 0, outputs = 0, nodes = 0;
    if (!PyArg_ParseTuple(args, "LLL", &inputs, &outputs, &nodes)) return nullptr;
    return guarded([&] {
        check_node_counts(inputs, outputs, nodes);
        Py_RETURN_NONE;
    });
}

PyObject* module_keras_check_outputs(PyObject*, PyObject* args) {
    PyObject* sources = nullptr;
    int outputs = 0, nodes = 0;
    if (!PyArg_ParseTuple(args, "Oii", &sources, &outputs, &nodes)) return nullptr;
    return guarded([&] {
        check_output_sources(texts_of(sources, "the output sources"), outputs, nodes);
        Py_RETURN_NONE;
    });
}

PyObject* module_keras_network(PyObject*, PyObject* args) {
    PyObject* layers = nullptr;
    int inputs = 0, outputs = 0, nodes = 0;
    if (!PyArg_ParseTuple(args, "iiiO", &inputs, &outputs, &nodes, &layers)) return nullptr;
    return guarded([&] {
        const PyRef items = tuple_of(layers, "the node layers");
        std::vector<NodeLayer> node_layers;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i)
            node_layers.push_back(node_layer_of(tuple_item(items, i)));
        return new_model_with_network(assemble_network(inputs, outputs, nodes, node_layers))
            .release();
    });
}

}  // namespace tessaron
