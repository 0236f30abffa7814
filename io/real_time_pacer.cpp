#include "io/real_time_pacer.h"

#include <poll.h>

#include <cerrno>

namespace terramod {

RealTimePacer::RealTimePacer(double sample_rate, std::chrono::milliseconds lead,
                             int wake_descriptor)
    : sample_rate_(sample_rate), lead_(lead), wake_descriptor_(wake_descriptor) {}

bool RealTimePacer::wait_until_due(int64_t first_sample) {
    const Clock::time_point now = Clock::now();
    if (!start_) start_ = now;
    const auto offset = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(first_sample) / sample_rate_));
    const Clock::time_point due = *start_ + offset - lead_;
    for (Clock::time_point time = now; time < due; time = Clock::now()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - time).count();
        pollfd wake{wake_descriptor_, POLLIN, 0};
        const int ready = ::poll(&wake, wake_descriptor_ >= 0 ? 1 : 0, static_cast<int>(left));
        if (ready > 0) return false;
        if (ready < 0 && errno != EINTR) return true;
    }
    return true;
}

}  // namespace terramod
