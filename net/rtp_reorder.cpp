#include "net/rtp_reorder.h"

#include <algorithm>
#include <bit>

namespace terramod {
namespace {

constexpr size_t kMaxWindow = 1024;

// How far `later` is ahead of `earlier` on the 16-bit circle.
uint16_t distance(uint16_t earlier, uint16_t later) {
    return static_cast<uint16_t>(later - earlier);
}

}  // namespace

RtpReorder::RtpReorder(size_t window, Clock::duration wait)
    : wait_(wait), slots_(std::bit_ceil(std::clamp<size_t>(window, 1, kMaxWindow))) {
    delivered_.fill(-1);
}

RtpReorder::Outcome RtpReorder::push(uint16_t sequence, std::span<const uint8_t> payload,
                                     Clock::time_point now, const Deliver& deliver) {
    if (!started_) {
        started_ = true;
        expected_ = sequence;
        highest_ = static_cast<uint16_t>(sequence - 1);  // as if the one before came
    }
    // RFC 3550 A.1: measured from the highest number seen, 3000 or more
    // ahead or 100 or more behind is a new numbering.
    const uint16_t past_highest = distance(highest_, sequence);
    if (past_highest >= kMaxDropout && past_highest <= 65536 - kMaxMisorder) {
        resynchronise(sequence, deliver);
        deliver(payload);
        remember_delivered(sequence);
        ++expected_;
        return Outcome::kResynchronised;
    }
    const uint16_t ahead = distance(expected_, sequence);
    if (ahead == 0 && held_ == 0) {
        // The usual case: the next one, nothing waiting.
        deliver(payload);
        remember_delivered(sequence);
        highest_ = sequence;
        ++expected_;
        return Outcome::kDelivered;
    }
    const bool newest = past_highest != 0 && past_highest < kMaxDropout;
    if (newest) {
        // Beyond the window: give up on the oldest missing ones until it fits.
        while (distance(expected_, sequence) >= slots_.size()) advance(deliver);
        highest_ = sequence;
    } else if (ahead >= slots_.size()) {
        // Behind the next expected: handed on already, or given up on.
        if (was_delivered(sequence)) {
            ++counters_.duplicates;
            return Outcome::kDuplicate;
        }
        ++counters_.late;
        return Outcome::kLate;
    } else if (slot_of(sequence).held) {
        ++counters_.duplicates;
        return Outcome::kDuplicate;
    } else {
        ++counters_.reordered;  // a gap before the highest filled
    }
    hold(sequence, payload, now);
    release_ready(deliver);
    // Handed on with the ones before it when it filled the first gap, or
    // when the window moving on gave up on every gap before it.
    return slot_of(sequence).held ? Outcome::kHeld : Outcome::kDelivered;
}

void RtpReorder::expire(Clock::time_point now, const Deliver& deliver) {
    for (std::optional<Clock::time_point> due = deadline(); due && *due <= now; due = deadline()) {
        advance(deliver);  // the first missing one: lost
        release_ready(deliver);
    }
}

std::optional<RtpReorder::Clock::time_point> RtpReorder::deadline() const {
    if (held_ == 0) return std::nullopt;
    std::optional<Clock::time_point> oldest;
    for (const Slot& slot : slots_) {
        if (slot.held && (!oldest || slot.arrival < *oldest)) oldest = slot.arrival;
    }
    return *oldest + wait_;
}

void RtpReorder::hold(uint16_t sequence, std::span<const uint8_t> payload, Clock::time_point now) {
    Slot& slot = slot_of(sequence);
    slot.held = true;
    slot.arrival = now;
    slot.payload.assign(payload.begin(), payload.end());
    ++held_;
}

void RtpReorder::advance(const Deliver& deliver) {
    Slot& slot = slot_of(expected_);
    if (slot.held) {
        deliver(slot.payload);
        slot.held = false;
        --held_;
        remember_delivered(expected_);
    } else {
        ++counters_.lost;
    }
    ++expected_;
}

void RtpReorder::release_ready(const Deliver& deliver) {
    while (held_ > 0 && slot_of(expected_).held) advance(deliver);
}

void RtpReorder::resynchronise(uint16_t sequence, const Deliver& deliver) {
    while (held_ > 0) advance(deliver);
    ++counters_.resyncs;
    delivered_.fill(-1);
    expected_ = sequence;
    highest_ = sequence;  // push() hands it on at once
}

void RtpReorder::remember_delivered(uint16_t sequence) {
    delivered_[sequence % kHistory] = sequence;
}

bool RtpReorder::was_delivered(uint16_t sequence) const {
    return delivered_[sequence % kHistory] == sequence;
}

}  // namespace terramod
