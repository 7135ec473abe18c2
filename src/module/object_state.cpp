// Pickling and copying of Model, Genome, Alpha and Beta: __reduce__, __getstate__ and __setstate__.
//
// An object is rebuilt as copyreg.__newobj__(type) followed by __setstate__(state), so that
// subclasses come back as themselves whatever their __init__ takes, and no throw-away network
// is built (or random numbers drawn) on the way. The state is a dict: the network in the bytes
// of its model file, the counts, the compile state with losses and monitors by name, and the
// instance dictionary of a subclass instance under "__dict__". A state is data from outside, so
// __setstate__ checks all of it before it changes anything.
#include <initializer_list>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "evolution/losses.hpp"
#include "module/alpha.hpp"
#include "module/beta.hpp"
#include "module/genome.hpp"
#include "module/kind_names.hpp"
#include "module/model.hpp"
#include "module/model_methods.hpp"
#include "persistence/model_state.hpp"
#include "persistence/network_file.hpp"

namespace tessaron {
namespace {

// Reads the entries of one state dict; `owner` ("Model", "Genome", "Alpha") starts every message.
class StateReader {
  public:
    StateReader(PyObject* state, const char* owner, std::initializer_list<const char*> keys)
        : state_(state), owner_(owner) {
        if (!PyDict_Check(state))
            raise_format(PyExc_TypeError, "%s state must be a dict, got %s", owner,
                         Py_TYPE(state)->tp_name);
        PyObject *key, *value;
        Py_ssize_t position = 0;
        while (PyDict_Next(state, &position, &key, &value)) {
            bool known = false;
            if (PyUnicode_Check(key))
                for (const char* name : keys)
                    known = known || PyUnicode_CompareWithASCIIString(key, name) == 0;
            if (PyErr_Occurred()) throw PythonError{};
            if (!known && !is_dict_key(key))
                raise_format(PyExc_ValueError, "%s state has the unexpected key %R", owner, key);
        }
    }

    // The value under `key`, or null when it is absent (borrowed).
    PyObject* optional(const char* key) const {
        PyObject* value = PyDict_GetItemString(state_, key);
        if (value == nullptr && PyErr_Occurred()) throw PythonError{};
        return value;
    }

    // The value under `key`, which must be present (borrowed).
    PyObject* required(const char* key) const {
        PyObject* value = PyDict_GetItemString(state_, key);
        if (value == nullptr) {
            if (PyErr_Occurred()) throw PythonError{};
            raise_format(PyExc_ValueError, "%s state lacks the key '%s'", owner_, key);
        }
        return value;
    }

    std::int32_t int32(const char* key) const {
        PyObject* value = required(key);
        if (!PyLong_Check(value) || PyBool_Check(value)) wrong_type(key, "an int", value);
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (number == -1 && PyErr_Occurred()) throw PythonError{};
        if (overflow != 0 || number < std::numeric_limits<std::int32_t>::min() ||
            number > std::numeric_limits<std::int32_t>::max())
            raise_format(PyExc_ValueError, "%s state '%s' must be a 32-bit int, got %R", owner_,
                         key, value);
        return static_cast<std::int32_t>(number);
    }

    bool boolean(const char* key) const {
        PyObject* value = required(key);
        if (!PyBool_Check(value)) wrong_type(key, "a bool", value);
        return value == Py_True;
    }

    double real(const char* key) const {
        PyObject* value = required(key);
        if (!PyFloat_Check(value)) wrong_type(key, "a float", value);
        return PyFloat_AsDouble(value);
    }

    // The kinds named by a list of str, each looked up with `lookup`.
    template <class Lookup>
    std::vector<std::int32_t> kinds(const char* key, Lookup&& lookup) const {
        PyObject* value = required(key);
        if (!PyList_Check(value)) wrong_type(key, "a list of str", value);
        std::vector<std::int32_t> kinds;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
            PyObject* name = PyList_GET_ITEM(value, i);
            if (!PyUnicode_Check(name))
                raise_format(PyExc_TypeError, "%s state '%s'[%zd] must be a str, got %s", owner_,
                             key, i, Py_TYPE(name)->tp_name);
            Py_ssize_t length = 0;
            const char* text = PyUnicode_AsUTF8AndSize(name, &length);
            std::optional<std::int32_t> kind;
            if (text != nullptr)
                kind = lookup(std::string_view(text, static_cast<std::size_t>(length)));
            else
                PyErr_Clear();  // lone surrogates: no table name can match
            if (!kind)
                raise_format(PyExc_ValueError, "%s state '%s' holds the unknown name %R", owner_,
                             key, name);
            kinds.push_back(*kind);
        }
        return kinds;
    }

