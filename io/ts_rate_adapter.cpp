#include "io/ts_rate_adapter.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <map>
#include <string>

#include "io/channel_rates.h"

namespace terramod {

namespace {

constexpr size_t kChunkPackets = 64;
constexpr size_t kSuggestedSettings = 3;
constexpr double kBitsPerPacket = 8.0 * ts::kPacketSize;
// PCRs kept of a PID that does not time the stream; as many on a PID while
// the declared PCR PID carries none make it the timing PID.
constexpr size_t kCandidatePcrs = 8;
// Programmes followed at most (a mangled stream may name any number).
constexpr size_t kMaxProgrammes = 1024;

bool contains(const std::vector<uint16_t>& pids, uint16_t pid) {
    return std::find(pids.begin(), pids.end(), pid) != pids.end();
}

// The first section starting in a packet with payload_unit_start set, or null
// when the packet holds none whole enough to read `needed` bytes of it.
const uint8_t* section_start(const uint8_t* packet, size_t needed) {
    if (!ts::payload_unit_start(packet) || !ts::has_payload(packet)) return nullptr;
    size_t offset = 4;
    if (ts::has_adaptation_field(packet)) offset += 1 + packet[4];
    if (offset >= ts::kPacketSize) return nullptr;
    offset += 1 + packet[offset];  // pointer field
    if (offset + needed > ts::kPacketSize) return nullptr;
    return packet + offset;
}

size_t section_length(const uint8_t* section) {
    return static_cast<size_t>(((section[1] & 0x0F) << 8) | section[2]);
}

}  // namespace

RateAdaptingSource::RateAdaptingSource(TsSource& input, double channel_rate, ChannelSpacing spacing,
                                       Log& log, double start_delay)
    : RateAdaptingSource(input, channel_rate, channel_band(spacing), log, start_delay) {}

RateAdaptingSource::RateAdaptingSource(TsSource& input, double channel_rate, ChannelBand band,
                                       Log& log, double start_delay, const char* stream_name)
    : input_(input),
      log_(log),
      channel_rate_(channel_rate),
      band_(std::move(band)),
      stream_name_(stream_name),
      ticks_per_slot_(kBitsPerPacket * ts::kClockRate / channel_rate),
      start_delay_ticks_(start_delay > 0 ? start_delay * ts::kClockRate : 0.0),
      chunk_(kChunkPackets * ts::kPacketSize),
      live_(input.live()) {
    if (!(channel_rate > 0) || !std::isfinite(channel_rate)) {
        stop("channel rate %g bit/s: --adapt-rate needs a positive rate\n", channel_rate);
        return;
    }
    const double slots = std::round(kServoInterval * ts::kClockRate / ticks_per_slot_);
    servo_interval_slots_ = slots > 1 ? static_cast<uint64_t>(slots) : 1;
}

bool RateAdaptingSource::has_more_input() {
    if (finished_) return false;
    if (fatal_ || live_) return true;
    // With nothing held, only the input's end tells whether nulls are owed.
    // A fatal message found here waits for the read that returns nothing.
    if (!input_ended_ && held_.empty() && !input_.has_more_input()) {
        looking_ahead_ = true;
        read_input();
        looking_ahead_ = false;
    }
    if (fatal_) return true;
    return !input_ended_ || !held_.empty() || next_slot_ < end_slot_;
}

size_t RateAdaptingSource::read_packets(std::span<uint8_t> block) {
    if (!held_message_.empty()) {
        log_.fatal("%s", held_message_.c_str());
        held_message_.clear();
    }
    size_t filled = 0;
    while (!fatal_ && !finished_ && block.size() - filled >= ts::kPacketSize) {
        const size_t written = fill_next_slot(block.data() + filled);
        filled += written;
        if (written < ts::kPacketSize) break;  // the end, or a last packet cut short
    }
    if (fatal_) return 0;
    delivered_packets_ += (filled + ts::kPacketSize - 1) / ts::kPacketSize;
    return filled;
}

// The content of slot next_slot_: the oldest held packet once its time has
// come, else a null packet. Reads input until the oldest packet is timed.
size_t RateAdaptingSource::fill_next_slot(uint8_t* slot) {
    if (live_) return fill_next_live_slot(slot);
    for (;;) {
        if (!held_.empty() && held_.front().timed) {
            if (first_slot_for(held_.front().time) > next_slot_) break;
            const size_t written = place(held_.front(), slot);
            if (fatal_) return 0;
            held_.pop_front();
            ++next_slot_;
            ++statistics_.output_packets;
            if (written < ts::kPacketSize) finished_ = true;
            return written;
        }
        if (input_ended_) {
            // end_of_input() has timed every packet held: none is left here.
            if (!held_.empty() || next_slot_ >= end_slot_) return 0;
            break;  // nulls up to the end of the input's duration
        }
        read_input();
        if (fatal_) return 0;
    }
    write_inserted_null(slot);
    return ts::kPacketSize;
}

// Over a live input: the oldest held packet once the schedule has reached
// its time, else a null packet. Reads what has arrived until the oldest
// packet is timed, never waiting for more.
size_t RateAdaptingSource::fill_next_live_slot(uint8_t* slot) {
    steer_schedule();
    for (;;) {
        if (!held_.empty() && held_.front().timed) {
            if (schedule_time(next_slot_) < held_.front().time) break;
            const size_t written = place(held_.front(), slot);
            if (fatal_) return 0;
            held_.pop_front();
            ++next_slot_;
            ++statistics_.output_packets;
            return written;
        }
        if (!read_live_input()) break;
        if (fatal_) return 0;
    }
    if (input_.stalled()) ++statistics_.stalled_null_packets;
    write_inserted_null(slot);
    return ts::kPacketSize;
}

size_t RateAdaptingSource::place(const Held& packet, uint8_t* slot) {
    // The PCR follows the output clock (the slots at the channel's rate),
    // the queue delay the schedule (the same but for a live input).
    const double correction = slot_time(next_slot_) + packet.clock_shift - packet.time;
    if (lateness(packet) > kMaxQueueDelay * ts::kClockRate) {
        stop_for_overflow(packet);
        return 0;
    }
    std::memcpy(slot, packet.bytes.data(), packet.length);
    if (live_ && packet.has_pcr) mark_owed_discontinuity(packet, slot);
    if (packet.has_pcr) {
        // The PCR states its packet's time; it now leaves `correction` later.
        ts::write_pcr(slot, packet.pcr + std::llround(correction));
        statistics_.largest_pcr_correction =
            std::max(statistics_.largest_pcr_correction, std::fabs(correction) / ts::kClockRate);
    }
    return packet.length;
}

void RateAdaptingSource::write_null(uint8_t* slot) {
    ts::write_null_packet(slot, static_cast<uint8_t>(null_continuity_));
    null_continuity_ = (null_continuity_ + 1) & 0x0F;
}

void RateAdaptingSource::write_inserted_null(uint8_t* slot) {
    write_null(slot);
    ++next_slot_;
    ++statistics_.output_packets;
    ++statistics_.null_packets_inserted;
}

void RateAdaptingSource::read_input() {
    const size_t got = input_.read_packets(chunk_);
    statistics_.input_bytes += got;
    size_t offset = 0;
    for (; offset + ts::kPacketSize <= got && !fatal_; offset += ts::kPacketSize)
        take(chunk_.data() + offset, ts::kPacketSize);
    if (offset < got && !fatal_) take(chunk_.data() + offset, got - offset);
    if (got < chunk_.size() && !fatal_) {
        input_ended_ = true;
        end_of_input();
    }
}

void RateAdaptingSource::take(const uint8_t* packet, size_t length) {
    const uint64_t index = statistics_.input_packets++;
    const bool whole = length == ts::kPacketSize;
    if (whole && ts::is_null(packet)) {
        ++statistics_.null_packets_dropped;
        check_pcr_gap(index);
        return;
    }
    ++non_null_packets_;
    Held held{};
    std::memcpy(held.bytes.data(), packet, length);
    held.index = index;
    held.length = length;
    const bool readable = whole && ts::is_synchronised(packet) && !ts::transport_error(packet);
    if (readable) read_tables(packet);
    if (whole && ts::carries_pcr(packet)) {
        held.has_pcr = true;
        held.pcr = ts::read_pcr(packet);
        note_pcr_pid(ts::pid(packet));
    }
    held_.push_back(held);
    ++untimed_count_;
    statistics_.queue_high_water = std::max(statistics_.queue_high_water, held_.size());
    if (held.has_pcr) {
        const uint16_t pid = ts::pid(packet);
        if (pid == timing_pid_)
            on_timing_pcr(index, held.pcr, ts::discontinuity(packet));
        else
            on_other_pcr(pid, index, held.pcr, ts::discontinuity(packet));
    }
    if (!fatal_) check_pcr_gap(index);
}

// The PAT gives the PMT PIDs, each PMT its programme's PCR PID (ISO/IEC
// 13818-1 clauses 2.4.4.3 and 2.4.4.8). Only sections starting in the packet
// are read; the fields needed sit in their first bytes.
void RateAdaptingSource::read_tables(const uint8_t* packet) {
    const uint16_t pid = ts::pid(packet);
    if (pid == ts::kPatPid)
        read_pat(packet);
    else if (contains(pmt_pids_, pid))
        read_pmt(packet, pid);
}

void RateAdaptingSource::read_pat(const uint8_t* packet) {
    const uint8_t* section = section_start(packet, 8);
    if (!section || section[0] != 0x00) return;
    PatSection read{section[6], {}};
    const uint8_t* end = packet + ts::kPacketSize;
    const size_t length = section_length(section);
    if (length < 9) return;  // no room for the header's rest and the CRC
    const uint8_t* entries_end = section + std::min<size_t>(3 + length, end - section) - 4;
    for (const uint8_t* entry = section + 8; entry + 4 <= entries_end; entry += 4) {
        const uint16_t program = static_cast<uint16_t>((entry[0] << 8) | entry[1]);
        const uint16_t pmt_pid = static_cast<uint16_t>(((entry[2] & 0x1F) << 8) | entry[3]);
        if (program != 0) read.entries.emplace_back(program, pmt_pid);
    }
    auto known = std::find_if(pat_.begin(), pat_.end(),
                              [&](const PatSection& kept) { return kept.number == read.number; });
    if (known != pat_.end() && known->entries == read.entries) return;
    if (known != pat_.end())
        *known = std::move(read);
    else
        pat_.push_back(std::move(read));
    // The programmes the PAT no longer lists at their PMT PIDs are gone.
    pmt_pids_.clear();
    std::vector<Programme> kept;
    for (const PatSection& pat_section : pat_)
        for (const auto& [program, pmt_pid] : pat_section.entries) {
            if (!contains(pmt_pids_, pmt_pid)) pmt_pids_.push_back(pmt_pid);
            for (const Programme& programme : programmes_)
                if (programme.number == program && programme.pmt_pid == pmt_pid)
                    kept.push_back(programme);
        }
    programmes_ = std::move(kept);
    on_tables_changed();
}

void RateAdaptingSource::read_pmt(const uint8_t* packet, uint16_t pid) {
    const uint8_t* section = section_start(packet, 10);
    if (!section || section[0] != 0x02) return;
    const uint16_t number = static_cast<uint16_t>((section[3] << 8) | section[4]);
    const uint16_t pcr_pid = static_cast<uint16_t>(((section[8] & 0x1F) << 8) | section[9]);
    auto known = std::find_if(programmes_.begin(), programmes_.end(), [&](const Programme& p) {
        return p.pmt_pid == pid && p.number == number;
    });
    if (known != programmes_.end() && known->pcr_pid == pcr_pid) return;
    if (known != programmes_.end())
        known->pcr_pid = pcr_pid;
    else if (programmes_.size() < kMaxProgrammes)
        programmes_.push_back({pid, number, pcr_pid});
    else
        return;
    on_tables_changed();
}

// The declared PCR PIDs anew; when they no longer name the timing PID, the
// next PCR on one of them (or one already seen since the last timing PCR)
// takes over the timing.
void RateAdaptingSource::on_tables_changed() {
    declared_pcr_pids_.clear();
    for (const Programme& programme : programmes_)
        if (programme.pcr_pid != ts::kNullPid && !contains(declared_pcr_pids_, programme.pcr_pid))
            declared_pcr_pids_.push_back(programme.pcr_pid);
    timing_pid_undeclared_ =
        timing_pid_ >= 0 && !declared_pcr_pids_.empty() && !declared(timing_pid_);
    undeclared_timing_pcrs_ = 0;
    if (!timing_pid_undeclared_) return;
    for (const SeenPcr& seen : other_pcrs_)
        if (declared(seen.pid)) {
            time_on(seen.pid);
            return;
        }
}

bool RateAdaptingSource::declared(uint16_t pid) const {
    return contains(declared_pcr_pids_, pid);
}

void RateAdaptingSource::note_pcr_pid(uint16_t pid) {
    if (!contains(statistics_.pcr_pids, pid)) statistics_.pcr_pids.push_back(pid);
}

// A PCR on a PID that does not time the stream. It takes over the timing
// when it is the first PCR PID seen and no PMT names any, when the tables
// name it and the timing PID no longer (or none was chosen yet), and when it
// has carried a few PCRs before the first timing PID while the PID the PMT
// names carries none.
void RateAdaptingSource::on_other_pcr(uint16_t pid, uint64_t index, int64_t pcr,
                                      bool discontinuity) {
    if (pcrs_seen_on(pid) < kCandidatePcrs) other_pcrs_.push_back({pid, index, pcr, discontinuity});
    const bool unchosen = timing_pid_ < 0;
    if ((unchosen && declared_pcr_pids_.empty()) ||
        ((unchosen || timing_pid_undeclared_) && declared(pid))) {
        time_on(pid);
    } else if (unchosen && pcrs_seen_on(pid) >= kCandidatePcrs) {
        time_on_undeclared(pid);
    }
}

size_t RateAdaptingSource::pcrs_seen_on(uint16_t pid) const {
    return static_cast<size_t>(
        std::count_if(other_pcrs_.begin(), other_pcrs_.end(),
                      [pid](const SeenPcr& seen) { return seen.pid == pid; }));
}

// Makes `pid` the timing PID and replays its PCRs kept so far: the first one
// starts a new timeline where the old one had got to.
void RateAdaptingSource::time_on(uint16_t pid) {
    if (timing_pid_ < 0) {
        std::vector<uint16_t>& pids = statistics_.pcr_pids;
        pids.erase(std::remove(pids.begin(), pids.end(), pid), pids.end());
        pids.insert(pids.begin(), pid);
    } else {
        log_.write(LogLevel::kWarnings,
                   "WARNING: the PCR moved from PID %d to PID %d -> new timeline on PID %d\n",
                   timing_pid_, pid, pid);
    }
    timing_pid_ = pid;
    timing_pid_undeclared_ = false;
    timing_pcrs_ = 0;
    std::vector<SeenPcr> replay;
    for (const SeenPcr& seen : other_pcrs_)
        if (seen.pid == pid) replay.push_back(seen);
    bool first = true;
    for (const SeenPcr& seen : replay) {
        if (fatal_) return;
        // A gap bridged at the measured rate may have timed it already.
        if (have_anchor_ && seen.index <= anchor_index_) continue;
        on_timing_pcr(seen.index, seen.pcr, seen.discontinuity || (first && have_anchor_));
        first = false;
    }
}

// Without a timing PCR for too long at the start: the PID that carried the
// most PCRs, if any did.
void RateAdaptingSource::take_best_candidate() {
    std::map<uint16_t, size_t> counts;
    for (const SeenPcr& seen : other_pcrs_) ++counts[seen.pid];
    int32_t best = -1;
    size_t most = 0;
    for (const auto& [pid, count] : counts)
        if (count > most) {
            most = count;
            best = pid;
        }
    if (best >= 0) time_on_undeclared(static_cast<uint16_t>(best));
}

void RateAdaptingSource::time_on_undeclared(uint16_t pid) {
    if (!declared_pcr_pids_.empty())
        log_.write(LogLevel::kWarnings,
                   "WARNING: the PMT names PID %d as PCR PID but it carries no PCR -> timing "
                   "on PID %d, which does\n",
                   declared_pcr_pids_.front(), pid);
    time_on(pid);
}

double RateAdaptingSource::ticks_per_input_packet() const {
    return have_rate_ ? ticks_per_packet_ : ticks_per_slot_;
}

// Every packet is timed on the timing PID's clock, made continuous: PCR
// wrap-around is unwrapped and a discontinuity starts a new timeline where the
// old one, extrapolated at the measured rate, had got to. Packets of other
// programmes are timed on the same timeline; their own PCRs are restamped by
// the same correction, which keeps each programme's clock as it was.
void RateAdaptingSource::on_timing_pcr(uint64_t index, int64_t pcr, bool discontinuity) {
    other_pcrs_.clear();
    ++timing_pcrs_;
    if (timing_pid_undeclared_ && ++undeclared_timing_pcrs_ >= kCandidatePcrs &&
        !warned_undeclared_) {
        warned_undeclared_ = true;
        log_.write(LogLevel::kWarnings,
                   "WARNING: the PMT names PID %d as PCR PID but it carries no PCR -> timing "
                   "stays on PID %d, which does\n",
                   declared_pcr_pids_.front(), timing_pid_);
    }
    if (!have_anchor_) {
        have_anchor_ = true;
        anchor_index_ = last_pcr_index_ = index;
        anchor_time_ = last_pcr_time_ = 0;
        last_pcr_value_ = pcr;
        non_null_at_last_pcr_ = non_null_packets_;
        return;
    }
    if (break_pending_) {
        resume_after_break(index, pcr, discontinuity);
        return;
    }
    const int64_t advance = ts::pcr_advance(last_pcr_value_, pcr);
    double time;
    // A PCR that does not advance measures no rate: a new timeline as well.
    if (discontinuity || advance == 0 || advance > kMaxPcrStep * ts::kClockRate) {
        if (!discontinuity) warn_pcr_jump(advance);
        time = anchor_time_ + static_cast<double>(index - anchor_index_) * ticks_per_input_packet();
    } else {
        time = last_pcr_time_ + static_cast<double>(advance);
        const uint64_t packets = index - last_pcr_index_;
        ticks_per_packet_ = static_cast<double>(advance) / static_cast<double>(packets);
        have_rate_ = true;
        measured_ticks_ += static_cast<double>(advance);
        measured_packets_ += packets;
        statistics_.input_rate = static_cast<double>(measured_packets_) * kBitsPerPacket *
                                 ts::kClockRate / measured_ticks_;
    }
    if (!have_origin_) {
        have_origin_ = true;
        origin_time_ = anchor_time_ - static_cast<double>(anchor_index_) * ticks_per_input_packet();
    }
    time_held_through(index, anchor_time_, time, index);
    if (live_ && !schedule_started_) start_schedule();
    anchor_index_ = last_pcr_index_ = index;
    anchor_time_ = last_pcr_time_ = time;
    last_pcr_value_ = pcr;
    non_null_at_last_pcr_ = non_null_packets_;
}

// Once: a PCR that jumps (forward or back, the sign shown) or repeats its
// value without the discontinuity indicator.
void RateAdaptingSource::warn_pcr_jump(int64_t advance) {
    if (warned_pcr_jump_) return;
    warned_pcr_jump_ = true;
    if (advance == 0) {
        log_.write(LogLevel::kWarnings,
                   "WARNING: PCR on PID %d does not advance, without the discontinuity "
                   "indicator -> new timeline\n",
                   timing_pid_);
        return;
    }
    const int64_t jump = advance > ts::kPcrModulus / 2 ? advance - ts::kPcrModulus : advance;
    log_.write(LogLevel::kWarnings,
               "WARNING: PCR on PID %d jumps by %+.3f s without the discontinuity indicator -> "
               "new timeline\n",
               timing_pid_, static_cast<double>(jump) / ts::kClockRate);
}

// Times the untimed packets up to input index `last`: linearly from the anchor
// (anchor_index_, anchor_time) to (end_index, end_time), before the anchor at
// the measured rate.
void RateAdaptingSource::time_held_through(uint64_t last, double anchor_time, double end_time,
                                           uint64_t end_index) {
    const double span = static_cast<double>(end_index - anchor_index_);
    for (size_t i = held_.size() - untimed_count_; i < held_.size(); ++i) {
        Held& packet = held_[i];
        if (packet.index > last) break;
        if (packet.index < anchor_index_) {
            packet.time = anchor_time - static_cast<double>(anchor_index_ - packet.index) *
                                            ticks_per_input_packet();
        } else {
            packet.time = anchor_time + (end_time - anchor_time) *
                                            static_cast<double>(packet.index - anchor_index_) /
                                            span;
        }
        packet.clock_shift = clock_shift_;
        packet.timed = true;
        --untimed_count_;
    }
}

void RateAdaptingSource::check_pcr_gap(uint64_t index) {
    const uint64_t without = have_anchor_ ? index - anchor_index_ : index + 1;
    if (without < kMaxPacketsWithoutPcr) return;
    if (!have_anchor_) take_best_candidate();
    if (fatal_) return;
    if (!have_anchor_) {
        stop("the %s carries no PCR in its first %" PRIu64
             " packets: --adapt-rate cannot time it\n",
             stream_name_, without);
    } else if (!have_rate_) {
        stop_without_rate(index + 1);
    } else {
        if (!warned_pcr_gap_) {
            warned_pcr_gap_ = true;
            log_.write(LogLevel::kWarnings,
                       "WARNING: no PCR on PID %d for %" PRIu64
                       " packets -> timing them at the measured rate\n",
                       timing_pid_, without);
        }
        const double time =
            anchor_time_ + static_cast<double>(index - anchor_index_) * ticks_per_packet_;
        time_held_through(index, anchor_time_, time, index);
        anchor_index_ = index;
        anchor_time_ = time;
    }
}

// An empty input carries no PCR either: it stops like any stream without.
void RateAdaptingSource::end_of_input() {
    if (!have_anchor_) take_best_candidate();
    if (fatal_) return;
    if (!have_anchor_) {
        stop("the %s carries no PCR: --adapt-rate cannot time it\n", stream_name_);
        return;
    }
    if (!have_rate_) {
        stop_without_rate(0);
        return;
    }
    const uint64_t count = statistics_.input_packets;
    const double end_time =
        anchor_time_ + static_cast<double>(count - anchor_index_) * ticks_per_packet_;
    time_held_through(count, anchor_time_, end_time, count);
    end_slot_ = first_slot_for(end_time);
}

// No rate measured: one PCR, or PCRs that each jump or repeat their value.
// `packets` > 0: within the first that many packets of the stream.
void RateAdaptingSource::stop_without_rate(uint64_t packets) {
    std::string within;
    if (packets > 0) within = " in its first " + std::to_string(packets) + " packets";
    if (timing_pcrs_ <= 1) {
        stop("the %s carries only one PCR%s: --adapt-rate cannot measure its rate\n", stream_name_,
             within.c_str());
    } else {
        stop("the %s's %" PRIu64
             " PCRs on PID %d%s jump or do not advance (no two "
             "within %.0f s): --adapt-rate cannot measure its rate\n",
             stream_name_, timing_pcrs_, timing_pid_, within.c_str(), kMaxPcrStep);
    }
}

// What a live input has handed out, taken without waiting. A timing break
// seen by then lies before these packets (the input reports it at the
// latest with the first packets after it). False when nothing came and
// nothing more could be timed.
bool RateAdaptingSource::read_live_input() {
    const size_t got = input_.read_available(chunk_);
    if (input_.timing_breaks() != timing_breaks_seen_) {
        timing_breaks_seen_ = input_.timing_breaks();
        on_timing_break();
    }
    statistics_.input_bytes += got;
    // A live input hands out whole packets only.
    for (size_t offset = 0; offset + ts::kPacketSize <= got && !fatal_; offset += ts::kPacketSize)
        take(chunk_.data() + offset, ts::kPacketSize);
    if (got > 0) return true;
    // Stalled: what came before the loss goes out at the measured rate.
    return input_.stalled() && time_held_at_measured_rate();
}

// Times every untimed packet held at the measured rate from the last timed
// one; false when there is none, or no timeline yet to extend.
bool RateAdaptingSource::time_held_at_measured_rate() {
    if (untimed_count_ == 0 || !have_origin_) return false;
    const uint64_t last = held_.back().index;
    if (last <= anchor_index_) return false;
    const double time =
        anchor_time_ + static_cast<double>(last - anchor_index_) * ticks_per_input_packet();
    time_held_through(last, anchor_time_, time, last);
    anchor_index_ = last;
    anchor_time_ = time;
    return true;
}

// The packets from here on are not timed from those before: these are timed
// now, and the next timing PCR decides where the new ones go.
void RateAdaptingSource::on_timing_break() {
    if (!have_origin_) {
        // No timeline measured yet: the packets after the break start it
        // (those held are timed back from it).
        have_anchor_ = false;
        return;
    }
    time_held_at_measured_rate();
    break_pending_ = true;
    break_index_ = statistics_.input_packets;
}

// The first timing PCR after a break. When the old timeline, continued by
// its PCR advance, brings the packets after the break due within the
// resume window, the encoder kept its clock (only packets were lost): the
// PCRs go on. Otherwise (the encoder paused, or another input with its own
// clock) the timeline starts anew. No rate is measured across the break.
void RateAdaptingSource::resume_after_break(uint64_t index, int64_t pcr, bool discontinuity) {
    break_pending_ = false;
    // The first packet after the break comes this long before the PCR.
    const double ahead = index > break_index_
                             ? static_cast<double>(index - break_index_) * ticks_per_input_packet()
                             : 0.0;
    double time = last_pcr_time_ + static_cast<double>(ts::pcr_advance(last_pcr_value_, pcr));
    const double late = schedule_time(next_slot_) - (time - ahead);
    if (discontinuity || std::fabs(late) > kResumeWindow * ts::kClockRate)
        time = reanchor() + ahead;
    time_back_from(index, time);
    anchor_index_ = last_pcr_index_ = index;
    anchor_time_ = last_pcr_time_ = time;
    last_pcr_value_ = pcr;
    non_null_at_last_pcr_ = non_null_packets_;
}

// A new timeline for the packets after a break: the first goes out in the
// next free slot, and the output clock meets the schedule there, so each
// PCR moves by what its packet moves; the first PCR after the break on each
// PCR PID carries the discontinuity indicator. Returns the first packet's
// time.
double RateAdaptingSource::reanchor() {
    const uint64_t free_slot = next_slot_ + (held_.size() - untimed_count_);
    const double start = schedule_time(free_slot);
    clock_shift_ = start - slot_time(free_slot);
    for (const uint16_t pid : statistics_.pcr_pids)
        discontinuity_owed_.try_emplace(pid, break_index_);
    ++statistics_.reanchors;
    return start;
}

// Times the untimed packets up to input index `last` back from `time`, the
// time of packet `last`, at the measured rate.
void RateAdaptingSource::time_back_from(uint64_t last, double time) {
    for (size_t i = held_.size() - untimed_count_; i < held_.size(); ++i) {
        Held& packet = held_[i];
        if (packet.index > last) break;
        packet.time = time - static_cast<double>(last - packet.index) * ticks_per_input_packet();
        packet.clock_shift = clock_shift_;
        packet.timed = true;
        --untimed_count_;
    }
}

// A live input's schedule starts with its oldest packet held (timed by
// now), due in the next slot plus the start delay; the output clock starts
// with it.
void RateAdaptingSource::start_schedule() {
    schedule_started_ = true;
    schedule_slot_ = next_slot_;
    schedule_time_ = held_.front().time - start_delay_ticks_;
    origin_time_ =
        schedule_time_ - static_cast<double>(next_slot_) * ticks_per_slot_ + start_delay_ticks_;
    next_servo_slot_ = next_slot_ + servo_interval_slots_;
}

// Every kServoInterval of output: the schedule goes on from where it has
// got to at the rate the live buffer's fill asks for. The steering holds
// while the input is stalled (its fill then says nothing of the clocks) or
// its fill is not measured.
void RateAdaptingSource::steer_schedule() {
    if (!schedule_started_ || next_slot_ < next_servo_slot_) return;
    next_servo_slot_ = next_slot_ + servo_interval_slots_;
    schedule_time_ = schedule_time(next_slot_);
    schedule_slot_ = next_slot_;
    if (input_.stalled()) return;
    const std::optional<double> error = input_.buffer_fill_error();
    if (!error || !std::isfinite(*error)) return;
    const double interval =
        static_cast<double>(servo_interval_slots_) * ticks_per_slot_ / ts::kClockRate;
    // The integral term alone never asks for more than the bound.
    const double integral_limit = kMaxSteering / kServoIntegralGain;
    fill_integral_ =
        std::clamp(fill_integral_ + *error * interval, -integral_limit, integral_limit);
    const double wanted = std::clamp(kServoGain * *error + kServoIntegralGain * fill_integral_,
                                     -kMaxSteering, kMaxSteering);
    steering_ += std::clamp(wanted - steering_, -kMaxSteeringStep, kMaxSteeringStep);
    statistics_.steering_ppm = steering_ * 1e6;
    statistics_.steering_min_ppm = std::min(statistics_.steering_min_ppm, statistics_.steering_ppm);
    statistics_.steering_max_ppm = std::max(statistics_.steering_max_ppm, statistics_.steering_ppm);
}

// The input time due at `slot`: the output clock, or for a live input the
// steered schedule.
double RateAdaptingSource::schedule_time(uint64_t slot) const {
    if (!live_) return slot_time(slot);
    const double slots = static_cast<double>(static_cast<int64_t>(slot - schedule_slot_));
    return schedule_time_ + slots * ticks_per_slot_ * (1.0 + steering_);
}

// How late `packet` would leave in the next slot (negative: early).
double RateAdaptingSource::lateness(const Held& packet) const {
    return schedule_time(next_slot_) - packet.time;
}

void RateAdaptingSource::mark_owed_discontinuity(const Held& packet, uint8_t* slot) {
    const auto owed = discontinuity_owed_.find(ts::pid(slot));
    if (owed == discontinuity_owed_.end() || packet.index < owed->second) return;
    ts::set_discontinuity(slot);
    discontinuity_owed_.erase(owed);
}

double RateAdaptingSource::slot_time(uint64_t slot) const {
    return origin_time_ + static_cast<double>(slot) * ticks_per_slot_ - start_delay_ticks_;
}

uint64_t RateAdaptingSource::first_slot_for(double time) const {
    const double slot = std::ceil((time - origin_time_ + start_delay_ticks_) / ticks_per_slot_);
    if (!(slot > 0)) return 0;
    // (2^63 slots: far beyond any stream, and still convertible.)
    return slot < 9.2e18 ? static_cast<uint64_t>(slot) : UINT64_MAX;
}

void RateAdaptingSource::stop_for_overflow(const Held& packet) {
    // The payload rate: the non-null packets up to the last PCR over the time
    // they took at the measured rate.
    const double payload_rate = statistics_.input_rate *
                                static_cast<double>(non_null_at_last_pcr_) /
                                static_cast<double>(last_pcr_index_ + 1);
    std::string fitting;
    for (const ChannelSetting& setting :
         nearest_settings_above(payload_rate, band_, kSuggestedSettings)) {
        fitting += fitting.empty() ? "" : ", ";
        fitting += describe_setting(setting);
    }
    if (fitting.empty()) {
        char fastest[96];
        std::snprintf(fastest, sizeof fastest, "none (the fastest carries %.6f Mbit/s at %s)",
                      all_settings(band_).back().useful_bit_rate * 1e-6, band_.name.c_str());
        fitting = fastest;
    }
    stop(
        "the %s needs %.6f Mbit/s without its null packets (its PCRs give "
        "%.6f Mbit/s), more than the channel's %.6f Mbit/s: input packet #%" PRIu64
        " would leave %.3f s late. Settings at %s that carry it: %s. Nothing after output "
        "packet #%" PRIu64 " was sent.\n",
        stream_name_, payload_rate * 1e-6, statistics_.input_rate * 1e-6, channel_rate_ * 1e-6,
        packet.index, lateness(packet) / ts::kClockRate, band_.name.c_str(), fitting.c_str(),
        delivered_packets_);
}

void RateAdaptingSource::stop(const char* format, ...) {
    fatal_ = true;
    std::va_list args;
    va_start(args, format);
    if (looking_ahead_) {
        char text[1024];
        std::vsnprintf(text, sizeof text, format, args);
        held_message_ = text;
    } else {
        log_.vfatal(format, args);
    }
    va_end(args);
}

void RateAdaptingSource::write_report(Log& log) const {
    std::string pids;
    for (const uint16_t pid : statistics_.pcr_pids) {
        char text[24];
        std::snprintf(text, sizeof text, "%s%d (0x%04X)", pids.empty() ? "" : ", ", pid, pid);
        pids += text;
    }
    if (std::strcmp(stream_name_, "stream") == 0)
        log.write(LogLevel::kProgress, "Rate adaptation:\n");
    else
        log.write(LogLevel::kProgress, "Rate adaptation (%s):\n", stream_name_);
    log.write(LogLevel::kProgress, "\tPCR PID(s)          : %s\n",
              pids.empty() ? "NONE" : pids.c_str());
    log.write(LogLevel::kProgress, "\tInput rate (PCR)    : %.6f Mbps\n",
              statistics_.input_rate * 1e-6);
    log.write(LogLevel::kProgress, "\tChannel rate        : %.6f Mbps\n", channel_rate_ * 1e-6);
    log.write(LogLevel::kProgress, "\tNull packets dropped: %" PRIu64 "\n",
              statistics_.null_packets_dropped);
    log.write(LogLevel::kProgress, "\tNull packets added  : %" PRIu64 "\n",
              statistics_.null_packets_inserted);
    log.write(LogLevel::kProgress, "\tLargest PCR change  : %.3f micros\n",
              statistics_.largest_pcr_correction * 1e6);
    log.write(LogLevel::kProgress, "\tQueue high water    : %zu packets\n",
              statistics_.queue_high_water);
    if (live_) write_live_report(log);
    log.write(LogLevel::kProgress, "----------------------------------------------------------\n");
}

void RateAdaptingSource::write_live_report(Log& log) const {
    log.write(LogLevel::kProgress, "\tSteering            : %+.1f ppm (min %+.1f, max %+.1f)\n",
              statistics_.steering_ppm, statistics_.steering_min_ppm, statistics_.steering_max_ppm);
    log.write(LogLevel::kProgress, "\tRe-anchors          : %" PRIu64 "\n", statistics_.reanchors);
    log.write(LogLevel::kProgress, "\tNulls while stalled : %" PRIu64 "\n",
              statistics_.stalled_null_packets);
}

RateMismatchDetector::RateMismatchDetector(double channel_rate, Log& log, const char* label)
    : channel_rate_(channel_rate), log_(log), label_(label) {}

void RateMismatchDetector::observe(const uint8_t* block, size_t bytes) {
    for (size_t offset = 0; !done_ && offset + ts::kPacketSize <= bytes;
         offset += ts::kPacketSize) {
        const uint8_t* packet = block + offset;
        const uint64_t index = packets_seen_++;
        if (ts::carries_pcr(packet)) {
            if (pid_ < 0) pid_ = ts::pid(packet);
            if (ts::pid(packet) == pid_)
                on_pcr(index, ts::read_pcr(packet), ts::discontinuity(packet));
        }
        if (packets_seen_ >= kMaxObservedPackets) done_ = true;
    }
}

void RateMismatchDetector::on_pcr(uint64_t index, int64_t pcr, bool discontinuity) {
    const int64_t step = have_start_ ? ts::pcr_advance(last_pcr_, pcr) : 0;
    const bool restart =
        !have_start_ || discontinuity || step > RateAdaptingSource::kMaxPcrStep * ts::kClockRate;
    last_pcr_ = pcr;
    if (restart) {
        have_start_ = true;
        start_index_ = index;
        start_pcr_ = pcr;
        elapsed_ = 0;
        return;
    }
    elapsed_ += step;
    if (static_cast<double>(elapsed_) < kObservedSpan * ts::kClockRate) return;
    done_ = true;
    measured_rate_ = static_cast<double>(index - start_index_) * kBitsPerPacket * ts::kClockRate /
                     static_cast<double>(elapsed_);
    if (std::fabs(measured_rate_ - channel_rate_) > kTolerance * channel_rate_) {
        warned_ = true;
        log_.write(LogLevel::kWarnings,
                   "WARNING: the %sstream's PCRs give %.6f Mbit/s but the %schannel carries "
                   "%.6f Mbit/s: it would play at the wrong speed (--adapt-rate re-times it)\n",
                   label_, measured_rate_ * 1e-6, label_, channel_rate_ * 1e-6);
    }
}

}  // namespace terramod
