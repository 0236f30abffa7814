// Transport stream rate adaptation: re-times a stream multiplexed at any rate
// to the channel's useful bit rate. The stream's own null packets are dropped,
// every other packet goes out in its input order in the first free 188-byte
// slot of the channel at or after its own time (plus a fixed start delay),
// free slots carry null packets, and each PCR is restamped to the moment its
// packet now leaves. Nothing else in a packet changes.
//
// Over a live input (a network feed) the adapter never waits: it takes only
// what has arrived, fills the slots nothing is due for with null packets, and
// steers its schedule (which slot a packet of a given time goes to) by the
// live buffer's fill, so that an encoder clock off the output's keeps that
// buffer bounded. The PCRs still follow the slots at the channel's rate.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "common/log.h"
#include "dvbt/dvbt.h"
#include "io/channel_rates.h"
#include "io/ts_packet.h"
#include "io/ts_source.h"

namespace terramod {

// What the adaptation did so far (the figures of write_report).
struct RateAdapterStatistics {
    std::vector<uint16_t> pcr_pids;  // every PID seen carrying PCRs, the timing one first
    double input_rate = 0;           // bit/s, from the timing PID's PCRs; 0 until measured
    uint64_t input_bytes = 0;        // read from the input (for a progress figure)
    uint64_t input_packets = 0;      // read from the input, null packets included
    uint64_t output_packets = 0;     // slots filled (returned or about to be)
    uint64_t null_packets_dropped = 0;
    uint64_t null_packets_inserted = 0;
    double largest_pcr_correction = 0;  // seconds, the largest |PCR out - PCR in|
    size_t queue_high_water = 0;        // packets held at once
    // A live input only: the schedule's rate against the channel's, less 1
    // (now, and the extremes so far), the timing breaks after which the
    // packets started a new timeline, and the slots that carried null
    // packets while the input was stalled.
    double steering_ppm = 0;
    double steering_min_ppm = 0;
    double steering_max_ppm = 0;
    uint64_t reanchors = 0;
    uint64_t stalled_null_packets = 0;
};

class RateAdaptingSource : public TsSource {
  public:
    // A packet may leave at most this long after its own time plus the start
    // delay; beyond it the payload needs more than the channel carries.
    static constexpr double kMaxQueueDelay = 0.5;  // seconds
    // Packets read without a PCR on the timing PID before the stream counts as
    // having none (at the start) or is timed by its measured rate (later):
    // about 1.9 s at the fastest DVB-T rate, far beyond the 0.1 s PCRs may be
    // apart (ISO/IEC 13818-1).
    static constexpr uint64_t kMaxPacketsWithoutPcr = 40000;
    // A PCR step larger than this without the discontinuity indicator is
    // taken as a discontinuity all the same.
    static constexpr double kMaxPcrStep = 1.0;  // seconds

    // The schedule servo of a live input, a PI controller on the live
    // buffer's fill error e (seconds, positive: fuller than its target):
    // steering = kServoGain x e + kServoIntegralGain x (integral of e dt).
    // The fill changes at (encoder clock offset - steering), so the loop is
    // of second order with natural frequency sqrt(Ki) = 0.005 rad/s (a time
    // constant of 200 s) and damping Kp / (2 sqrt(Ki)) = 1: a 200 ppm offset
    // moves the fill by at most 200e-6 / (0.005 x e) = 15 ms, and the
    // steering settles on the offset within about 20 minutes. The loop is far
    // slower than the live buffer's own smoothing and than network jitter.
    static constexpr double kServoInterval = 0.1;         // seconds of output between updates
    static constexpr double kServoGain = 0.01;            // per second: 10 ppm per ms of error
    static constexpr double kServoIntegralGain = 2.5e-5;  // per second squared
    static constexpr double kMaxSteering = 1000e-6;       // +-1000 ppm
    static constexpr double kMaxSteeringStep = 10e-6;     // per update: 100 ppm/s at most
    // After a live input's timing break, a first timing PCR whose packets
    // fall due within this much of the schedule continues the old timeline;
    // farther off, the timeline starts anew (a re-anchor). Half the queue
    // delay limit: a packet this late still leaves in time.
    static constexpr double kResumeWindow = 0.25;  // seconds

    // `channel_rate` in bit/s; `spacing` chooses the settings an overflow
    // message suggests; `start_delay` (seconds, not negative) shifts every
    // packet's slot: the output starts with that much of null packets.
    // A rate that is not positive is fatal at once.
    RateAdaptingSource(TsSource& input, double channel_rate, ChannelSpacing spacing, Log& log,
                       double start_delay = 0.0);
    // The same in any band (an overflow message suggests settings of it);
    // `stream_name` ("stream", "LP stream") names the stream in messages.
    RateAdaptingSource(TsSource& input, double channel_rate, ChannelBand band, Log& log,
                       double start_delay = 0.0, const char* stream_name = "stream");

