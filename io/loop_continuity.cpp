#include "io/loop_continuity.h"

#include <algorithm>
#include <cstring>

namespace terramod {

namespace {

// The PTS and DTS fields of a PES packet starting in this packet (clause
// 2.4.3.6), each null where absent or beyond the `length` bytes read.
struct PesTimestamps {
    uint8_t* pts = nullptr;
    uint8_t* dts = nullptr;
};

PesTimestamps find_pes_timestamps(uint8_t* packet, size_t length) {
    if (!ts::payload_unit_start(packet) || !ts::has_payload(packet) || ts::transport_error(packet))
        return {};
    const size_t start = ts::payload_offset(packet);
    // Start code, stream_id, length, two flag bytes, header length, a PTS.
    if (start + 14 > length) return {};
    uint8_t* pes = packet + start;
    if (pes[0] != 0 || pes[1] != 0 || pes[2] != 1 || !ts::has_optional_pes_header(pes[3]))
        return {};
    if ((pes[6] & 0xC0) != 0x80) return {};  // not the '10' of an ISO/IEC 13818-1 PES header
    const uint8_t flags = pes[7] >> 6;
    const uint8_t header_length = pes[8];
    PesTimestamps found;
    if ((flags & 0x02) && header_length >= 5) found.pts = pes + 9;
    if (flags == 0x03 && header_length >= 10 && start + 19 <= length) found.dts = pes + 14;
    return found;
}

// `advance` ticks over `between` packets, extrapolated to `packets`, rounded.
int64_t line_over(int64_t advance, uint64_t between, uint64_t packets) {
    const unsigned __int128 scaled = static_cast<unsigned __int128>(advance) * packets;
    const unsigned __int128 divisor = between;
    return static_cast<int64_t>((scaled * 2 + divisor) / (divisor * 2));
}

// The longest two consecutive PCRs of a PID may lie apart across a wrap
// (ETSI TR 101 290 PCR_repetition_error), and the spacing of those the gap
// adds: 30 ms leaves room for a pass's own PCRs, which do not fall on a grid.
constexpr int64_t kMaxPcrInterval = 27000000 / 1000 * 40;
constexpr int64_t kGapPcrSpacing = 27000000 / 1000 * 30;

// The whole packets `ticks` span at `advance` ticks over `between` packets.
uint64_t packets_within(int64_t ticks, int64_t advance, uint64_t between) {
    const unsigned __int128 scaled = static_cast<unsigned __int128>(ticks) * between;
    return static_cast<uint64_t>(scaled / static_cast<uint64_t>(advance));
}

}  // namespace

LoopContinuity::LoopContinuity(uint64_t pass_packets) : pass_packets_(pass_packets) {
    last_counter_.fill(kUnset);
    pass_offset_.fill(kUnset);
}

void LoopContinuity::take(uint8_t* packet, size_t length) {
    const uint64_t index = index_++;
    if (length < 4 || !ts::is_synchronised(packet)) return;
    const uint16_t pid = ts::pid(packet);
    if (pid != ts::kNullPid) carry_counter(packet, pid);
    if (length >= 12 && ts::carries_pcr(packet)) {
        if (pass_ == 0) note_pcr(packet, pid, index);
        if (pass_ > 0) on_pcr(packet, pid);
    }
    if (pass_ == 0) note_pts(packet, length, pid);
    if (pass_ > 0 && duration_) move_pes_timestamps(packet, length);
}

void LoopContinuity::note_pcr(uint8_t* packet, uint16_t pid, uint64_t index) {
    const int64_t pcr = ts::read_pcr(packet);
    pcr_spans_.try_emplace(pid, PcrSpan{index, pcr, index}).first->second.last_index = index;
    if (timing_pid_ >= 0 && timing_pid_ != pid) return;
    if (timing_pid_ < 0) {
        timing_pid_ = pid;
        first_pcr_index_ = index;
        first_pcr_ = pcr;
    }
    last_pcr_index_ = index;
    last_pcr_ = pcr;
}

void LoopContinuity::carry_counter(uint8_t* packet, uint16_t pid) {
    const uint8_t control = ts::adaptation_field_control(packet);
    if (control == 0) return;  // reserved: discarded by a decoder, counts nothing
    const uint8_t counter = ts::continuity_counter(packet);
    if (pass_offset_[pid] == kUnset) {
        // The first packet of the pass on this PID follows the last one sent.
        const uint8_t step = ts::has_payload(packet) ? 1 : 0;
        pass_offset_[pid] =
            last_counter_[pid] == kUnset ? 0 : (last_counter_[pid] + step - counter) & 0x0F;
    }
    const uint8_t carried = (counter + pass_offset_[pid]) & 0x0F;
    ts::set_continuity_counter(packet, carried);
    last_counter_[pid] = carried;
}

void LoopContinuity::on_pcr(uint8_t* packet, uint16_t pid) {
    if (duration_) {
        ts::write_pcr(packet, ts::read_pcr(packet) + pcr_offset_);
    } else if (!pcr_marked_[pid]) {
        ts::set_discontinuity(packet);
        pcr_marked_[pid] = true;
    }
}

void LoopContinuity::move_pes_timestamps(uint8_t* packet, size_t length) const {
    const PesTimestamps found = find_pes_timestamps(packet, length);
    for (uint8_t* field : {found.pts, found.dts})
        if (field) ts::write_timestamp(field, ts::read_timestamp(field) + timestamp_offset_);
}

// PTS values are taken relative to the PID's first, so the clock's wrap
// does not matter, and their range in presentation order is kept: pictures
// sent out of order (B-pictures) put the earliest and the latest anywhere.
void LoopContinuity::note_pts(uint8_t* packet, size_t length, uint16_t pid) {
    const PesTimestamps found = find_pes_timestamps(packet, length);
    if (!found.pts) return;
    const int64_t pts = ts::read_timestamp(found.pts);
    ContentSpan& span = content_[pid];
    if (span.count++ == 0) {
        span.first = span.previous = pts;
        return;
    }
    const int64_t at = ts::timestamp_difference(span.first, pts);
    span.earliest = std::min(span.earliest, at);
    span.latest = std::max(span.latest, at);
    // One frame: the smallest positive step between consecutive PTS. Sent
    // out of order, consecutive pictures' PTS differ by several frames or go
    // back, but some two are one frame apart. (The most common step would
    // need a count per step value and is the same for evenly spaced frames.)
    const int64_t step = ts::timestamp_difference(span.previous, pts);
    if (step > 0 && (span.frame == 0 || step < span.frame)) span.frame = step;
    span.previous = pts;
}

// The longest a PES PID's content lasts, from its earliest PTS to one frame
// past its latest, in 27 MHz ticks; none without a PID of two advancing PTS.
std::optional<int64_t> LoopContinuity::content_duration() const {
    std::optional<int64_t> longest;
    for (const auto& [pid, span] : content_) {
        if (span.count < 2 || span.frame == 0) continue;
        const int64_t lasts = (span.latest - span.earliest + span.frame) * 300;
        longest = std::max(longest.value_or(0), lasts);
    }
    return longest;
}

// The line through the timing PID's first and last PCR, over the whole pass
// and the null packets that make it last as long as its content: so the next
// pass's first PCR continues the timeline to within a tick. Content lasting
// more than twice the packets is taken as timestamps on a clock of their own
// (a file with a jump in them), not as frames to wait for.
void LoopContinuity::measure_duration() {
    if (timing_pid_ < 0 || last_pcr_index_ <= first_pcr_index_) return;
    const int64_t advance = ts::pcr_advance(first_pcr_, last_pcr_);
    if (advance == 0 || advance >= ts::kPcrModulus / 2) return;  // not advancing
    const uint64_t between = last_pcr_index_ - first_pcr_index_;
    const int64_t packets_last = line_over(advance, between, pass_packets_);
    const std::optional<int64_t> content = content_duration();
    if (content && packets_last > 0 && *content > packets_last && *content <= 2 * packets_last) {
        // n = ceil((C - D_p) / t), t = D_p / pass_packets_.
        const unsigned __int128 missing =
            static_cast<unsigned __int128>(*content - packets_last) * pass_packets_;
        gap_packets_ = static_cast<uint64_t>((missing + packets_last - 1) / packets_last);
    }
    duration_ = line_over(advance, between, pass_packets_ + gap_packets_) % ts::kPcrModulus;
    place_gap_pcrs(advance, between);
}

// The slots of the gap that carry a PCR, the same at every wrap.
void LoopContinuity::place_gap_pcrs(int64_t advance, uint64_t between) {
    line_advance_ = advance;
    line_packets_ = between;
    if (gap_packets_ == 0) return;
    const auto timing_pid = static_cast<uint16_t>(timing_pid_);
    place_gap_pcrs_of(timing_pid, pcr_spans_.at(timing_pid), advance, between);
    for (const auto& [pid, span] : pcr_spans_)
        if (pid != timing_pid) place_gap_pcrs_of(pid, span, advance, between);
}

// Positions count packets from the pass's start: the pass's last PCR of the
// PID at its last index, the gap from pass_packets_, the next pass's first
// PCR past the gap.
void LoopContinuity::place_gap_pcrs_of(uint16_t pid, const PcrSpan& span, int64_t advance,
                                       uint64_t between) {
    const uint64_t gap_start = pass_packets_;
    const uint64_t gap_end = pass_packets_ + gap_packets_;  // one past the gap
    const uint64_t next = gap_end + span.first_index;
    const uint64_t step = packets_within(kGapPcrSpacing, advance, between);
    uint64_t previous = span.last_index;
    while (line_over(advance, between, next - previous) > kMaxPcrInterval) {
        const uint64_t lowest = std::max(gap_start, previous + 1);
        if (lowest >= gap_end) return;
        const uint64_t wanted = std::clamp(previous + step, lowest, gap_end - 1);
        uint64_t slot = wanted;
        while (slot >= lowest && gap_pcrs_.count(slot - gap_start)) --slot;
        if (slot < lowest) {
            slot = wanted + 1;
            while (slot < gap_end && gap_pcrs_.count(slot - gap_start)) ++slot;
            if (slot == gap_end) return;
        }
        gap_pcrs_[slot - gap_start] = pid;
        previous = slot;
    }
}

// A PCR-only packet (clause 2.4.3.4): adaptation_field_control 10, so the
// counter repeats the PID's last; adaptation_field_length 183, only the
// PCR_flag set, stuffing after the PCR. Its PCR: the PID's first PCR of the
// next pass (pcr_offset_ is the next pass's already) less the packets
// between at the timing PID's rate.
void LoopContinuity::write_gap_packet(uint64_t slot, uint8_t* packet) const {
    const auto found = gap_pcrs_.find(slot);
    if (found == gap_pcrs_.end()) {
        // Payload only, counter 0 (a null packet's counter means nothing).
        const uint8_t header[] = {ts::kSyncByte, ts::kNullPid >> 8, ts::kNullPid & 0xFF, 0x10};
        std::memcpy(packet, header, sizeof header);
        std::memset(packet + sizeof header, 0xFF, ts::kPacketSize - sizeof header);
        return;
    }
    const uint16_t pid = found->second;
    const PcrSpan& span = pcr_spans_.at(pid);
    const uint8_t header[] = {ts::kSyncByte,
                              static_cast<uint8_t>(pid >> 8),
                              static_cast<uint8_t>(pid & 0xFF),
                              static_cast<uint8_t>(0x20 | (last_counter_[pid] & 0x0F)),
                              183,
                              0x10};
    std::memcpy(packet, header, sizeof header);
    std::memset(packet + sizeof header, 0xFF, ts::kPacketSize - sizeof header);
    packet[10] = 0x7E;  // the six reserved bits between PCR base and extension
    const uint64_t before_next = gap_packets_ - slot + span.first_index;
    const int64_t first_next = span.first + pcr_offset_;
    ts::write_pcr(packet, first_next - line_over(line_advance_, line_packets_, before_next));
}

void LoopContinuity::start_next_pass() {
    if (pass_ == 0) measure_duration();
    ++pass_;
    index_ = 0;
    pass_offset_.fill(kUnset);
    pcr_marked_.fill(false);
    if (duration_) {
        pcr_offset_ = (pcr_offset_ + *duration_) % ts::kPcrModulus;
        timestamp_offset_ = ((pcr_offset_ + 150) / 300) % ts::kTimestampModulus;
    }
}

}  // namespace terramod
