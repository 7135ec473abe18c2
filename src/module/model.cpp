#include "module/model.hpp"

#include <cstddef>
#include <limits>

#include <structmember.h>

#include "module/model_methods.hpp"
#include "module/prediction.hpp"
#include "network/activation.hpp"

namespace tessaron {
namespace {

ModelObject* as_model(PyObject* self) {
    return reinterpret_cast<ModelObject*>(self);
}

PyObject* model_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded([&] {
        PyRef self = PyRef::steal(type->tp_alloc(type, 0));
        ModelObject* model = as_model(self.get());
        model->size = 0;
        model->stop_evolving = 0;
        model->state = new ModelState();
        return self.release();
    });
}

// The model takes part in garbage collection through the one Python object it holds, its
// optimizer: a cycle model -> optimizer -> model (an optimizer subclass keeping its model) is then
// found and broken. A subclass's __dict__ is visited by the subclass's own slots.
int model_traverse(PyObject* self, visitproc visit, void* arg) {
    const ModelState* state = as_model(self)->state;
    if (state != nullptr) Py_VISIT(state->optimizer.get());
    return 0;
}

int model_clear(PyObject* self) {
    ModelState* state = as_model(self)->state;
    if (state != nullptr) state->optimizer.reset();
    return 0;
}

void model_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    delete as_model(self)->state;
    Py_TYPE(self)->tp_free(self);
}

void check_counts(int inputs, int outputs, int size) {
    if (inputs < 1) raise_format(PyExc_ValueError, "inputs must be at least 1, got %d", inputs);
    if (outputs < 1) raise_format(PyExc_ValueError, "outputs must be at least 1, got %d", outputs);
    const long long minimum = static_cast<long long>(inputs) + outputs;
    if (minimum > std::numeric_limits<std::int32_t>::max())
        raise_format(PyExc_ValueError,
                     "inputs + outputs (%d + %d) exceeds the largest node count (%d)", inputs,
                     outputs, std::numeric_limits<std::int32_t>::max());
    if (size != -1 && size < minimum)
        raise_format(PyExc_ValueError,
                     "size must be -1 or at least inputs + outputs (%lld), got %d", minimum, size);
    // Refused before anything is allocated: the network would be built with every connection.
    if (const auto fault = node_count_fault(size == -1 ? minimum : size, inputs, outputs))
        raise_format(PyExc_MemoryError, "the network is too large: %s", fault->reason.c_str());
}

int model_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"inputs", "outputs", "size", nullptr};
    int inputs = 0, outputs = 0, size = -1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ii|i", const_cast<char**>(keywords), &inputs,
                                     &outputs, &size))
        return -1;
    return guarded_status([&] {
        ModelState& state = model_state(self);
        check_counts(inputs, outputs, size);
        auto network = std::make_shared<Network>(inputs, outputs);
        if (size != -1) reset(*network, size);
        randomise(*network);
        // Nothing below can fail: the instance changes only once the new network is complete.
        state.inputs = inputs;
        state.outputs = outputs;
        state.compiled = false;
        set_model_network(as_model(self), std::move(network));
    });
}

}  // namespace

ModelState& model_state(PyObject* self) {
    ModelState* state = as_model(self)->state;
    if (state == nullptr) raise(PyExc_SystemError, "Model object was not created by Model.__new__");
    return *state;
}

void set_model_network(ModelObject* model, std::shared_ptr<const Network> network) noexcept {
    model->size = network->size;
    model->state->inputs = network->inputs;
    model->state->outputs = network->outputs;
    model->state->network = std::move(network);
}

PyRef new_model_with_network(Network network) {
    PyRef model = PyRef::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&Model_Type), "ii",
                                                     network.inputs, network.outputs));
    set_model_network(as_model(model.get()), std::make_shared<const Network>(std::move(network)));
    return model;
}

PyObject* model_predict(PyObject* self, PyObject* const* args, Py_ssize_t count) {
    return guarded([&] {
        PyArrayObject* x = single_array_argument(args, count);
        const ModelState& state = model_state(self);
        return predict_array(state.network, state.outputs, x);
    });
}

PyObject* model_get_nodes(PyObject* self, PyObject*) {
    return guarded([&] {
        // Our own reference: building the list may run Python code (a garbage-collection
        // finaliser) that replaces the model's network.
        const std::shared_ptr<const Network> held = model_state(self).network;
        const Network& network = *held;
        PyRef list = PyRef::steal(PyList_New(network.size));
        for (std::int32_t i = 0; i < network.size; ++i) {
            const std::int32_t kind = network.activations[i];
            const char* name = kind >= 0 && kind < activation_kind_count
                                   ? activation_names[kind].data()
                                   : "unknown";
            PyObject* node =
                Py_BuildValue("(i,{s:d,s:s})", i, "bias", network.biases[i], "activation", name);
            if (node == nullptr) throw PythonError{};
            PyList_SET_ITEM(list.get(), i, node);
        }
        return list.release();
    });
}

