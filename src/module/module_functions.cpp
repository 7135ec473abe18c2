#include "module/module_functions.hpp"

namespace tessaron {

PyMethodDef module_functions[] = {
    {"from_keras", module_from_keras, METH_VARARGS,
     "from_keras(keras_model)\n--\n\nConvert a Keras model to a Tessaron model. This only works for "
     "Keras models that have been exported from Tessaron using `model.to_keras()` with unmodified "
     "architecture."},
    {"load", module_load, METH_VARARGS,
     "load(path)\n--\n\nLoad a model saved in the '.tsn' format."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tessaron
