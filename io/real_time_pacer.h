// --realtime: samples written to a file or standard output no faster than
// the signal's own rate, as a device would take them, so that a live input
// goes through its jitter buffer as on the air.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace terramod {

class RealTimePacer {
  public:
    using Clock = std::chrono::steady_clock;

    // `sample_rate` in Hz (of the sample indices given to wait_until_due);
    // `lead`: how far ahead of the signal's time the writer may run.
    // `wake_descriptor` (or -1): a wait ends early once it is readable.
    RealTimePacer(double sample_rate, std::chrono::milliseconds lead, int wake_descriptor = -1);

    // Waits until the sample `first_sample` (counted from the run's first,
    // whose time is the first call's) is due less than `lead` from now.
    // False when the wake descriptor ended the wait.
    bool wait_until_due(int64_t first_sample);

  private:
    double sample_rate_;
    std::chrono::milliseconds lead_;
    int wake_descriptor_;
    std::optional<Clock::time_point> start_;
};

}  // namespace terramod
