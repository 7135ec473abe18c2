// The functions of the tessaron module (load, from_keras), defined with their subsystems.
#pragma once

#include "module/python.hpp"

namespace tessaron {

extern PyMethodDef module_functions[];

}  // namespace tessaron
