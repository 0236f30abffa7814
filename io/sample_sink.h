// Where the encoded output samples of each cycle go (a file, standard output,
// an SDR device).
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace terramod {

// When a cycle's samples are due. Cycles have a fixed size, so the index of
// a cycle's first sample at the output rate, counted from the run's first
// sample, is exact. A run with a time base also knows when that sample is
// to leave the antenna (on the clock of that time base, such as a device's
// hardware time).
struct CycleTime {
    int64_t first_sample = 0;
    std::optional<int64_t> transmit_time_ns;
};

// The CycleTime of each cycle of a run.
class CycleClock {
  public:
    // sample_rate: at the output, Hz. first_sample_time_ns: when the run's
    // first sample is to leave the antenna; nothing without a time base.
    CycleClock(int64_t samples_per_cycle, double sample_rate,
               std::optional<int64_t> first_sample_time_ns = std::nullopt)
        : samples_per_cycle_(samples_per_cycle),
          sample_rate_(sample_rate),
          first_sample_time_ns_(first_sample_time_ns) {}

    // The cycle counted from 0.
    CycleTime at(int64_t cycle_index) const {
        CycleTime time;
        time.first_sample = cycle_index * samples_per_cycle_;
        if (first_sample_time_ns_)
            time.transmit_time_ns =
                *first_sample_time_ns_ +
                std::llround(static_cast<long double>(time.first_sample) * 1e9L / sample_rate_);
        return time;
    }
    std::optional<int64_t> first_sample_time_ns() const { return first_sample_time_ns_; }

  private:
    int64_t samples_per_cycle_;
    double sample_rate_;
    std::optional<int64_t> first_sample_time_ns_;
};

class SampleSink {
  public:
    virtual ~SampleSink() = default;
    // Makes the sink ready for writing; false when it cannot be.
    virtual bool open() = 0;
    virtual bool is_open() const = 0;
    // After a failed open: another run holds the sink's lock.
    virtual bool in_use() const { return false; }
    // The name the messages give the sink.
    virtual const std::string& name() const = 0;
    // Writes one cycle's encoded samples (interleaved I/Q in the sink's sample
    // type) whole; false on failure. `time` says when they are due: a sink
    // that keeps time (a device) starts them at its transmit time, if any.
    virtual bool write_samples(std::span<const uint8_t> encoded, const CycleTime& time) = 0;
    // Flushes and closes; false when that failed. A sink never opened closes
    // successfully.
    virtual bool close() = 0;
    // True once a write failed because the sink's reader went away (a pipe
    // closed by its reader): nothing more can be delivered.
    virtual bool reader_gone() const { return false; }
    // True once a write gave up waiting because a stop signal came: the run
    // ends as the signal asks, the failure is no fault of the sink.
    virtual bool interrupted() const { return false; }

    // A device's: watches for events (underflows) between writes, warning of
    // them as they come; whether any sample was lost on the way (an
    // underflow, a late burst, a stream error); the totals at the end.
    virtual void poll_events() {}
    virtual bool lost_samples() const { return false; }
    virtual void report_totals() {}
    // A device's underflows and late bursts so far.
    virtual uint64_t underflows() const { return 0; }
    virtual uint64_t late_bursts() const { return 0; }
    // A device's: changes its gain (dB) or centre frequency (Hz) between two
    // writes. An error message when the value is outside the device's range
    // or the device refused it; nothing once it is set.
    virtual std::optional<std::string> set_gain(double) { return "the output is no device"; }
    virtual std::optional<std::string> set_frequency(double) { return "the output is no device"; }
    // A device's gain range (dB), and the ranges it can tune to (Hz; none
    // when it does not say).
    virtual std::optional<std::pair<double, double>> gain_range() const { return std::nullopt; }
    virtual std::vector<std::pair<double, double>> frequency_ranges() const { return {}; }
    // A device's hardware clock (ns, the time base of transmit times), read
    // now; nothing for a sink that keeps no time.
    virtual std::optional<int64_t> hardware_time_ns() { return std::nullopt; }
};

}  // namespace terramod
