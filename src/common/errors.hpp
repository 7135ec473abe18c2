// Failures raised by the plain C++ core. The Python boundary turns each into its own Python
// exception type; nothing here depends on Python.
#pragma once

#include <stdexcept>
#include <string>

namespace tessaron {

// An integrity check of a network failed during variation. what() is the line that was printed
// for it.
struct IntegrityError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// Data from outside (a file, arguments, a foreign model) is malformed.
struct InvalidData : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The operating system refused an operation on a path; error_number is its errno.
struct IoError : std::runtime_error {
    IoError(int error_number, std::string path, const std::string& what)
        : std::runtime_error(what), error_number(error_number), path(std::move(path)) {}
    int error_number;
    std::string path;
};

}  // namespace tessaron
