// Model.summary: the network's counts and the compile state, printed to sys.stdout.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "evolution/losses.hpp"
#include "module/model.hpp"
#include "module/model_methods.hpp"
#include "network/activation.hpp"

namespace tessaron {
namespace {

std::string plural(std::size_t count, std::string_view one, std::string_view many) {
    return std::to_string(count) + ' ' + std::string(count == 1 ? one : many);
}

// The names of kinds[first ..], joined by ", ", or "none".
template <std::size_t N>
std::string joined_names(const std::vector<std::int32_t>& kinds, std::size_t first,
                         const std::array<std::string_view, N>& names) {
    std::string text;
    for (std::size_t i = first; i < kinds.size(); ++i) {
        if (!text.empty()) text += ", ";
        text += names[static_cast<std::size_t>(kinds[i])];
    }
    return text.empty() ? "none" : text;
}

std::string network_lines(const Network& network) {
    const std::int32_t hidden = network.size - network.inputs - network.outputs;
    std::string text =
        "Network: " + plural(static_cast<std::size_t>(network.size), "node", "nodes");
    text += " (" + plural(static_cast<std::size_t>(network.inputs), "input", "inputs") + ", " +
            plural(static_cast<std::size_t>(hidden), "hidden", "hidden") + ", " +
            plural(static_cast<std::size_t>(network.outputs), "output", "outputs") + "), " +
            plural(connection_count(network), "connection", "connections") + '\n';
    // An input is copied straight through, so only the other nodes' activations count.
    std::array<std::size_t, activation_kind_count> counts{};
    for (std::int32_t node = network.inputs; node < network.size; ++node) {
        const std::int32_t kind = network.activations[node];
        if (kind >= 0 && kind < activation_kind_count) ++counts[static_cast<std::size_t>(kind)];
    }
    text += "Activations (hidden and output nodes):";
    for (int kind = 0; kind < activation_kind_count; ++kind)
        text += ' ' + std::string(activation_names[kind]) + ' ' + std::to_string(counts[kind]) +
                (kind + 1 < activation_kind_count ? "," : "\n");
    return text;
}

// The compile lines; the optimizer is shown by its repr.
std::string compile_lines(const ModelState& state) {
    if (!state.compiled) return "Not compiled: call compile() before evolve().\n";
    // Our own reference: the optimizer's repr may be Python code that recompiles this model.
    const PyRef held = PyRef::borrow(state.optimizer.get());
    const PyRef optimizer = PyRef::steal(PyObject_Repr(held.get()));
    const char* optimizer_text = PyUnicode_AsUTF8(optimizer.get());
    if (optimizer_text == nullptr) throw PythonError{};
    std::string text = "Optimizer: " + std::string(optimizer_text) + '\n';
    text += "Loss: " + (state.has_loss
                            ? std::string(loss_names[static_cast<std::size_t>(state.losses[0])])
                            : std::string("none (func_evolve ranks by its fitness function)"));
    text += "; metrics: " + joined_names(state.losses, state.has_loss ? 1 : 0, loss_names);
    text += "; monitors: " + joined_names(state.monitors, 0, monitor_names) + '\n';
    return text;
}

}  // namespace

PyObject* model_summary(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const ModelState& state = model_state(self);
        const std::shared_ptr<const Network> network = state.network;
        const std::string text = network_lines(*network) + compile_lines(state);
        PyObject* stream = PySys_GetObject("stdout");  // borrowed
        if (stream == nullptr || stream == Py_None) raise(PyExc_RuntimeError, "lost sys.stdout");
        PyRef::steal(PyObject_CallMethod(stream, "write", "s#", text.data(),
                                         static_cast<Py_ssize_t>(text.size())));
        Py_RETURN_NONE;
    });
}

}  // namespace tessaron
