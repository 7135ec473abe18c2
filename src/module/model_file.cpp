// Model.save and tessaron.load: the Python side of model files.
#include <memory>
#include <string>

#include "module/gil.hpp"
#include "module/model.hpp"
#include "module/model_methods.hpp"
#include "module/module_functions.hpp"
#include "persistence/network_file.hpp"

namespace tessaron {

PyObject* model_save(PyObject* self, PyObject* args) {
    const char* path = nullptr;
    if (!PyArg_ParseTuple(args, "s", &path)) return nullptr;
    return guarded([&] {
        const ModelState* state = &model_state(self);
        // Our own reference keeps the network alive should another thread replace the model's
        // while the file is written without the lock.
        const std::shared_ptr<const Network> network = state->network;
        const std::string target(path);
        {
            GilRelease unlocked;
            write_network_file(*network, target);
        }
        Py_RETURN_NONE;
    });
}

PyObject* module_load(PyObject*, PyObject* args) {
    const char* path = nullptr;
    if (!PyArg_ParseTuple(args, "s", &path)) return nullptr;
    return guarded([&] {
        const std::string source(path);
        Network network = [&] {
            GilRelease unlocked;
            return read_network_file(source);
        }();
        return new_model_with_network(std::move(network)).release();
    });
}

}  // namespace tessaron
