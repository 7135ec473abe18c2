// The user's callbacks of one evolution call (the `callbacks` keyword), driven from the loop.
#pragma once

#include <cstdint>
#include <memory>

#include "module/model.hpp"
#include "module/py_ref.hpp"
#include "network/network.hpp"

namespace tessaron {

// While a run with callbacks goes on, the model shows the best network of the latest epoch, so
// that callbacks can save it, keep it or predict with it. Unless the run finishes, the model gets
// back the network and size it had before the call: a failure leaves it unchanged. All members
// are used with the interpreter lock held.
class CallbackRun {
  public:
    // Checks `callbacks`, gives every callback the model, clears model.stop_evolving and calls
    // on_train_begin. A `train_func` given joins the list with its own callback, if it has one
    // (tessaron.callbacks.CallbackList says how).
    CallbackRun(ModelObject* model, PyObject* callbacks, PyObject* train_func = nullptr);
    CallbackRun(const CallbackRun&) = delete;
    CallbackRun& operator=(const CallbackRun&) = delete;
    ~CallbackRun();

    // Shows `best` in the model and calls on_epoch_end(epoch, logs); true when a callback asked
    // the run to stop.
    bool epoch_end(Network best, std::int32_t epoch, PyRef logs);

    // Calls on_train_end with the last epoch's logs; the model stays as the callbacks leave it.
    // With a `history`, the values that a train_func's own callback logged go into it.
    void train_end(PyObject* history = nullptr);

  private:
    ModelObject* model_;
    PyRef hooks_;
    PyRef last_logs_;
    std::shared_ptr<const Network> start_;
    std::int32_t start_size_;
    bool finished_ = false;
};

}  // namespace tessaron
