// io/sample_sink.h
#pragma once

#include <cstdint>
#include <span>

namespace terramod {
// Where the encoded output samples of each cycle go (a file, standard output, an SDR device).
class SampleSink {
  public:
    virtual ~SampleSink() = default;
    // Writes one cycle's encoded samples (interleaved I/Q in the sink's sample type); false on failure
    // (the sink has logged why).
    virtual bool write_samples(std::span<const uint8_t> encoded) = 0;
    // Flushes and closes; false when that failed.
    virtual bool close() = 0;
};
}
