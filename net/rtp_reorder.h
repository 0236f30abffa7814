// Puts RTP datagrams (RFC 3550) back in sequence-number order. A datagram
// that arrives ahead of a missing one is held until the missing one comes or
// the window passes: `window` datagrams beyond the first missing one, or
// `wait` after the oldest held one arrived, whichever comes first. What is
// still missing then counts as lost and the rest goes on. Sequence numbers
// are 16 bits and wrap; a jump as far as RFC 3550 appendix A.1's limits
// (3000 past the highest number seen, or 100 behind it) means the sender
// restarted: the buffer follows the new numbering.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace terramod {

class RtpReorder {
  public:
    using Clock = std::chrono::steady_clock;
    // Receives each payload that is due, in sequence order.
    using Deliver = std::function<void(std::span<const uint8_t> payload)>;

    struct Counters {
        uint64_t lost = 0;        // numbers never seen within the window
        uint64_t reordered = 0;   // arrived after a higher number, put back in order
        uint64_t duplicates = 0;  // seen before (dropped)
        uint64_t late = 0;        // arrived after being counted lost (dropped)
        uint64_t resyncs = 0;     // jumps to a new numbering
    };

    // What became of one datagram.
    enum class Outcome { kDelivered, kHeld, kDuplicate, kLate, kResynchronised };

    // `window`: a power of two, at most 1024.
    explicit RtpReorder(size_t window = 32, Clock::duration wait = std::chrono::milliseconds(100));

    // Takes datagram `sequence`, arrived at `now`; delivers, in order, every
    // payload now due (this one at once when it is the next expected and
    // nothing is held).
    Outcome push(uint16_t sequence, std::span<const uint8_t> payload, Clock::time_point now,
                 const Deliver& deliver);
    // Gives up waiting for missing datagrams whose time has passed at `now`
    // and delivers what follows them.
    void expire(Clock::time_point now, const Deliver& deliver);
    // When expire() has something to do; nothing while nothing is held.
    std::optional<Clock::time_point> deadline() const;

    const Counters& counters() const { return counters_; }
    size_t held() const { return held_; }

  private:
    struct Slot {
        bool held = false;
        Clock::time_point arrival;
        std::vector<uint8_t> payload;
    };
    // The last numbers handed on, to tell a duplicate from a late datagram.
    static constexpr size_t kHistory = 128;
    static constexpr uint16_t kMaxDropout = 3000;
    static constexpr uint16_t kMaxMisorder = 100;

    Slot& slot_of(uint16_t sequence) { return slots_[sequence & (slots_.size() - 1)]; }
    void hold(uint16_t sequence, std::span<const uint8_t> payload, Clock::time_point now);
    // Hands on `expected_` (when held) and moves past it.
    void advance(const Deliver& deliver);
    // Hands on the held datagrams from expected_ onwards that have no gap
    // before them.
    void release_ready(const Deliver& deliver);
    // Delivers everything held, counting the gaps as lost, and starts the
    // numbering again at `sequence`.
    void resynchronise(uint16_t sequence, const Deliver& deliver);
    void remember_delivered(uint16_t sequence);
    bool was_delivered(uint16_t sequence) const;

    Clock::duration wait_;
    std::vector<Slot> slots_;
    bool started_ = false;
    uint16_t expected_ = 0;  // the next number to hand on
    uint16_t highest_ = 0;   // the highest number seen (valid while started)
    size_t held_ = 0;
    std::array<int32_t, kHistory> delivered_;  // -1: nothing there
    Counters counters_;
};

}  // namespace terramod
