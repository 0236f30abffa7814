// An input's health as the transport stream arrives: the priority 1 checks of
// ETSI TR 101 290 clause 5.2.1 and the input's measured rate. Pure
// computation: the caller hands each 188-byte packet with its arrival time
// (seconds, any origin) and, while none arrive, tells the time with
// advance_to(), so that the "absent for more than ..." checks fire during a
// silence. Times never go back: an earlier (or non-finite) time counts as
// the latest one known.
//
// What each counter counts (one event each):
// 1.1 TS_sync_loss: sync is lost at the second of two or more consecutive
//     sync bytes other than 0x47 and regained at the fifth consecutive 0x47
//     (the fifth packet is read). The packets come framed on 188 bytes, so
//     the monitor starts in sync. While sync is lost no packet is read for
//     the other checks and their timers stand still; at the regain every
//     timer starts again and every PID's count starts again.
// 1.2 Sync_byte_error: every sync byte other than 0x47.
// 1.3 PAT_error_2: a gap of more than 0.5 s between sections with table_id
//     0x00 on PID 0x0000 (from the first packet, for the first), counted
//     once per gap as soon as it passes 0.5 s; every section on PID 0x0000
//     with another table_id; every PID 0x0000 packet whose
//     transport_scrambling_control is not 00.
// 1.4 Continuity_count_error: every packet whose continuity_counter is
//     neither the last + 1 (modulo 16) nor the last repeated (a lost packet,
//     a wrong order), and every repeat beyond the first (a packet seen more
//     than twice). Not for the null PID, nor packets without payload
//     (adaptation_field_control 10, or the reserved 00), nor a packet with
//     the discontinuity_indicator set (it starts a new count, and so does
//     the first packet of a PID).
// 1.5 PMT_error_2: for every PMT PID the PAT lists, a gap of more than 0.5 s
//     between its sections with table_id 0x02 (from the PAT that first lists
//     it), counted as for PAT_error_2; every packet on it whose
//     transport_scrambling_control is not 00.
// 1.6 PID_error: for every elementary stream PID a PMT lists, a gap longer
//     than the settings' period between its packets (from the PMT that first
//     lists it), counted once per gap.
// And two cheap ones of priority 2: 2.1 Transport_error (a packet with the
// transport_error_indicator set, which is not read for the other checks: a
// decoder drops it) and 2.2 CRC_error of the PAT and PMT sections. The
// priority 1 checks ignore CRC_32 (a section with a bad one is present), but
// the PID lists are taken from sections whose CRC_32 holds only.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "io/ts_packet.h"

namespace terramod {

struct TsHealthSettings {
    // PID_error: how long an elementary stream may be absent (TR 101 290
    // leaves the period to the user).
    double pid_period_seconds = 5.0;
    // The measured rate is the bits arrived over about this long.
    double rate_window_seconds = 2.0;
};

struct TsHealthCounters {
    uint64_t sync_losses = 0;       // 1.1 TS_sync_loss
    uint64_t sync_byte_errors = 0;  // 1.2 Sync_byte_error
    uint64_t pat_errors = 0;        // 1.3 PAT_error_2
    uint64_t cc_errors = 0;         // 1.4 Continuity_count_error
    uint64_t pmt_errors = 0;        // 1.5 PMT_error_2
    uint64_t pid_errors = 0;        // 1.6 PID_error
    uint64_t transport_errors = 0;  // 2.1 Transport_error
    uint64_t crc_errors = 0;        // 2.2 CRC_error, PAT and PMT sections only

    bool operator==(const TsHealthCounters&) const = default;
};

class TsHealthMonitor {
  public:
    // Throws std::invalid_argument for a period or window that is not a
    // positive number of seconds.
    explicit TsHealthMonitor(TsHealthSettings settings = {});

    void observe(std::span<const uint8_t, ts::kPacketSize> packet, double arrival_seconds);
    // Time passing without packets (before the first packet: nothing to do).
    void advance_to(double now_seconds);

    const TsHealthCounters& counters() const { return counters_; }
    uint64_t packets() const { return packets_; }
    // Bit/s over the last rate window up to the latest time known; 0 once
    // no packet has arrived for a whole window.
    double measured_rate() const;
    // "TR 101 290 priority 1: sync losses 0, sync byte errors 0, PAT errors
    // 1, CC errors 3, PMT errors 0, PID errors 0; 4.981 Mbit/s"
    std::string summary() const;
    // Whether a priority 1 counter (what summary() shows) differs from
    // `previous`.
    bool changed_since(const TsHealthCounters& previous) const;

  private:
    // A table or PID expected at least every so often.
    struct AbsenceTimer {
        double since = 0;     // its last occurrence, or when it became expected
        bool raised = false;  // this gap counted already
    };
    // A programme of the PAT whose PMT has been read.
    struct Programme {
        uint16_t pmt_pid = 0;
        std::vector<uint16_t> stream_pids;
        bool operator==(const Programme&) const = default;
    };
    // One continuity count per PID.
    struct Continuity {
        uint8_t last = kNoCount;
        uint8_t repeats = 0;  // of `last`, in a row
    };
    enum class Continuation { next, repeat, broken };
    static constexpr uint8_t kNoCount = 0xFF;
    static constexpr uint8_t kPmtRole = 1, kStreamRole = 2;

    void set_time(double seconds);
    void check_timers();
    void restart_timers();
    void check_sync_byte(uint8_t sync_byte);
    void count_arrival();
    void prune_rate_samples();

    void read_packet(const uint8_t* packet);
    Continuation check_continuity(const uint8_t* packet, uint16_t pid);
    void read_sections(uint16_t pid, std::span<const uint8_t> payload, bool unit_start);
    void continue_section(uint16_t pid, std::span<const uint8_t> bytes);
    void take_section(uint16_t pid, std::span<const uint8_t> section);
    void take_pat(std::span<const uint8_t> section);
    void take_pmt(uint16_t pid, std::span<const uint8_t> section);
    void update_expectations();

    TsHealthSettings settings_;
    TsHealthCounters counters_;
    uint64_t packets_ = 0;
    bool started_ = false;
    double now_ = 0;

    bool in_sync_ = true;
    unsigned bad_sync_run_ = 0;   // consecutive sync bytes other than 0x47
    unsigned good_sync_run_ = 0;  // consecutive 0x47 while sync is lost

    std::array<Continuity, 0x2000> continuity_{};
    std::array<uint8_t, 0x2000> roles_{};  // kPmtRole, kStreamRole per PID

    // The PAT's entries (programme number, PMT PID) per section_number, of
    // its version `pat_version_` (-1 before the first).
    std::map<uint8_t, std::vector<std::pair<uint16_t, uint16_t>>> pat_sections_;
    int pat_version_ = -1;
    std::map<uint16_t, Programme> programmes_;                   // by programme number
    std::map<uint16_t, std::vector<uint8_t>> partial_sections_;  // by PID

    AbsenceTimer pat_timer_;
    std::map<uint16_t, AbsenceTimer> pmt_timers_;     // by PMT PID
    std::map<uint16_t, AbsenceTimer> stream_timers_;  // by elementary stream PID

    // Rate: (time, packets arrived by then), one every so often, the oldest
    // at or before the window's start.
    struct RateSample {
        double time;
        uint64_t packets;
    };
    std::deque<RateSample> rate_samples_;
    double last_arrival_ = 0;
};

}  // namespace terramod
