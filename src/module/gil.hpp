// Releases the interpreter lock for the life of the object; re-takes it even when an exception
// leaves the scope, so that the exception can be translated with the lock held.
#pragma once

#include "module/py_ref.hpp"

namespace tessaron {

class GilRelease {
  public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;
    ~GilRelease() { PyEval_RestoreThread(state_); }

    // Holds the lock again for the life of the object, inside a released region.
    class Held {
      public:
        explicit Held(GilRelease& region) : region_(region) {
            PyEval_RestoreThread(region_.state_);
        }
        Held(const Held&) = delete;
        Held& operator=(const Held&) = delete;
        ~Held() { region_.state_ = PyEval_SaveThread(); }

      private:
        GilRelease& region_;
    };

  private:
    PyThreadState* state_;
};

// Throws PythonError when a signal handler raised (Ctrl-C gives KeyboardInterrupt). Must be
// called with the lock held.
inline void check_signals() {
    if (PyErr_CheckSignals() < 0) throw PythonError{};
}

}  // namespace tessaron