    // The network encoded under `key`, or an empty network for None.
    std::shared_ptr<const Network> network(const char* key) const {
        PyObject* value = required(key);
        std::optional<std::string_view> bytes;
        if (value != Py_None) {
            if (!PyBytes_Check(value)) wrong_type(key, "bytes or None", value);
            bytes.emplace(PyBytes_AS_STRING(value),
                          static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
        }
        return std::make_shared<const Network>(decode_state_network(bytes, owner_, key));
    }

    [[noreturn]] void wrong_type(const char* key, const char* expected, PyObject* value) const {
        raise_format(PyExc_TypeError, "%s state '%s' must be %s, got %s", owner_, key, expected,
                     Py_TYPE(value)->tp_name);
    }

  private:
    static bool is_dict_key(PyObject* key) {
        return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "__dict__") == 0;
    }

    PyObject* state_;
    const char* owner_;
};

// The instance dictionary of a subclass instance, or none for an instance of the type itself.
PyRef instance_dict(PyObject* self) {
    PyObject* dict = PyObject_GetAttrString(self, "__dict__");
    if (dict != nullptr) return PyRef::steal(dict);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    return {};
}

// A fresh state dict, holding a copy of the instance dictionary when that is not empty.
PyRef new_state(PyObject* self) {
    PyRef state = PyRef::steal(PyDict_New());
    const PyRef dict = instance_dict(self);
    if (dict && PyDict_GET_SIZE(dict.get()) > 0) {
        const PyRef copy = PyRef::steal(PyDict_Copy(dict.get()));
        if (PyDict_SetItemString(state.get(), "__dict__", copy.get()) < 0) throw PythonError{};
    }
    return state;
}

// Stores a new reference made by the caller under `key`.
void put(PyObject* state, const char* key, PyRef value) {
    if (PyDict_SetItemString(state, key, value.get()) < 0) throw PythonError{};
}

// The instance dictionary that the state asks for: the present one updated with the state's
// "__dict__", as a new dict to be swapped in once everything else is checked. None when the state
// has no instance dictionary.
PyRef restored_instance_dict(PyObject* self, PyObject* state, const char* owner) {
    PyObject* wanted = PyDict_GetItemString(state, "__dict__");
    if (wanted == nullptr) {
        if (PyErr_Occurred()) throw PythonError{};
        return {};
    }
    if (!PyDict_Check(wanted))
        raise_format(PyExc_TypeError, "%s state '__dict__' must be a dict, got %s", owner,
                     Py_TYPE(wanted)->tp_name);
    PyObject *key, *value;
    Py_ssize_t position = 0;
    while (PyDict_Next(wanted, &position, &key, &value))
        if (!PyUnicode_Check(key))
            raise_format(PyExc_TypeError, "%s state '__dict__' has the key %R, which is not a str",
                         owner, key);
    const PyRef present = instance_dict(self);
    if (!present) {
        if (PyDict_GET_SIZE(wanted) == 0) return {};
        raise_format(PyExc_TypeError,
                     "%s state '__dict__' holds attributes, but %s instances have no __dict__",
                     owner, Py_TYPE(self)->tp_name);
    }
    PyRef merged = PyRef::steal(PyDict_Copy(present.get()));
    if (PyDict_Update(merged.get(), wanted) < 0) throw PythonError{};
    return merged;
}

void swap_in_instance_dict(PyObject* self, const PyRef& dict) {
    if (dict && PyObject_SetAttrString(self, "__dict__", dict.get()) < 0) throw PythonError{};
}

// (copyreg.__newobj__, (type,), self.__getstate__()): a subclass may change its state by
// overriding __getstate__ alone.
PyObject* reduce_object(PyObject* self) {
    return guarded([&] {
        const PyRef copyreg = PyRef::steal(PyImport_ImportModule("copyreg"));
        const PyRef newobj = PyRef::steal(PyObject_GetAttrString(copyreg.get(), "__newobj__"));
        const PyRef state = PyRef::steal(PyObject_CallMethod(self, "__getstate__", nullptr));
        return Py_BuildValue("(O(O)O)", newobj.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)),
                             state.get());
    });
}

