#include "common/console.hpp"

#include <atomic>
#include <cstdio>

namespace tessaron {
namespace {

void write_to_stdout(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

std::atomic<ConsoleWriter> current_writer{write_to_stdout};

}  // namespace

void set_console_writer(ConsoleWriter writer) {
    current_writer.store(writer ? writer : write_to_stdout);
}

void console_write(std::string_view text) {
    if (!text.empty()) current_writer.load()(text);
}

}  // namespace tessaron
