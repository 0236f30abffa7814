// The arithmetic of the progress line and the speed line, kept apart from the
// loop so that it can be checked for any input size.
#pragma once

#include <chrono>
#include <cstdint>

namespace terramod {

// 100 / input length, as a float (0 for an empty input, which runs no cycle).
inline float make_progress_factor(uint64_t input_length) {
    return input_length == 0 ? 0.0f : static_cast<float>(100.0 / static_cast<double>(input_length));
}

// The percentage the progress line prints: bytes consumed x progress factor,
// computed in double precision from the float factor and not rounded to float
// (rounding the count or the product to float moves figures such as 6168.7).
inline double progress_percent(uint64_t bytes_consumed, float progress_factor) {
    return static_cast<double>(bytes_consumed) * static_cast<double>(progress_factor);
}

// Seconds of the timed loop; a loop too fast for the clock counts as 1 us, so
// the rate never divides by zero.
inline double run_seconds(std::chrono::microseconds elapsed) {
    const auto ticks = elapsed.count() > 0 ? elapsed.count() : 1;
    return static_cast<double>(ticks) * 1e-6;
}

// The progress line of a stream (unknown length): megabytes (10^6 bytes) of
// input taken and seconds of signal produced at the base sampling rate.
inline double input_megabytes(uint64_t bytes_taken) {
    return static_cast<double>(bytes_taken) * 1e-6;
}
inline double signal_seconds(uint64_t base_rate_samples, double sampling_rate) {
    return static_cast<double>(base_rate_samples) / sampling_rate;
}

}  // namespace terramod
