// Where the encoded output samples of each cycle go (a file, standard output,
// an SDR device).
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace terramod {

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
    // type) whole; false on failure.
    virtual bool write_samples(std::span<const uint8_t> encoded) = 0;
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
};

}  // namespace terramod
