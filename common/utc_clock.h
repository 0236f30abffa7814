// The system clock's time, UTC, in nanoseconds since 1970: what the logs and
// the events give as wall-clock times.
#pragma once

#include <chrono>
#include <cstdint>

namespace terramod {

inline int64_t utc_now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace terramod
