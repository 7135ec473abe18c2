// Model.to_onnx: the export plan handed to Python as plain lists; tessaron._onnx_export builds
// the ONNX graph from it with the onnx package.
#include <cstddef>
#include <cstdint>
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

}  // namespace

PyObject* model_to_onnx(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"path", "dtype", nullptr};
    PyObject* path = Py_None;
    PyObject* dtype = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:to_onnx", const_cast<char**>(keywords),
                                     &path, &dtype))
        return nullptr;
    return guarded([&] {
        // Refused before the onnx package is imported, as to_keras refuses before Keras.
        const ExportPlan plan = export_plan(*model_state(self).network, "ONNX");
        const PyRef nodes = plan_nodes(plan);
        const PyRef builder = PyRef::steal(PyImport_ImportModule("tessaron._onnx_export"));
        // The builder checks the dtype (its default is "float64") before it imports onnx.
        const PyRef call_args =
            PyRef::steal(Py_BuildValue("(iiOO)", plan.inputs, plan.outputs, nodes.get(), path));
        const PyRef call_kwargs = PyRef::steal(PyDict_New());
        if (dtype != nullptr && PyDict_SetItemString(call_kwargs.get(), "dtype", dtype) < 0)
            throw PythonError{};
        const PyRef build = PyRef::steal(PyObject_GetAttrString(builder.get(), "build_model"));
        return PyRef::steal(PyObject_Call(build.get(), call_args.get(), call_kwargs.get()))
            .release();
    });
}

}  // namespace tessaron
