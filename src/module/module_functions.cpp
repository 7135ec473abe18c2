#include "module/module_functions.hpp"

namespace tessaron {

PyMethodDef module_functions[] = {
    {"from_keras", module_from_keras, METH_VARARGS,
     "from_keras(keras_model, /)\n--\n\nConvert a Keras model to a Tessaron model. This only works "
     "for "
     "Keras models that have been exported from Tessaron using `model.to_keras()` with unmodified "
     "architecture."},
    {"_keras_node_indices", module_keras_node_indices, METH_O,
     "The node index of every layer name (-1 for the others), once the names are checked."},
    {"_keras_check_counts", module_keras_check_counts, METH_VARARGS,
     "Checks the input and output widths against the number of node layers."},
    {"_keras_check_outputs", module_keras_check_outputs, METH_VARARGS,
     "Checks that the output is the last node layers in order."},
    {"_keras_network", module_keras_network, METH_VARARGS,
     "The Model of the node layers read from a Keras model, checked by the core."},
    {"load", module_load, METH_VARARGS,
     "load(path, /)\n--\n\nLoad a model saved in the '.tsn' format."},
    {"set_num_threads", module_set_num_threads, METH_VARARGS,
     "set_num_threads(n, /)\n--\n\nSets the number of threads that score networks and predict "
     "large "
     "inputs (at least 1; the default is the number of CPUs this process may use)."},
    {"get_num_threads", module_get_num_threads, METH_NOARGS,
     "get_num_threads()\n--\n\nReturns the number of threads that score networks and predict large "
     "inputs."},
    {"seed", module_seed, METH_VARARGS,
     "seed(value, /)\n--\n\nMakes every random draw of the module derive from the integer value: "
     "after "
     "it, the same sequence of calls gives the same networks, histories and predictions, whatever "
     "the number of threads."},
    {"predict_many",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module_predict_many)),
     METH_VARARGS | METH_KEYWORDS,
     "predict_many(genomes, x)\n--\n\nPredicts with a whole population in one call. `genomes` is a "
     "sequence of G Genome or Model objects with the same numbers of inputs and outputs; `x` holds "
     "their inputs, of shape (G, inputs), one sample per genome, or (G, B, inputs), B samples per "
     "genome (further columns are ignored, as by predict). Returns a float64 array of shape "
     "(G, outputs) or (G, B, outputs) whose row g is what genomes[g].predict gives for its rows, "
     "bit for bit. The work runs without the interpreter lock, spread over the threads of "
     "set_num_threads when it is large."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tessaron
