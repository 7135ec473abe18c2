// Releases the interpreter lock for the life of the object; re-takes it even when an exception
// leaves the scope, so that the exception can be translated with the lock held.
#pragma once

#include "module/python.hpp"

namespace tessaron {

class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;
    ~GilRelease() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

}  // namespace tessaron
