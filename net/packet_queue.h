// A bounded, thread-safe queue of transport stream packets with their arrival
// times: a network input's receive thread pushes, the chain's side pops and
// never waits on the network.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>

#include "io/ts_packet.h"

namespace terramod {

struct QueuedPacket {
    std::array<uint8_t, ts::kPacketSize> bytes;
    std::chrono::steady_clock::time_point arrival;
};

struct PacketQueueCounters {
    uint64_t packets_pushed = 0;
    uint64_t packets_dropped = 0;  // pushed onto a full queue: the oldest went
    size_t high_water = 0;         // packets held at once
};

class PacketQueue {
  public:
    using Clock = std::chrono::steady_clock;

    // `capacity`: the packets held at most (at least 1).
    explicit PacketQueue(size_t capacity);

    // Appends the whole packets of `packets` (a multiple of 188 bytes), all
    // arrived at `arrival`. A full queue drops its oldest packets (counted).
    void push(std::span<const uint8_t> packets, Clock::time_point arrival);
    // Moves up to `out.size()` packets into `out` without waiting; returns how
    // many.
    size_t pop(std::span<QueuedPacket> out);
    // Drops the oldest packets until at most `keep` remain; returns how many
    // went (not counted as overflow: the caller chose to drop them).
    size_t trim_to(size_t keep);
    // Drops the packets that arrived before `cutoff`; returns how many went
    // (not counted as overflow).
    size_t drop_arrived_before(Clock::time_point cutoff);
    // Waits until the queue holds a packet or `deadline` has passed; true
    // when a packet is there.
    bool wait_until_nonempty(Clock::time_point deadline);

    size_t size() const;
    size_t capacity() const { return capacity_; }
    // The arrival time of the oldest and the newest packet held (the queue
    // must not be empty).
    Clock::time_point oldest_arrival() const;
    Clock::time_point newest_arrival() const;
    PacketQueueCounters counters() const;

  private:
    const size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<QueuedPacket> packets_;
    PacketQueueCounters counters_;
};

}  // namespace terramod
