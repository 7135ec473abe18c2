// Model.to_keras and Model.to_onnx: the export plan handed to Python as plain lists;
// tessaron._keras_interchange builds the Keras model from it with the keras package, and
// tessaron._onnx_export the ONNX graph with the onnx package.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "interchange/export_plan.hpp"
#include "module/model.hpp"
#include "module/model_methods.hpp"

namespace tessaron {
namespace {

PyRef int_list(const std::vector<std::int32_t>& values) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        PyRef::steal(PyLong_FromLong(values[i])).release());
    return list;
}

PyRef float_list(const std::vector<double>& values) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        PyRef::steal(PyFloat_FromDouble(values[i])).release());
    return list;
}

// One (sources, kernel, bias, activation name) tuple per node, in node order.
PyRef plan_nodes(const ExportPlan& plan) {
    PyRef nodes = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(plan.nodes.size())));
    for (std::size_t k = 0; k < plan.nodes.size(); ++k) {
        const NodePlan& node = plan.nodes[k];
        const PyRef sources = int_list(node.sources);
        const PyRef kernel = float_list(node.kernel);
        PyList_SET_ITEM(nodes.get(), static_cast<Py_ssize_t>(k),
                        PyRef::steal(Py_BuildValue("(OOds#)", sources.get(), kernel.get(),
                                                   node.bias, node.activation.data(),
                                                   static_cast<Py_ssize_t>(node.activation.size())))
                            .release());
    }
    return nodes;
}

// builder_module.build_model(inputs, outputs, nodes, *extra, **keywords) for the model's plan; a
// network that the format cannot hold is refused before the format's package is imported.
PyRef build_from_plan(PyObject* self, const char* format, const char* builder_module,
                      std::initializer_list<PyObject*> extra, PyObject* keywords = nullptr) {
    // The plan is a copy: the builder runs Python code, which could replace the network.
    const ExportPlan plan = export_plan(*model_state(self).network, format);
    PyRef arguments = PyRef::steal(PyTuple_New(3 + static_cast<Py_ssize_t>(extra.size())));
    PyTuple_SET_ITEM(arguments.get(), 0, PyRef::steal(PyLong_FromLong(plan.inputs)).release());
    PyTuple_SET_ITEM(arguments.get(), 1, PyRef::steal(PyLong_FromLong(plan.outputs)).release());
    PyTuple_SET_ITEM(arguments.get(), 2, plan_nodes(plan).release());
    Py_ssize_t at = 3;
    for (PyObject* argument : extra)
        PyTuple_SET_ITEM(arguments.get(), at++, PyRef::borrow(argument).release());
    const PyRef builder = PyRef::steal(PyImport_ImportModule(builder_module));
    const PyRef build = PyRef::steal(PyObject_GetAttrString(builder.get(), "build_model"));
    return PyRef::steal(PyObject_Call(build.get(), arguments.get(), keywords));
}

}  // namespace

PyObject* model_to_keras(PyObject* self, PyObject*) {
    return guarded([&] {
        return build_from_plan(self, "Keras", "tessaron._keras_interchange", {}).release();
    });
}

PyObject* model_to_onnx(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"path", "dtype", nullptr};
    PyObject* path = Py_None;
    PyObject* dtype = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:to_onnx", const_cast<char**>(keywords),
                                     &path, &dtype))
        return nullptr;
    return guarded([&] {
        // The builder checks the dtype (its default is "float64") before it imports onnx.
        const PyRef builder_keywords = PyRef::steal(PyDict_New());
        if (dtype != nullptr && PyDict_SetItemString(builder_keywords.get(), "dtype", dtype) < 0)
            throw PythonError{};
        return build_from_plan(self, "ONNX", "tessaron._onnx_export", {path},
                               builder_keywords.get())
            .release();
    });
}

}  // namespace tessaron
