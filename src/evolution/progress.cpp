#include "evolution/progress.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "evolution/losses.hpp"

namespace tessaron {
namespace {

void append_format(std::string& text, const char* format, auto... values) {
    char buffer[512];
    const int length = std::snprintf(buffer, sizeof buffer, format, values...);
    if (length < 0) return;
    if (static_cast<std::size_t>(length) < sizeof buffer) {
        text.append(buffer, static_cast<std::size_t>(length));
    } else {  // "%f" of a huge value can be long
        std::string long_text(static_cast<std::size_t>(length) + 1, '\0');
        std::snprintf(long_text.data(), long_text.size(), format, values...);
        long_text.pop_back();
        text += long_text;
    }
}

}  // namespace

std::string format_duration(double x) {
    const int h = static_cast<int>(std::floor(x / 1000 / 60 / 60));
    x = x - h * 1e3 * 60 * 60;
    const int m = static_cast<int>(std::floor(x / 1000 / 60));
    x = x - m * 1e3 * 60;
    const int s = static_cast<int>(std::floor(x / 1000));
    std::string text;
    if (h > 0)
        append_format(text, "%d:%02d:%02d", h, m, s);
    else if (m > 0)
        append_format(text, "%d:%02d", m, s);
    else if (s > 0)
        append_format(text, "%ds", s);
    else
        append_format(text, "%dms", static_cast<int>(x));
    return text;
}

std::int64_t monotonic_nanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string progress_line(const ProgressLine& line, std::int64_t now) {
    const std::int32_t done = line.batch_index + 1;
    const std::int32_t count = line.batch_count;
    const bool closing = done == count;
    if (line.verbose == 0 || (line.verbose == 2 && !closing)) return {};
    const char* marker = count > 1 ? "*" : "";

    std::string text;
    append_format(text, "\rEpoch %d/%d", line.epoch + 1, line.epochs);
    if (line.verbose == 1) {
        append_format(text, " - %d/%d [", done, count);
        const double f = static_cast<double>(done) / count;
        for (int i = 0; i < 30; ++i) text += f > i / 30.0 ? '=' : f > (i - 1) / 30.0 ? '>' : '.';
        text += ']';
    }
    const double elapsed = static_cast<double>(now - line.epoch_start) / 1e6;
    text += " - ";
    if (closing) {
        text += format_duration(elapsed);
        if (line.verbose == 1) {
            text += ' ';
            text += format_duration(elapsed / count);
            text += "/step";
        }
    } else {
        text += "ETA: ";
        text += format_duration(elapsed / done * count - elapsed);
    }
    const std::vector<std::int32_t>& kinds = *line.loss_kinds;
    for (std::size_t k = 0; k < kinds.size(); ++k) {
        const std::string_view name = k == 0 ? "loss" : loss_names[kinds[k]];
        append_format(text, " - %.*s%s: %f", static_cast<int>(name.size()), name.data(), marker,
                      (*line.loss_sums)[k] / done);
    }
    if (line.validation != nullptr) {
        for (std::size_t k = 0; k < kinds.size(); ++k) {
            const std::string_view name = k == 0 ? "loss" : loss_names[kinds[k]];
            append_format(text, " - val_%.*s: %f", static_cast<int>(name.size()), name.data(),
                          (*line.validation)[k]);
        }
    }
    if (line.show_size) append_format(text, " - size: %d", line.size);
    if (closing) text += '\n';
    return text;
}

std::string generation_line(const GenerationLine& line, std::int64_t now) {
    if (line.verbose == 0) return {};
    std::string text;
    append_format(text, "\rEpoch %d/%d - ", line.epoch + 1, line.epochs);
    text += format_duration(static_cast<double>(now - line.generation_start) / 1e6);
    append_format(text, " - loss: %f", line.best_loss);
    if (line.has_validation) append_format(text, " - val_loss: %f", line.validation_loss);
    if (line.show_size) append_format(text, " - size: %d", line.size);
    text += '\n';
    return text;
}

}  // namespace tessaron
