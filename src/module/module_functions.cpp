#include "module/module_functions.hpp"

namespace tessaron {

PyMethodDef module_functions[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tessaron