    // Fills `block` with the next slots of the channel. Returns fewer bytes
    // than the block holds only at the end of the stream, and 0 once fatal().
    size_t read_packets(std::span<uint8_t> block) override;
    // The output's length depends on the stream's timing: not known ahead.
    std::optional<uint64_t> known_length() const override { return std::nullopt; }
    bool failed() const override { return input_.failed(); }
    // Slots remain while the input has bytes, packets wait in the queue or
    // null packets are owed up to the end of the input's duration. True also
    // when finding the input's end found the stream unusable: the next read
    // returns 0 and fatal() tells why.
    // (Over a live input: always, without waiting; the output goes on with
    // null packets while nothing arrives.)
    bool has_more_input() override;
    uint64_t bytes_taken() const override { return input_.bytes_taken(); }
    void skip_to_first_packet() override { input_.skip_to_first_packet(); }
    // Over a live input the adapter is live too: its reads never wait and
    // always fill the block. Its output never stalls nor breaks its timing.
    bool live() const override { return live_; }

    // True once the stream cannot be adapted (payload faster than the channel,
    // no PCR): the "FATAL ERROR: " message is in the log at level 0, the read
    // that found it returned 0 bytes, and the caller stops with exit code 1.
    bool fatal() const override { return fatal_; }

    const RateAdapterStatistics& statistics() const { return statistics_; }
    // The level-2 report: PCR PIDs, rates, null packets, PCR correction, queue
    // (its title names a stream other than "stream"); for a live input also
    // the steering, the re-anchors and the null packets sent while stalled.
    void write_report(Log& log) const;

  private:
    struct Held {
        std::array<uint8_t, ts::kPacketSize> bytes;
        uint64_t index;   // position in the input, null packets counted
        size_t length;    // 188, or less for a last packet cut by the end of input
        double time = 0;  // 27 MHz ticks on the stream's continuous timeline
        bool timed = false;
        bool has_pcr = false;
        int64_t pcr = 0;  // as read
        // Ticks added to the output clock for this packet's PCR: not 0 only
        // after a live input's re-anchor (its timeline meets the schedule).
        double clock_shift = 0;
    };

    // A PCR seen on a PID that does not time the stream, kept while it may
    // be needed to time it: since the last timing PCR, a few per PID.
    struct SeenPcr {
        uint16_t pid;
        uint64_t index;
        int64_t pcr;
        bool discontinuity;
    };
    // One programme's PMT as last read: where it is and its PCR PID.
    struct Programme {
        uint16_t pmt_pid;
        uint16_t number;
        uint16_t pcr_pid;
    };
    // One PAT section as last read: its programme entries (number, PMT PID).
    struct PatSection {
        uint8_t number;
        std::vector<std::pair<uint16_t, uint16_t>> entries;
    };

    size_t fill_next_slot(uint8_t* slot);
    size_t fill_next_live_slot(uint8_t* slot);
    size_t place(const Held& packet, uint8_t* slot);
    void write_null(uint8_t* slot);
    void write_inserted_null(uint8_t* slot);
    bool read_live_input();
    bool time_held_at_measured_rate();
    void on_timing_break();
    void resume_after_break(uint64_t index, int64_t pcr, bool discontinuity);
    double reanchor();
    void time_back_from(uint64_t index, double time);
    void start_schedule();
    void steer_schedule();
    double schedule_time(uint64_t slot) const;
    double lateness(const Held& packet) const;
    void mark_owed_discontinuity(const Held& packet, uint8_t* slot);
    void write_live_report(Log& log) const;
    void read_input();
    void take(const uint8_t* packet, size_t length);
    void read_tables(const uint8_t* packet);
    void read_pat(const uint8_t* packet);
    void read_pmt(const uint8_t* packet, uint16_t pid);
    void on_tables_changed();
    bool declared(uint16_t pid) const;
    void note_pcr_pid(uint16_t pid);
    void on_other_pcr(uint16_t pid, uint64_t index, int64_t pcr, bool discontinuity);
    size_t pcrs_seen_on(uint16_t pid) const;
    void time_on(uint16_t pid);
    void take_best_candidate();
    void time_on_undeclared(uint16_t pid);
    void on_timing_pcr(uint64_t index, int64_t pcr, bool discontinuity);
    void warn_pcr_jump(int64_t advance);
    void stop_without_rate(uint64_t packets);
    void time_held_through(uint64_t index, double anchor_time, double end_time, uint64_t end_index);
    void check_pcr_gap(uint64_t index);
    void end_of_input();
    double slot_time(uint64_t slot) const;
    uint64_t first_slot_for(double time) const;
    double ticks_per_input_packet() const;
    void stop_for_overflow(const Held& packet);
    // A fatal stop: "FATAL ERROR: " and the message (held while looking ahead).
    void stop(const char* format, ...) __attribute__((format(printf, 2, 3)));

    TsSource& input_;
    Log& log_;
    double channel_rate_;
    ChannelBand band_;
    const char* stream_name_;
    double ticks_per_slot_;
    double start_delay_ticks_;

