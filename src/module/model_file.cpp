// Model.save and tessaron.load: the Python side of model files.
#include <memory>
#include <string>

#include "module/gil.hpp"
#include "module/model.hpp"
#include "module/model_methods.hpp"
#include "module/module_functions.hpp"
#include "persistence/network_file.hpp"

namespace tessaron {
namespace {

// The path of a path-like argument as os.fspath gives it: a str is taken as the parser's "s"
// takes it (UTF-8, with the same refusals), bytes as they are.
std::string path_argument(PyObject* argument) {
    PyRef path = PyRef::steal(PyOS_FSPath(argument));
    const char* text = nullptr;
    if (!PyArg_Parse(path.get(), PyUnicode_Check(path.get()) ? "s" : "y", &text))
        throw PythonError{};
    return std::string(text);
}

}  // namespace

PyObject* model_save(PyObject* self, PyObject* args) {
    PyObject* path = nullptr;
    if (!PyArg_ParseTuple(args, "O", &path)) return nullptr;
    return guarded([&] {
        // First, as the parser did: __fspath__ may run Python code that rebuilds the model.
        const std::string target = path_argument(path);
        const ModelState* state = &model_state(self);
        // Our own reference keeps the network alive should another thread replace the model's
        // while the file is written without the lock.
        const std::shared_ptr<const Network> network = state->network;
        {
            GilRelease unlocked;
            write_network_file(*network, target);
        }
        Py_RETURN_NONE;
    });
}

PyObject* module_load(PyObject*, PyObject* args) {
    PyObject* path = nullptr;
    if (!PyArg_ParseTuple(args, "O", &path)) return nullptr;
    return guarded([&] {
        const std::string source = path_argument(path);
        Network network = [&] {
            GilRelease unlocked;
            return read_network_file(source);
        }();
        return new_model_with_network(std::move(network)).release();
    });
}

}  // namespace tessaron