ModelObject* as_model(PyObject* self) {
    model_state(self);  // refuses an object that Model.__new__ did not make
    return reinterpret_cast<ModelObject*>(self);
}

// The encoded network, or None for the empty network of an object that was never initialised.
PyRef encoded(const Network& network) {
    if (network.size == 0) return PyRef::borrow(Py_None);
    const std::string bytes = encode_network(network);
    return PyRef::steal(
        PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

PyRef boolean(bool value) {
    return PyRef::borrow(value ? Py_True : Py_False);
}
PyRef integer(long value) {
    return PyRef::steal(PyLong_FromLong(value));
}

}  // namespace

PyObject* model_reduce(PyObject* self, PyObject*) {
    return reduce_object(self);
}

PyObject* model_getstate(PyObject* self, PyObject*) {
    return guarded([&] {
        const ModelObject* model = as_model(self);
        const ModelState& state = *model->state;
        PyRef dict = new_state(self);
        put(dict.get(), "network", encoded(*state.network));
        put(dict.get(), "inputs", integer(state.inputs));
        put(dict.get(), "outputs", integer(state.outputs));
        put(dict.get(), "size", integer(model->size));
        put(dict.get(), "compiled", boolean(state.compiled));
        put(dict.get(), "has_loss", boolean(state.has_loss));
        put(dict.get(), "losses", kind_names(state.losses, 0, loss_names));
        put(dict.get(), "monitors", kind_names(state.monitors, 0, monitor_names));
        put(dict.get(), "optimizer",
            PyRef::borrow(state.optimizer ? state.optimizer.get() : Py_None));
        return dict.release();
    });
}

PyObject* model_setstate(PyObject* self, PyObject* state) {
    return guarded([&]() -> PyObject* {
        ModelObject* model = as_model(self);
        const StateReader reader(state, "Model",
                                 {"network", "inputs", "outputs", "size", "compiled", "has_loss",
                                  "losses", "monitors", "optimizer"});
        std::shared_ptr<const Network> network = reader.network("network");
        const std::int32_t inputs = reader.int32("inputs");
        const std::int32_t outputs = reader.int32("outputs");
        const std::int32_t size = reader.int32("size");
        const bool compiled = reader.boolean("compiled");
        const bool has_loss = reader.boolean("has_loss");
        std::vector<std::int32_t> losses = reader.kinds("losses", loss_from_name);
        std::vector<std::int32_t> monitors = reader.kinds("monitors", monitor_from_name);
        PyObject* optimizer = reader.required("optimizer");
        if (optimizer != Py_None) {
            const int is_alpha =
                PyObject_IsInstance(optimizer, reinterpret_cast<PyObject*>(&Alpha_Type));
            if (is_alpha < 0) throw PythonError{};
            const int is_beta =
                is_alpha ? 0
                         : PyObject_IsInstance(optimizer, reinterpret_cast<PyObject*>(&Beta_Type));
            if (is_beta < 0) throw PythonError{};
            if (is_alpha == 0 && is_beta == 0)
                reader.wrong_type("optimizer", "None, an Alpha or a Beta", optimizer);
        }

        check_model_state(*network, ModelStateFields{inputs, outputs, compiled, has_loss,
                                                     losses.size(), optimizer != Py_None});

        const PyRef dict = restored_instance_dict(self, state, "Model");
        swap_in_instance_dict(self, dict);
        // Nothing below can fail.
        ModelState& target = *model->state;
        target.inputs = inputs;
        target.outputs = outputs;
        target.compiled = compiled;
        target.has_loss = has_loss;
        target.losses = std::move(losses);
        target.monitors = std::move(monitors);
        PyRef old_optimizer = std::exchange(
            target.optimizer, optimizer == Py_None ? PyRef() : PyRef::borrow(optimizer));
        set_model_network(model, std::move(network));
        model->size = size;
        old_optimizer.reset();  // last: its release may run Python code
        Py_RETURN_NONE;
    });
}

PyObject* genome_reduce(PyObject* self, PyObject*) {
    return reduce_object(self);
}

PyObject* genome_getstate(PyObject* self, PyObject*) {
    return guarded([&] {
        const GenomeState& state = genome_state(self);
        PyRef dict = new_state(self);
        put(dict.get(), "network", encoded(*state.network));
        put(dict.get(), "inputs", integer(state.inputs));
        put(dict.get(), "outputs", integer(state.outputs));
        return dict.release();
    });
}

// The declared counts of a genome need not match its network (__init__ may change them), and
// predict refuses a mismatch, so they travel as they are.
PyObject* genome_setstate(PyObject* self, PyObject* state) {
    return guarded([&]() -> PyObject* {
        GenomeState& target = genome_state(self);
        const StateReader reader(state, "Genome", {"network", "inputs", "outputs"});
        std::shared_ptr<const Network> network = reader.network("network");
        const std::int32_t inputs = reader.int32("inputs");
        const std::int32_t outputs = reader.int32("outputs");
        const PyRef dict = restored_instance_dict(self, state, "Genome");
        swap_in_instance_dict(self, dict);
        target.network = std::move(network);
        target.inputs = inputs;
        target.outputs = outputs;
        Py_RETURN_NONE;
    });
}

PyObject* alpha_reduce(PyObject* self, PyObject*) {
    return reduce_object(self);
}

PyObject* alpha_getstate(PyObject* self, PyObject*) {
    return guarded([&] {
        PyRef dict = new_state(self);
        put(dict.get(), "mutation_rate",
            PyRef::steal(PyFloat_FromDouble(reinterpret_cast<AlphaObject*>(self)->mutation_rate)));
        return dict.release();
    });
}

PyObject* alpha_setstate(PyObject* self, PyObject* state) {
    return guarded([&]() -> PyObject* {
        const StateReader reader(state, "Alpha", {"mutation_rate"});
        const double mutation_rate = reader.real("mutation_rate");
        const PyRef dict = restored_instance_dict(self, state, "Alpha");
        swap_in_instance_dict(self, dict);
        reinterpret_cast<AlphaObject*>(self)->mutation_rate = mutation_rate;
        Py_RETURN_NONE;
    });
}

PyObject* beta_reduce(PyObject* self, PyObject*) {
    return reduce_object(self);
}

PyObject* beta_getstate(PyObject* self, PyObject*) {
    return guarded([&] {
        const BetaSettings& s = reinterpret_cast<BetaObject*>(self)->settings;
        auto real = [](double value) { return PyRef::steal(PyFloat_FromDouble(value)); };
        PyRef dict = new_state(self);
        put(dict.get(), "step_size", s.step_size ? real(*s.step_size) : PyRef::borrow(Py_None));
        put(dict.get(), "init_scale", real(s.init_scale));
        put(dict.get(), "elites", integer(s.elites));
        put(dict.get(), "parent_fraction", real(s.parent_fraction));
        put(dict.get(), "structure_rate", real(s.structure_rate));
        put(dict.get(), "max_hidden", integer(s.max_hidden));
        put(dict.get(), "size_penalty", real(s.size_penalty));
        put(dict.get(), "keep_model", boolean(s.keep_model));
        put(dict.get(), "reevaluate", boolean(s.reevaluate));
        // A state without a search is of the one Betas had before there was a choice, so the
        // states of such Betas stay readable by earlier versions.
        if (s.search != beta_unnamed_search)
            put(dict.get(), "search", PyRef::steal(PyUnicode_FromString(s.search.c_str())));
        return dict.release();
    });
}

PyObject* beta_setstate(PyObject* self, PyObject* state) {
    return guarded([&]() -> PyObject* {
        const StateReader reader(
            state, "Beta",
            {"step_size", "init_scale", "elites", "parent_fraction", "structure_rate", "max_hidden",
             "size_penalty", "keep_model", "reevaluate", "search"});
        BetaSettings s;
        s.search = beta_unnamed_search;
        if (reader.required("step_size") != Py_None) s.step_size = reader.real("step_size");
        s.init_scale = reader.real("init_scale");
        s.elites = reader.int32("elites");
        s.parent_fraction = reader.real("parent_fraction");
        s.structure_rate = reader.real("structure_rate");
        s.max_hidden = reader.int32("max_hidden");
        s.size_penalty = reader.real("size_penalty");
        s.keep_model = reader.boolean("keep_model");
        s.reevaluate = reader.boolean("reevaluate");
        if (PyObject* search = reader.optional("search")) {
            if (!PyUnicode_Check(search)) reader.wrong_type("search", "a str", search);
            s.search = beta_search_named(search);
        }
        check_beta_settings(s);
        const PyRef dict = restored_instance_dict(self, state, "Beta");
        swap_in_instance_dict(self, dict);
        reinterpret_cast<BetaObject*>(self)->settings = s;
        Py_RETURN_NONE;
    });
}

}  // namespace tessaron
