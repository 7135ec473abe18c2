// repr of Model, Genome, Alpha and Beta: what the object is made of, in one line.
#include <string>
#include <string_view>

#include "evolution/losses.hpp"
#include "module/alpha.hpp"
#include "module/beta.hpp"
#include "module/genome.hpp"
#include "module/kind_names.hpp"
#include "module/model.hpp"
#include "module/model_methods.hpp"

namespace tessaron {
namespace {

// "tessaron.Model" for the type itself, "module.QualifiedName" for a Python subclass.
PyRef type_name(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE))
        return PyRef::steal(PyUnicode_FromString(type->tp_name));
    PyObject* type_object = reinterpret_cast<PyObject*>(type);
    const PyRef module = PyRef::steal(PyObject_GetAttrString(type_object, "__module__"));
    const PyRef name = PyRef::steal(PyObject_GetAttrString(type_object, "__qualname__"));
    return PyRef::steal(PyUnicode_FromFormat("%S.%S", module.get(), name.get()));
}

// " compiled loss='mse' metrics=['mae'] monitors=['size']" or " not compiled".
PyRef compile_text(const ModelState& state) {
    if (!state.compiled) return PyRef::steal(PyUnicode_FromString(" not compiled"));
    const PyRef metrics = kind_names(state.losses, state.has_loss ? 1 : 0, loss_names);
    const PyRef monitors = kind_names(state.monitors, 0, monitor_names);
    if (!state.has_loss)
        return PyRef::steal(PyUnicode_FromFormat(" compiled metrics=%R monitors=%R", metrics.get(),
                                                 monitors.get()));
    const std::string_view loss = loss_names[state.losses[0]];
    const PyRef loss_name = PyRef::steal(
        PyUnicode_FromStringAndSize(loss.data(), static_cast<Py_ssize_t>(loss.size())));
    return PyRef::steal(PyUnicode_FromFormat(" compiled loss=%R metrics=%R monitors=%R",
                                             loss_name.get(), metrics.get(), monitors.get()));
}

}  // namespace

PyObject* model_repr(PyObject* self) {
    return guarded([&] {
        const auto* model = reinterpret_cast<ModelObject*>(self);
        const ModelState& state = model_state(self);
        const PyRef name = type_name(self);
        const PyRef compiled = compile_text(state);
        return PyUnicode_FromFormat("<%U inputs=%d outputs=%d size=%d%U>", name.get(), state.inputs,
                                    state.outputs, model->size, compiled.get());
    });
}

PyObject* genome_repr(PyObject* self) {
    return guarded([&] {
        const GenomeState* state = &genome_state(self);
        const PyRef name = type_name(self);
        return PyUnicode_FromFormat("<%U inputs=%d outputs=%d size=%d>", name.get(), state->inputs,
                                    state->outputs, state->network->size);
    });
}

PyObject* alpha_repr(PyObject* self) {
    return guarded([&] {
        const PyRef name = type_name(self);
        const PyRef rate =
            PyRef::steal(PyFloat_FromDouble(reinterpret_cast<AlphaObject*>(self)->mutation_rate));
        return PyUnicode_FromFormat("%U(mutation_rate=%R)", name.get(), rate.get());
    });
}

PyObject* beta_repr(PyObject* self) {
    return guarded([&] {
        const PyRef name = type_name(self);
        const BetaSettings& s = reinterpret_cast<BetaObject*>(self)->settings;
        auto real = [](double value) { return PyRef::steal(PyFloat_FromDouble(value)); };
        const PyRef step = s.step_size ? real(*s.step_size) : PyRef::borrow(Py_None),
                    scale = real(s.init_scale), parents = real(s.parent_fraction),
                    structure = real(s.structure_rate), penalty = real(s.size_penalty);
        const std::string search = ", search='" + s.search + "'";
        return PyUnicode_FromFormat(
            "%U(step_size=%R, init_scale=%R, elites=%d, parent_fraction=%R, structure_rate=%R, "
            "max_hidden=%d, size_penalty=%R, keep_model=%s, reevaluate=%s%s)",
            name.get(), step.get(), scale.get(), s.elites, parents.get(), structure.get(),
            s.max_hidden, penalty.get(), s.keep_model ? "True" : "False",
            s.reevaluate ? "True" : "False", search.c_str());
    });
}

}  // namespace tessaron