    std::vector<uint8_t> chunk_;
    std::deque<Held> held_;
    size_t untimed_count_ = 0;  // the untimed packets are the last ones held
    bool input_ended_ = false;
    bool finished_ = false;  // the last, cut packet has gone out
    bool fatal_ = false;
    bool looking_ahead_ = false;  // in has_more_input(): a fatal message is held
    std::string held_message_;    // for the next read

    // Programme tables as last read (compared by content: a multiplexer's
    // restart may keep the version numbers): the PMT PIDs from the PAT, the
    // PCR PIDs from the PMTs of the programmes it lists.
    std::vector<PatSection> pat_;
    std::vector<uint16_t> pmt_pids_;
    std::vector<Programme> programmes_;
    std::vector<uint16_t> declared_pcr_pids_;
    // The PID whose PCRs time the stream: a declared PCR PID, or one that
    // carries PCRs when none declared does (or no PMT declares any).
    int32_t timing_pid_ = -1;
    bool timing_pid_undeclared_ = false;  // the tables name another PCR PID
    uint64_t undeclared_timing_pcrs_ = 0;
    bool warned_undeclared_ = false;
    std::vector<SeenPcr> other_pcrs_;
    uint64_t timing_pcrs_ = 0;  // PCRs read on the current timing PID

    // The timeline of the timing PID: the packet timed last by a PCR (or by
    // extrapolation over a long gap) and the last real PCR.
    bool have_anchor_ = false;
    bool have_rate_ = false;
    uint64_t anchor_index_ = 0;
    double anchor_time_ = 0;
    uint64_t last_pcr_index_ = 0;
    double last_pcr_time_ = 0;
    int64_t last_pcr_value_ = 0;
    double ticks_per_packet_ = 0;  // over the last PCR interval
    double measured_ticks_ = 0;    // over every PCR interval of a timeline
    uint64_t measured_packets_ = 0;
    uint64_t non_null_packets_ = 0;
    uint64_t non_null_at_last_pcr_ = 0;
    bool warned_pcr_jump_ = false;
    bool warned_pcr_gap_ = false;

    // The output grid: slot k leaves at origin + k x ticks_per_slot - delay.
    bool have_origin_ = false;
    double origin_time_ = 0;  // the time of input packet 0
    uint64_t next_slot_ = 0;
    uint64_t end_slot_ = 0;  // the slot that starts after the input's duration
    uint8_t null_continuity_ = 0;
    uint64_t delivered_packets_ = 0;  // returned by completed reads

    // A live input. Its schedule passes through (schedule_slot_,
    // schedule_time_) at 1 + steering_ times the channel's rate: a packet
    // is due in the first slot whose schedule time has reached its own.
    const bool live_;
    bool schedule_started_ = false;
    uint64_t schedule_slot_ = 0;
    double schedule_time_ = 0;
    double steering_ = 0;
    double fill_integral_ = 0;  // seconds x seconds of fill error
    uint64_t servo_interval_slots_ = 1;
    uint64_t next_servo_slot_ = 0;
    uint64_t timing_breaks_seen_ = 0;
    bool break_pending_ = false;  // the next timing PCR is the first after a break
    uint64_t break_index_ = 0;    // the first input packet after the break
    double clock_shift_ = 0;      // for the packets timed from now on
    // The PCR PIDs whose next PCR, from the input index given, carries the
    // discontinuity indicator (after a re-anchor).
    std::map<uint16_t, uint64_t> discontinuity_owed_;

    RateAdapterStatistics statistics_;
};

// Without rate adaptation: watches the first seconds of the stream and warns
// once (level 1) when its PCRs give a rate more than 1 % away from the
// channel's, naming --adapt-rate. Never changes a byte.
class RateMismatchDetector {
  public:
    static constexpr double kObservedSpan = 1.0;  // seconds of PCR time measured
    static constexpr double kTolerance = 0.01;
    static constexpr uint64_t kMaxObservedPackets = 200000;

    // `label` ("" or "LP ") names the stream and its channel in the warning.
    RateMismatchDetector(double channel_rate, Log& log, const char* label = "");
    // `bytes` of stream from `block`, which starts at a packet boundary.
    void observe(const uint8_t* block, size_t bytes);
    bool warned() const { return warned_; }
    // The measured rate in bit/s once decided, else 0.
    double measured_rate() const { return measured_rate_; }

  private:
    void on_pcr(uint64_t index, int64_t pcr, bool discontinuity);

    double channel_rate_;
    Log& log_;
    const char* label_;
    uint64_t packets_seen_ = 0;
    int32_t pid_ = -1;
    bool have_start_ = false;
    uint64_t start_index_ = 0;
    int64_t start_pcr_ = 0;
    int64_t last_pcr_ = 0;
    int64_t elapsed_ = 0;  // ticks from the start PCR to the last one
    bool done_ = false;
    bool warned_ = false;
    double measured_rate_ = 0;
};

}  // namespace terramod
