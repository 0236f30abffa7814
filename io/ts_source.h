// Where the transport stream comes from: a file, standard input, a FIFO, or a
// filter over another source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

namespace terramod {

class TsSource {
  public:
    virtual ~TsSource() = default;
    // Fills `block` (a whole number of 188-byte packets) with the next bytes of
    // the stream, blocking for a stream until the block is full or the input
    // ends. Returns how many bytes of real input it holds; fewer than
    // block.size() only when the input has ended (or failed: see failed()).
    // The caller pads the rest.
    virtual size_t read_packets(std::span<uint8_t> block) = 0;
    // The input's length in bytes when known in advance (a regular file),
    // else nothing.
    virtual std::optional<uint64_t> known_length() const = 0;
    // True once a read error ended the input early (the source has logged a
    // warning).
    virtual bool failed() const { return false; }
    // True once the stream cannot be carried at all (a filter found it
    // unusable): the "FATAL ERROR: " message is logged, the run stops at once.
    virtual bool fatal() const { return false; }
    // Before the first read: a stream that may start mid-packet skips to its
    // first packet (and says so); a file starts at its first byte.
    virtual void skip_to_first_packet() {}
    // Whether any byte of input remains, blocking for a stream until one has
    // arrived or the input has ended.
    virtual bool has_more_input() = 0;
    // The bytes taken from the input so far: handed out or skipped.
    virtual uint64_t bytes_taken() const = 0;
    // Work to do now and then (about every quarter second) while a stream
    // waits for input, such as watching the device the samples go to. A
    // source that never waits ignores it.
    virtual void set_idle_task(std::function<void()> task) { (void)task; }
    // Whether the input can start again at its first byte (--loop): a
    // regular file of known length can, a stream cannot.
    virtual bool can_rewind() const { return false; }
    // Starts again at the first byte; false when it cannot (or failed).
    virtual bool rewind() { return false; }

    // A live input (a network feed in a paced run) never makes the chain
    // wait: read_packets() fills the block, with null packets for what has
    // not arrived (a TS loss), and read_available() hands out only what has
    // arrived, possibly nothing. Other sources are not live.
    virtual bool live() const { return false; }
    // The packets that have arrived, without waiting (a live input); any
    // other source reads as read_packets() does.
    virtual size_t read_available(std::span<uint8_t> block) { return read_packets(block); }
    // True while a live input has nothing to hand out (a TS loss).
    virtual bool stalled() const { return false; }
    // How many times a live input's timing broke: it resumed after a TS loss
    // or switched to another input. Packets after a break are not timed
    // from those before it.
    virtual uint64_t timing_breaks() const { return 0; }
    // A live input's buffer fill against its target, in seconds (positive:
    // more buffered than the target), smoothed; a rate servo steers by it.
    // Nothing for other sources, or while the fill is not yet measured.
    virtual std::optional<double> buffer_fill_error() const { return std::nullopt; }
};

}  // namespace terramod
