// Console lines of the evolution loops, and the duration format they use.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessaron {

// Text for a duration in milliseconds: "1:02:03", "4:05", "7s" or "250ms".
std::string format_duration(double milliseconds);

// Nanoseconds of the monotonic clock.
std::int64_t monotonic_nanoseconds();

struct ProgressLine {
    int verbose = 1;
    bool show_size = false;  // monitors were compiled
    std::int32_t size = 0;
    const std::vector<std::int32_t>* loss_kinds = nullptr;
    std::int64_t epoch_start = 0;
    std::int32_t epoch = 0;
    std::int32_t epochs = 0;
    std::int32_t batch_index = 0;
    std::int32_t batch_count = 1;
    const std::vector<double>* loss_sums = nullptr;
    const std::vector<double>* validation = nullptr;  // null without validation data
};

// The line of the dataset loop after one generation, or "" when `verbose` prints nothing.
std::string progress_line(const ProgressLine& line, std::int64_t now);

struct GenerationLine {
    int verbose = 1;
    bool show_size = false;
    std::int32_t size = 0;
    std::int64_t generation_start = 0;
    std::int32_t epoch = 0;
    std::int32_t epochs = 0;
    double best_loss = 0.0;
    bool has_validation = false;
    double validation_loss = 0.0;
};

// The line of the fitness-function loop after one epoch, or "" for verbose 0.
std::string generation_line(const GenerationLine& line, std::int64_t now);

}  // namespace tessaron
