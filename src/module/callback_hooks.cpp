#include "module/callback_hooks.hpp"

#include <utility>

namespace tessaron {

CallbackRun::CallbackRun(ModelObject* model, PyObject* callbacks, PyObject* train_func)
    : model_(model), start_(model->state->network), start_size_(model->size) {
    // The bookkeeping over the list lives in Python, next to the callbacks themselves.
    const PyRef module = PyRef::steal(PyImport_ImportModule("tessaron.callbacks"));
    auto* const model_object = reinterpret_cast<PyObject*>(model);
    hooks_ = PyRef::steal(
        train_func == nullptr
            ? PyObject_CallMethod(module.get(), "CallbackList", "OO", callbacks, model_object)
            : PyObject_CallMethod(module.get(), "CallbackList", "OOO", callbacks, model_object,
                                  train_func));
    last_logs_ = PyRef::steal(PyDict_New());
    model_->stop_evolving = 0;
    PyRef::steal(PyObject_CallMethod(hooks_.get(), "on_train_begin", "O", last_logs_.get()));
}

CallbackRun::~CallbackRun() {
    if (finished_) return;
    set_model_network(model_, start_);
    model_->size = start_size_;
}

bool CallbackRun::epoch_end(Network best, std::int32_t epoch, PyRef logs) {
    set_model_network(model_, std::make_shared<const Network>(std::move(best)));
    last_logs_ = std::move(logs);
    PyRef::steal(PyObject_CallMethod(hooks_.get(), "on_epoch_end", "iO", epoch, last_logs_.get()));
    return model_->stop_evolving != 0;
}

void CallbackRun::train_end(PyObject* history) {
    PyRef::steal(PyObject_CallMethod(hooks_.get(), "on_train_end", "O", last_logs_.get()));
    if (history != nullptr)
        PyRef::steal(PyObject_CallMethod(hooks_.get(), "complete_history", "O", history));
    finished_ = true;
}

}  // namespace tessaron
