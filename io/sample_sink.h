// Where the encoded output samples of each cycle go (a file, standard output,
// an SDR device).
#pragma once

#include <cstdint>
#include <span>

namespace terramod {

class SampleSink {
  public:
    virtual ~SampleSink() = default;
    // Writes one cycle's encoded samples (interleaved I/Q in the sink's sample
    // type); false on failure (the sink has logged why).
    virtual bool write_samples(std::span<const uint8_t> encoded) = 0;
    // Flushes and closes; false when that failed.
    virtual bool close() = 0;
};

}  // namespace terramod
