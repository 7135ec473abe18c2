// Routes the core's console output to Python's sys.stdout.
#pragma once

namespace tessaron {

void use_python_console();

}  // namespace tessaron
