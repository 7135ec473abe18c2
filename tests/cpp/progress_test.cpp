#include "evolution/progress.hpp"

#include <gtest/gtest.h>

#include "evolution/losses.hpp"

namespace tessaron {
namespace {

TEST(FormatDuration, Examples) {
    EXPECT_EQ(format_duration(0), "0ms");
    EXPECT_EQ(format_duration(250.7), "250ms");
    EXPECT_EQ(format_duration(999.9), "999ms");
    EXPECT_EQ(format_duration(1000), "1s");
    EXPECT_EQ(format_duration(7500), "7s");
    EXPECT_EQ(format_duration(59999), "59s");
    EXPECT_EQ(format_duration(60000), "1:00");
    EXPECT_EQ(format_duration(65000), "1:05");
    EXPECT_EQ(format_duration(245000), "4:05");
    EXPECT_EQ(format_duration(3605000), "1:00:05");
    EXPECT_EQ(format_duration(3723000), "1:02:03");
    EXPECT_EQ(format_duration(36000000 + 59 * 60000 + 59999), "10:59:59");
}

constexpr std::int64_t ms = 1000000;  // nanoseconds

struct Fixture {
    std::vector<std::int32_t> kinds{mse, mae};
    std::vector<double> sums{0.15625, 0.6};  // five batches: 0.03125 and 0.12 on average
    std::vector<double> validation{0.04, 0.13};
    ProgressLine line() {
        ProgressLine line;
        line.show_size = true;
        line.size = 7;
        line.loss_kinds = &kinds;
        line.epoch = 2;
        line.epochs = 100;
        line.batch_index = 4;
        line.batch_count = 10;
        line.loss_sums = &sums;
        return line;
    }
};

TEST(ProgressLine, MidEpochWithBarAndEta) {
    Fixture f;
    EXPECT_EQ(progress_line(f.line(), 2000 * ms),
              "\rEpoch 3/100 - 5/10 [===============>..............] - ETA: 2s - loss*: "
              "0.031250 - mae*: 0.120000 - size: 7");
}

TEST(ProgressLine, ClosingLineWithValidation) {
    Fixture f;
    ProgressLine line = f.line();
    line.batch_index = 9;
    line.size = 8;
    f.sums = {0.3, 1.18};
    line.validation = &f.validation;
    EXPECT_EQ(progress_line(line, 4120 * ms),
              "\rEpoch 3/100 - 10/10 [==============================] - 4s 412ms/step - loss*: "
              "0.030000 - mae*: 0.118000 - val_loss: 0.040000 - val_mae: 0.130000 - size: 8\n");
}

TEST(ProgressLine, VerboseLevels) {
    Fixture f;
    ProgressLine line = f.line();
    line.verbose = 0;
    EXPECT_EQ(progress_line(line, 0), "");
    line.verbose = 2;
    EXPECT_EQ(progress_line(line, 0), "");  // only the closing line
    line.batch_index = 9;
    f.sums = {0.3, 1.2};
    line.show_size = false;
    EXPECT_EQ(progress_line(line, 85 * ms),
              "\rEpoch 3/100 - 85ms - loss*: 0.030000 - mae*: 0.120000\n");
    line.verbose = 3;  // every generation, without the bar and the per-step time
    line.batch_index = 4;
    EXPECT_EQ(progress_line(line, 100 * ms),
              "\rEpoch 3/100 - ETA: 100ms - loss*: 0.060000 - mae*: 0.240000");
}

TEST(ProgressLine, OneBatchHasNoMarkerAndAFullBar) {
    std::vector<std::int32_t> kinds{mae};
    std::vector<double> sums{0.25};
    ProgressLine line;
    line.loss_kinds = &kinds;
    line.loss_sums = &sums;
    line.epochs = 100;
    EXPECT_EQ(progress_line(line, 85 * ms),
              "\rEpoch 1/100 - 1/1 [==============================] - 85ms 85ms/step - loss: "
              "0.250000\n");
    line.verbose = 2;
    EXPECT_EQ(progress_line(line, 85 * ms), "\rEpoch 1/100 - 85ms - loss: 0.250000\n");
}

TEST(GenerationLine, Formats) {
    GenerationLine line;
    line.epoch = 11;
    line.epochs = 100;
    line.best_loss = 0.5;
    line.has_validation = true;
    line.validation_loss = 0.6;
    EXPECT_EQ(generation_line(line, 64000 * ms),
              "\rEpoch 12/100 - 1:04 - loss: 0.500000 - val_loss: 0.600000\n");
    line.has_validation = false;
    line.show_size = true;
    line.size = 9;
    line.verbose = 2;
    EXPECT_EQ(generation_line(line, 5 * ms), "\rEpoch 12/100 - 5ms - loss: 0.500000 - size: 9\n");
    line.verbose = 0;
    EXPECT_EQ(generation_line(line, 5 * ms), "");
}

}  // namespace
}  // namespace tessaron