PyObject* model_get_connections(PyObject* self, PyObject*) {
    return guarded([&] {
        const std::shared_ptr<const Network> held = model_state(self).network;  // as in get_nodes
        const Network& network = *held;
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(connection_count(network))));
        Py_ssize_t index = 0;
        for (std::int32_t from = 0; from < network.size; ++from) {
            for_each_target(network, from, [&](std::int32_t to) {
                PyObject* connection =
                    Py_BuildValue("(i,i, {s: d})", from, to, "weight", network.weight(from, to));
                if (connection == nullptr) throw PythonError{};
                PyList_SET_ITEM(list.get(), index++, connection);
            });
        }
        return list.release();
    });
}

namespace {

PyMethodDef model_methods[] = {
    {"evolve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_evolve)),
     METH_VARARGS | METH_KEYWORDS,
     "evolve(self, x_train, y_train, pop_size=100, batch_size=-1, epochs=100, "
     "validation_data=None, verbose=1, callbacks=None)\n--\n\nEvolves the network on a given "
     "dataset."},
    {"func_evolve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_func_evolve)),
     METH_VARARGS | METH_KEYWORDS,
     "func_evolve(self, train_func, pop_size=100, epochs=100, verbose=1, validation_func=None, "
     "callbacks=None)"
     "\n--\n\nEvolves the network on a given fitness function."},
    {"predict", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_predict)),
     METH_FASTCALL,
     "predict(self, x, /)\n--\n\nPredict the the outputs for a given set of samples."},
    {"evaluate", model_evaluate, METH_VARARGS,
     "evaluate(self, x, y, /)\n--\n\nEvaluate the the network based on the compiled losses/metrics "
     "on a "
     "given dataset."},
    {"compile", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_compile)),
     METH_VARARGS | METH_KEYWORDS,
     "compile(self, optimizer='alpha', loss='', metrics=None, monitors=None)\n--\n\nConfigure "
     "the losses, metrics and monitors for evolution. For `model.evolve_func`, losses and metrics "
     "are optional."},
    {"get_nodes", model_get_nodes, METH_VARARGS,
     "get_nodes(self)\n--\n\nReturns a list of nodes contained in the network."},
    {"get_connections", model_get_connections, METH_VARARGS,
     "get_connections(self)\n--\n\nReturns a list of connections contained in the network."},
    {"get_network", model_get_network, METH_NOARGS,
     "get_network(self)\n--\n\nReturns the network as plain data: a dict of 'inputs' and "
     "'outputs' (the counts), 'biases' and 'activations' (one float and one activation name per "
     "node, in node order) and 'connections' (a list of (source, target, weight) tuples, "
     "ascending by source and then by target)."},
    {"set_network", model_set_network, METH_O,
     "set_network(self, network, /)\n--\n\nReplaces the network by one given as get_network "
     "returns it (the connections in any order, each pair once). The compile state stays. The "
     "network is checked before the model changes: counts of at least 1, at least inputs + "
     "outputs nodes, known activations, connections only from a lower to a higher node index, "
     "never into an input node nor out of an output node."},
    {"to_keras", model_to_keras, METH_VARARGS,
     "to_keras(self)\n--\n\nConvert the Tessaron model to a Keras model."},
    {"to_onnx", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_to_onnx)),
     METH_VARARGS | METH_KEYWORDS,
     "to_onnx(self, path=None, dtype='float64')\n--\n\nConvert the Tessaron model to an ONNX model "
     "(an "
     "onnx.ModelProto, opset 17, float64 throughout: input 'input' of shape (batch, inputs), "
     "output 'output' of shape (batch, outputs)) and, when a path is given, write it there. "
     "Needs the onnx package."},
    {"save", model_save, METH_VARARGS,
     "save(self, path, /)\n--\n\nSaves the model using the '.tsn' format."},
    {"summary", model_summary, METH_NOARGS,
     "summary(self)\n--\n\nPrints the network's node, connection and activation counts and the "
     "compiled optimizer, loss, metrics and monitors."},
    {"__reduce__", model_reduce, METH_NOARGS, "Helper for pickle and copy."},
    {"__getstate__", model_getstate, METH_NOARGS,
     "The network (in the bytes of its model file), counts and compile state."},
    {"__setstate__", model_setstate, METH_O, "Restores the state given by __getstate__."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef model_members[] = {
    {"size", T_INT, offsetof(ModelObject, size), 0,
     "Total number of nodes in the network (including inputs and outputs)."},
    {"stop_evolving", T_BOOL, offsetof(ModelObject, stop_evolving), 0,
     "Set to True by a callback to end the run after the current epoch."},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

PyTypeObject Model_Type = [] {
    PyTypeObject type = blank_type_object();
    type.tp_name = "tessaron.Model";
    type.tp_basicsize = sizeof(ModelObject);
    type.tp_itemsize = 0;
    type.tp_dealloc = model_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    type.tp_doc = "A Tessaron model that can be evolved on datasets and fitness functions.";
    type.tp_traverse = model_traverse;
    type.tp_clear = model_clear;
    type.tp_free = PyObject_GC_Del;
    type.tp_methods = model_methods;
    type.tp_repr = model_repr;
    type.tp_members = model_members;
    type.tp_init = model_init;
    type.tp_new = model_new;
    return type;
}();

}  // namespace tessaron
