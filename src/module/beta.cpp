#include "module/beta.hpp"

#include <memory>
#include <new>
#include <string>

#include "evolution/optimizers/alpha.hpp"
#include "evolution/optimizers/beta_searches.hpp"

namespace tessaron {
namespace {

int beta_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"step_size",       "init_scale",     "elites",
                                     "parent_fraction", "structure_rate", "max_hidden",
                                     "size_penalty",    "keep_model",     "reevaluate",
                                     "search",          nullptr};
    BetaSettings settings;
    int keep_model = settings.keep_model;
    int reevaluate = settings.reevaluate;
    PyObject* search = nullptr;
    PyObject* step_size = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OdiddidppU", const_cast<char**>(keywords),
                                     &step_size, &settings.init_scale, &settings.elites,
                                     &settings.parent_fraction, &settings.structure_rate,
                                     &settings.max_hidden, &settings.size_penalty, &keep_model,
                                     &reevaluate, &search))
        return -1;
    settings.keep_model = keep_model != 0;
    settings.reevaluate = reevaluate != 0;
    return guarded_status([&] {
        settings.step_size = optional_step_size(step_size);
        if (search != nullptr) settings.search = beta_search_named(search);
        check_beta_settings(settings);
        reinterpret_cast<BetaObject*>(self)->settings = settings;
        return 0;
    });
}

PyObject* beta_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) new (&reinterpret_cast<BetaObject*>(self)->settings) BetaSettings();
    return self;
}

void beta_dealloc(PyObject* self) {
    std::destroy_at(&reinterpret_cast<BetaObject*>(self)->settings);
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef beta_methods[] = {
    {"__reduce__", beta_reduce, METH_NOARGS, "Helper for pickle and copy."},
    {"__getstate__", beta_getstate, METH_NOARGS, "The settings, by keyword."},
    {"__setstate__", beta_setstate, METH_O, "Restores the state given by __getstate__."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

std::string beta_search_named(PyObject* name) {
    for (const BetaSearch& search : beta_searches()) {
        const std::string text(search.name);
        const int same = PyUnicode_CompareWithASCIIString(name, text.c_str());
        if (PyErr_Occurred()) throw PythonError{};
        if (same == 0) return text;
    }
    raise_format(PyExc_ValueError, "search must be %s, got %R", beta_search_names().c_str(), name);
}

std::optional<double> optional_step_size(PyObject* value) {
    if (value == Py_None) return std::nullopt;
    const double step = PyFloat_AsDouble(value);
    if (step == -1.0 && PyErr_Occurred()) throw PythonError{};
    return step;
}

std::unique_ptr<Optimizer> optimizer_for(const ModelState& state, std::int32_t pop_size) {
    if (!state.optimizer) return make_alpha();
    const int is_beta =
        PyObject_IsInstance(state.optimizer.get(), reinterpret_cast<PyObject*>(&Beta_Type));
    if (is_beta < 0) throw PythonError{};
    if (is_beta == 0) return make_alpha();
    return make_beta(reinterpret_cast<BetaObject*>(state.optimizer.get())->settings, pop_size);
}

PyTypeObject Beta_Type = [] {
    PyTypeObject type = blank_type_object();
    type.tp_name = "tessaron.optimizers.Beta";
    type.tp_basicsize = sizeof(BetaObject);
    type.tp_dealloc = beta_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_doc =
        "Beta(*, step_size=None, init_scale=1.0, elites=2, parent_fraction=0.08, "
        "structure_rate=0.1, max_hidden=8, size_penalty=0.0001, keep_model=True, "
        "reevaluate=False, search='covariance')\n--\n\n"
        "An optimizer that learns with few evaluations. The default search, "
        "search='covariance', adapts a distribution over the weights and biases of one network "
        "(a covariance-adapting evolution strategy, each parameter on its natural scale), grows "
        "hidden nodes while they pay and restarts with more samples when progress stalls, and "
        "treats the scores of func_evolve, of batches and of reevaluate=True as noisy (the "
        "distribution's mean is then the best); under categorical cross-entropy it ranks networks "
        "with a penalty on their squared weights (three tenths of logistic regression's), so that "
        "the probabilities do not run to 0 and 1. search='select' breeds mutated copies of the "
        "best members with self-adapting steps and structural changes (elites, parent_fraction, "
        "structure_rate, size_penalty); search='gradient' moves one centre network along a "
        "direction estimated from the ranks of mirrored perturbations of it, for very noisy "
        "fitness. step_size=None takes each search's own first step size.";
    type.tp_init = beta_init;
    type.tp_new = beta_new;
    type.tp_methods = beta_methods;
    type.tp_repr = beta_repr;
    return type;
}();

}  // namespace tessaron
