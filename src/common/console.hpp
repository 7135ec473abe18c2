// The one channel through which the core writes to the user's console. The extension module
// redirects it to Python's sys.stdout; plain C++ programs and tests get the process's stdout.
#pragma once

#include <string_view>

namespace tessaron {

using ConsoleWriter = void (*)(std::string_view text);

// Replaces the writer; nullptr restores the default (stdout, flushed after each write).
void set_console_writer(ConsoleWriter writer);

// Writes text as it stands (no newline is added) and flushes it.
void console_write(std::string_view text);

}  // namespace tessaron
