#include "io/loop_continuity.h"

namespace terramod {

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
        if (pass_ == 0 && (timing_pid_ < 0 || timing_pid_ == pid)) {
            if (timing_pid_ < 0) {
                timing_pid_ = pid;
                first_pcr_index_ = index;
                first_pcr_ = ts::read_pcr(packet);
            }
            last_pcr_index_ = index;
            last_pcr_ = ts::read_pcr(packet);
        }
        if (pass_ > 0) on_pcr(packet, pid);
    }
    if (pass_ > 0 && duration_) move_pes_timestamps(packet, length);
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

// A PES packet starting in this packet (clause 2.4.3.6): its PTS and DTS.
void LoopContinuity::move_pes_timestamps(uint8_t* packet, size_t length) const {
    if (!ts::payload_unit_start(packet) || !ts::has_payload(packet) || ts::transport_error(packet))
        return;
    const size_t start = ts::payload_offset(packet);
    // Start code, stream_id, length, two flag bytes, header length, a PTS.
    if (start + 14 > length) return;
    uint8_t* pes = packet + start;
    if (pes[0] != 0 || pes[1] != 0 || pes[2] != 1 || !ts::has_optional_pes_header(pes[3])) return;
    if ((pes[6] & 0xC0) != 0x80) return;  // not the '10' of an ISO/IEC 13818-1 PES header
    const uint8_t flags = pes[7] >> 6;
    const uint8_t header_length = pes[8];
    if ((flags & 0x02) && header_length >= 5)
        ts::write_timestamp(pes + 9, ts::read_timestamp(pes + 9) + timestamp_offset_);
    if (flags == 0x03 && header_length >= 10 && start + 19 <= length)
        ts::write_timestamp(pes + 14, ts::read_timestamp(pes + 14) + timestamp_offset_);
}

// The line through the timing PID's first and last PCR, over the whole pass:
// so the next pass's first PCR continues the timeline to within a tick.
void LoopContinuity::measure_duration() {
    if (timing_pid_ < 0 || last_pcr_index_ <= first_pcr_index_) return;
    const int64_t advance = ts::pcr_advance(first_pcr_, last_pcr_);
    if (advance == 0 || advance >= ts::kPcrModulus / 2) return;  // not advancing
    const unsigned __int128 packets = last_pcr_index_ - first_pcr_index_;
    const unsigned __int128 scaled = static_cast<unsigned __int128>(advance) * pass_packets_;
    duration_ = static_cast<int64_t>(((scaled * 2 + packets) / (packets * 2)) % ts::kPcrModulus);
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
