// io/ts_source.h
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace terramod {
// Where the transport stream comes from: a file, standard input, a FIFO, or a filter over another source.
class TsSource {
  public:
    virtual ~TsSource() = default;
    // Fills `block` (a whole number of 188-byte packets) with the next bytes of the stream, blocking
    // for a stream until the block is full or the input ends. Returns how many bytes of real input it
    // holds; fewer than block.size() only when the input has ended (or failed: see failed()). The
    // caller pads the rest.
    virtual size_t read_packets(std::span<uint8_t> block) = 0;
    // The input's length in bytes when known in advance (a regular file), else nothing.
    virtual std::optional<uint64_t> known_length() const = 0;
    // True once a read error ended the input early (the source has logged a warning).
    virtual bool failed() const { return false; }
};
}
