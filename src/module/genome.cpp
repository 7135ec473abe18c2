#include "module/genome.hpp"

#include "module/prediction.hpp"

namespace tessaron {
namespace {

GenomeObject* as_genome(PyObject* self) {
    return reinterpret_cast<GenomeObject*>(self);
}

PyObject* genome_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded([&] {
        PyRef self = PyRef::steal(type->tp_alloc(type, 0));
        as_genome(self.get())->state = new GenomeState();
        return self.release();
    });
}

void genome_dealloc(PyObject* self) {
    delete as_genome(self)->state;
    Py_TYPE(self)->tp_free(self);
}

int genome_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"inputs", "outputs", nullptr};
    int inputs = 0, outputs = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ii|", const_cast<char**>(keywords), &inputs,
                                     &outputs))
        return -1;
    return guarded_status([&] {
        GenomeState& state = genome_state(self);
        state.inputs = inputs;
        state.outputs = outputs;
    });
}

PyObject* genome_predict(PyObject* self, PyObject* const* args, Py_ssize_t count) {
    return guarded([&] {
        PyArrayObject* x = single_array_argument(args, count);
        const GenomeState& state = genome_state(self);
        const std::shared_ptr<InputStatistics> seen = state.seen_inputs;
        return predict_array(state.network, state.outputs, x, seen.get());
    });
}

PyMethodDef genome_methods[] = {
    {"predict", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(genome_predict)),
     METH_FASTCALL,
     "predict(self, x, /)\n--\n\nPredict the the outputs for a given set of samples."},
    {"get_network", genome_get_network, METH_NOARGS,
     "get_network(self)\n--\n\nReturns the network as plain data, as Model.get_network does."},
    {"set_network", genome_set_network, METH_O,
     "set_network(self, network, /)\n--\n\nReplaces the network (and the counts) by one given as "
     "get_network returns it, checked as Model.set_network checks it."},
    {"__reduce__", genome_reduce, METH_NOARGS, "Helper for pickle and copy."},
    {"__getstate__", genome_getstate, METH_NOARGS,
     "The network (in the bytes of its model file) and the counts."},
    {"__setstate__", genome_setstate, METH_O, "Restores the state given by __getstate__."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

GenomeState& genome_state(PyObject* self) {
    GenomeState* state = as_genome(self)->state;
    if (state == nullptr)
        raise(PyExc_SystemError, "Genome object was not created by Genome.__new__");
    return *state;
}

PyRef make_genome(std::shared_ptr<const Network> network) {
    PyRef genome = PyRef::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&Genome_Type),
                                                      "ii", network->inputs, network->outputs));
    genome_state(genome.get()).network = std::move(network);
    return genome;
}

PyTypeObject Genome_Type = [] {
    PyTypeObject type = blank_type_object();
    type.tp_name = "tessaron.Genome";
    type.tp_basicsize = sizeof(GenomeObject);
    type.tp_dealloc = genome_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_doc = "A lightweight Tessaron model that can only be used for predictions.";
    type.tp_methods = genome_methods;
    type.tp_repr = genome_repr;
    type.tp_init = genome_init;
    type.tp_new = genome_new;
    return type;
}();

}  // namespace tessaron
