#include "module/history.hpp"

#include <string>

#include "evolution/losses.hpp"

namespace tessaron {
namespace {

// Sets key to a new list of one value per epoch.
template <class Value>
void set_list(PyObject* history, const std::string& key, std::size_t epochs, Value&& value) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(epochs)));
    for (std::size_t e = 0; e < epochs; ++e)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(e), value(e).release());
    if (PyDict_SetItemString(history, key.c_str(), list.get()) < 0) throw PythonError{};
}

PyRef as_float(double value) {
    return PyRef::steal(PyFloat_FromDouble(value));
}

PyRef as_int(std::int32_t value) {
    return PyRef::steal(PyLong_FromLong(value));
}

void set_value(PyObject* logs, const std::string& key, PyRef value) {
    if (PyDict_SetItemString(logs, key.c_str(), value.get()) < 0) throw PythonError{};
}

// The search's figures follow the history's keys, so that callbacks can watch the search itself.
void set_figures(PyObject* logs, const SearchFigures& figures) {
    for (const auto& [name, value] : figures) set_value(logs, name, as_float(value));
}

std::string history_name(const std::vector<std::int32_t>& losses, std::size_t k) {
    return k == 0 ? std::string("loss") : std::string(loss_names[losses[k]]);
}

}  // namespace

void check_evolution_counts(std::int32_t pop_size, std::int32_t epochs, const Network& start) {
    if (pop_size < 2 || pop_size % 2 != 0)
        raise_format(PyExc_ValueError, "pop_size must be an even number of at least 2, got %d",
                     pop_size);
    if (epochs < 0) raise_format(PyExc_ValueError, "epochs must be at least 0, got %d", epochs);
    if (start.size == 0)
        raise(PyExc_ValueError,
              "the model has no network to evolve: make it with Model(inputs, outputs)");
}

PyRef dataset_history(const RunResult& result, const std::vector<std::int32_t>& losses,
                      bool has_validation, bool show_size) {
    PyRef history = PyRef::steal(PyDict_New());
    const std::size_t epochs = result.epochs.size();
    auto name = [&](std::size_t k) { return history_name(losses, k); };
    for (std::size_t k = 0; k < losses.size(); ++k)
        set_list(history.get(), name(k), epochs,
                 [&](std::size_t e) { return as_float(result.epochs[e].losses[k]); });
    if (has_validation)
        for (std::size_t k = 0; k < losses.size(); ++k)
            set_list(history.get(), "val_" + name(k), epochs,
                     [&](std::size_t e) { return as_float(result.epochs[e].validation[k]); });
    if (show_size)
        set_list(history.get(), "size", epochs, [&](std::size_t e) {
            return PyRef::steal(PyLong_FromLong(result.epochs[e].size));
        });
    return history;
}

PyRef function_history(const RunResult& result, bool has_validation, bool show_size) {
    PyRef history = PyRef::steal(PyDict_New());
    const std::size_t epochs = result.epochs.size();
    set_list(history.get(), "loss", epochs,
             [&](std::size_t e) { return as_float(result.epochs[e].losses[0]); });
    if (has_validation)
        set_list(history.get(), "val_loss", epochs,
                 [&](std::size_t e) { return as_float(result.epochs[e].validation[0]); });
    if (show_size)
        set_list(history.get(), "size", epochs, [&](std::size_t e) {
            return PyRef::steal(PyLong_FromLong(result.epochs[e].size));
        });
    return history;
}

PyRef dataset_logs(const EpochRecord& record, const std::vector<std::int32_t>& losses,
                   bool has_validation, bool show_size, const SearchFigures& figures) {
    PyRef logs = PyRef::steal(PyDict_New());
    for (std::size_t k = 0; k < losses.size(); ++k)
        set_value(logs.get(), history_name(losses, k), as_float(record.losses[k]));
    if (has_validation)
        for (std::size_t k = 0; k < losses.size(); ++k)
            set_value(logs.get(), "val_" + history_name(losses, k), as_float(record.validation[k]));
    if (show_size) set_value(logs.get(), "size", as_int(record.size));
    set_figures(logs.get(), figures);
    return logs;
}

PyRef function_logs(const EpochRecord& record, bool has_validation, bool show_size,
                    const SearchFigures& figures) {
    PyRef logs = PyRef::steal(PyDict_New());
    set_value(logs.get(), "loss", as_float(record.losses[0]));
    if (has_validation) set_value(logs.get(), "val_loss", as_float(record.validation[0]));
    if (show_size) set_value(logs.get(), "size", as_int(record.size));
    set_figures(logs.get(), figures);
    return logs;
}

}  // namespace tessaron
