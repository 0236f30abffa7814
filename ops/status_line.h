// The one-line status of a paced run, shown on the console once a second
// while its cycles run, in place of the cycle and progress lines:
//
//   in 4.98 Mbit/s | buffer 200 ms | out 1:02:03 | underflows 0 | TS loss 1 (now) | clipped 0
//
// On a terminal the line is drawn over itself ("\r", the text, erase to the
// end of the line); anywhere else (a file, a pipe, a service's journal) each
// showing is a line of its own. The line keeps its own time, from a clock
// that tests replace.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "ops/metrics.h"

namespace terramod {

// Seconds as h:mm:ss (hours unbounded), rounded down; 0:00:00 for what is
// not a number of seconds from 0 on.
std::string hours_minutes_seconds(double seconds);

// The status text of `values`; the buffer fill is shown for a live input
// only.
std::string status_text(const MetricValues& values, bool live_input);

struct StatusLineOptions {
    bool terminal = false;    // draw in place (the console is a terminal)
    bool live_input = false;  // show the jitter buffer's fill
    std::chrono::milliseconds interval{1000};
};

class StatusLine {
  public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    // `console` is written and flushed at each showing (null: nothing is).
    StatusLine(std::FILE* console, StatusLineOptions options, Now now = &Clock::now);

    // Shows `values` the first time, and then when the interval has passed
    // since the last showing was due; true when it was shown.
    bool update(const MetricValues& values);
    // A terminal's line erased before another text is written there, and
    // drawn again after it (nothing for a console that is no terminal).
    void clear();
    void redraw();
    // The end of the loop: the last values shown once more when anything
    // was shown before (on a terminal the line is then ended).
    void finish(const MetricValues& values);

  private:
    void show(const std::string& text);
    void write(const std::string& text);

    std::FILE* console_;
    StatusLineOptions options_;
    Now now_;
    std::optional<Clock::time_point> next_due_;
    std::string shown_;   // the last text shown
    bool drawn_ = false;  // a terminal's line holds the text now
};

}  // namespace terramod
