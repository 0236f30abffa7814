#include "ops/status_line.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ops/metrics.h"

namespace terramod {
namespace {

using std::chrono::milliseconds;

TEST(StatusLine, HoursMinutesSeconds) {
    struct Case {
        double seconds;
        const char* text;
    };
    const Case cases[] = {
        {0.999, "0:00:00"},    {59.999, "0:00:59"}, {3600, "1:00:00"},         {3723.9, "1:02:03"},
        {360000, "100:00:00"}, {-5, "0:00:00"},     {std::nan(""), "0:00:00"},
    };
    for (const Case& test : cases)
        EXPECT_EQ(hours_minutes_seconds(test.seconds), test.text) << test.seconds;
}

TEST(StatusLine, TextOfTheValues) {
    struct Case {
        double input_rate_bps;
        double buffer_seconds;
        double output_seconds;
        uint64_t underflows;
        uint64_t ts_loss_events;
        bool ts_loss;
        uint64_t clipped;
        bool live_input;
        const char* text;
    };
    const Case cases[] = {
        // Nothing measured yet.
        {0, 0, 0, 0, 0, false, 0, false,
         "in - Mbit/s | out 0:00:00 | underflows 0 | TS loss 0 | clipped 0"},
        // A live input with a loss now.
        {4976640, 0.1984, 3723.9, 2, 1, true, 17, true,
         "in 4.98 Mbit/s | buffer 198 ms | out 1:02:03 | underflows 2 | TS loss 1 (now) | "
         "clipped 17"},
        // The buffer is a live input's only; a loss that ended.
        {6032086, 0.2, 59.5, 0, 3, false, 0, false,
         "in 6.03 Mbit/s | out 0:00:59 | underflows 0 | TS loss 3 | clipped 0"},
        // Large counters, and figures that are no numbers.
        {31.67e6, std::nan(""), 360000, 18446744073709551615u, 12345678901u, false, 1000000, true,
         "in 31.67 Mbit/s | buffer 0 ms | out 100:00:00 | underflows 18446744073709551615 | "
         "TS loss 12345678901 | clipped 1000000"},
        {-1, -0.5, -1, 0, 0, false, 0, true,
         "in - Mbit/s | buffer 0 ms | out 0:00:00 | underflows 0 | TS loss 0 | clipped 0"},
    };
    for (const Case& test : cases) {
        MetricValues values;
        values.input_rate_bps = test.input_rate_bps;
        values.buffer_seconds = test.buffer_seconds;
        values.output_seconds = test.output_seconds;
        values.underflows = test.underflows;
        values.ts_loss_events = test.ts_loss_events;
        values.ts_loss = test.ts_loss;
        values.clipped_samples = test.clipped;
        EXPECT_EQ(status_text(values, test.live_input), test.text);
    }
}

// A clock the test moves by hand.
struct FakeClock {
    StatusLine::Clock::time_point now{};
    StatusLine::Now function() {
        return [this] { return now; };
    }
};

// Shown the first time, then once the second that was due has come; the
// steps stay on the whole seconds from the first showing, and start again
// after a long pause.
TEST(StatusLine, OncePerInterval) {
    struct Step {
        int at_ms;
        bool shown;
    };
    const Step steps[] = {
        {0, true},     {1, false},     {500, false},  {999, false},   {1000, true},
        {1001, false}, {1999, false},  {2003, true},  {2999, false},  {3000, true},
        {10400, true}, {11399, false}, {11400, true}, {11400, false},
    };
    FakeClock clock;
    StatusLine line(nullptr, StatusLineOptions{}, clock.function());
    const MetricValues values;
    for (const Step& step : steps) {
        clock.now = StatusLine::Clock::time_point(milliseconds(step.at_ms));
        EXPECT_EQ(line.update(values), step.shown) << step.at_ms;
    }
}

// What the console receives: on a terminal the line is drawn over itself,
// cleared around a message and ended at the finish; elsewhere each showing
// is a line of its own and clearing does nothing.
TEST(StatusLine, TerminalAndPlainConsole) {
    enum class Action { kUpdate, kClear, kRedraw, kFinish };
    struct Step {
        int at_ms;
        Action action;
        double output_seconds;
    };
    // Before the first showing nothing is cleared or drawn.
    const std::vector<Step> steps = {
        {0, Action::kClear, 0},       {0, Action::kRedraw, 0},   {0, Action::kUpdate, 0},
        {500, Action::kUpdate, 0.5},  {600, Action::kClear, 0},  {600, Action::kClear, 0},
        {600, Action::kRedraw, 0},    {600, Action::kRedraw, 0}, {1000, Action::kUpdate, 1},
        {1200, Action::kFinish, 1.2},
    };
    const std::string line0 = "in - Mbit/s | out 0:00:00 | underflows 0 | TS loss 0 | clipped 0";
    const std::string line1 = "in - Mbit/s | out 0:00:01 | underflows 0 | TS loss 0 | clipped 0";
    struct Case {
        bool terminal;
        std::string console;
    };
    const Case cases[] = {
        {true, "\r" + line0 + "\x1b[K" + "\r\x1b[K" + "\r" + line0 + "\x1b[K" + "\r" + line1 +
                   "\x1b[K" + "\r" + line1 + "\x1b[K\n"},
        {false, line0 + "\n" + line1 + "\n" + line1 + "\n"},
    };
    for (const Case& test : cases) {
        char* buffer = nullptr;
        size_t size = 0;
        std::FILE* console = open_memstream(&buffer, &size);
        ASSERT_NE(console, nullptr);
        FakeClock clock;
        StatusLineOptions options;
        options.terminal = test.terminal;
        StatusLine line(console, options, clock.function());
        for (const Step& step : steps) {
            clock.now = StatusLine::Clock::time_point(milliseconds(step.at_ms));
            MetricValues values;
            values.output_seconds = step.output_seconds;
            switch (step.action) {
                case Action::kUpdate:
                    line.update(values);
                    break;
                case Action::kClear:
                    line.clear();
                    break;
                case Action::kRedraw:
                    line.redraw();
                    break;
                case Action::kFinish:
                    line.finish(values);
                    break;
            }
        }
        // Nothing more once finished.
        line.clear();
        line.redraw();
        line.finish(MetricValues{});
        std::fclose(console);
        EXPECT_EQ(std::string(buffer, size), test.console) << test.terminal;
        std::free(buffer);
    }
}

}  // namespace
}  // namespace terramod
