// --loop: the passes through a file joined into one continuous transport
// stream (ISO/IEC 13818-1 clause 2.4.3). From the second pass on, each packet
// is rewritten in place:
// - continuity_counter: carried on across the wrap per PID (not the null
//   PID). A PID's offset is fixed at its first packet of the pass, which
//   follows the last counter sent on the PID (+1 with payload, +0 for an
//   adaptation-only packet); the pass's counters keep their relation.
// - PCR: moved on by the loop's duration D times the pass number; PES PTS and
//   DTS by that product / 300, rounded, so rounding does not accumulate.
// D (27 MHz ticks) is measured in the first pass from the first PID carrying
// PCRs: the line through its first and last PCR, extrapolated over the whole
// pass, gives the packets' duration D_p. Each pass must also last as long as
// its content: per PES PID, from its earliest PTS to its latest plus one
// frame; C, the longest of them. When C exceeds D_p, n null packets are sent
// at each wrap, n = ceil((C - D_p) / t), t = D_p / (the pass's packets), and
// D is the pass with its nulls at the same rate. Without two advancing PCRs
// no timestamp is moved and no null is added; instead each PCR PID's first
// PCR of every later pass carries the discontinuity_indicator.
// The gap carries the clocks on: every PID that carried a PCR in the first
// pass gets, in place of some of the gap's nulls, PCR-only packets
// (adaptation field only, its counter repeating the PID's last) so that no
// two of its consecutive PCRs lie more than 40 ms apart across the wrap
// (ETSI TR 101 290 PCR_repetition_error): one every 30 ms of output from the
// pass's last PCR, none where the wrap's interval is short enough already.
// Each such PCR is the line through the timing PID's PCRs at the packet's
// own output position, anchored on the PID's first PCR of the next pass (the
// one the rebasing gives it): for the timing PID that is the rebasing's own
// line, within a tick; a PID on a clock of its own keeps whatever step the
// rebasing gives it at its pass's last PCR. The timing PID chooses its slots
// first; a slot taken already moves another PID's PCR to the nearest free
// slot before it (a shorter interval), or after it if none is free.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>

#include "io/ts_packet.h"

namespace terramod {

class LoopContinuity {
  public:
    // `pass_packets`: the packets of one pass, a cut last one included.
    explicit LoopContinuity(uint64_t pass_packets);

    // The next packet of the current pass, rewritten in place. `length` bytes
    // of it came from the input: 188, or fewer for a last packet cut short
    // (the rest zeros); fields beyond them are left alone.
    void take(uint8_t* packet, size_t length);
    // The current pass has ended; the next one starts.
    void start_next_pass();

    // D once the first pass has ended, if its PCRs gave one.
    std::optional<int64_t> duration() const { return duration_; }
    // Whether the first pass held any PCR.
    bool saw_pcr() const { return timing_pid_ >= 0; }
    // The null packets to send at each wrap, before the next pass (0 until
    // the first pass has ended, and when its content fits its packets).
    uint64_t gap_packets() const { return gap_packets_; }
    // How many of them carry a PCR in place of a null.
    uint64_t gap_pcr_packets() const { return gap_pcrs_.size(); }
    // Writes the gap's packet number `slot` (0 to gap_packets() - 1) of the
    // wrap just started: a null packet, or a PCR-only packet.
    void write_gap_packet(uint64_t slot, uint8_t* packet) const;

  private:
    static constexpr uint8_t kUnset = 0xFF;

    // One PES PID's PTS values in the first pass, relative to its first.
    struct ContentSpan {
        int64_t first = 0;
        int64_t previous = 0;
        int64_t earliest = 0;  // relative to `first`
        int64_t latest = 0;
        int64_t frame = 0;  // the smallest positive step between consecutive PTS
        uint64_t count = 0;
    };

    // A PID's PCRs in the first pass: the first's index and value, the
    // last's index.
    struct PcrSpan {
        uint64_t first_index = 0;
        int64_t first = 0;
        uint64_t last_index = 0;
    };

    void carry_counter(uint8_t* packet, uint16_t pid);
    void note_pcr(uint8_t* packet, uint16_t pid, uint64_t index);
    void on_pcr(uint8_t* packet, uint16_t pid);
    void move_pes_timestamps(uint8_t* packet, size_t length) const;
    void note_pts(uint8_t* packet, size_t length, uint16_t pid);
    std::optional<int64_t> content_duration() const;
    void measure_duration();
    void place_gap_pcrs(int64_t advance, uint64_t between);
    void place_gap_pcrs_of(uint16_t pid, const PcrSpan& span, int64_t advance, uint64_t between);

    uint64_t pass_packets_;
    uint64_t pass_ = 0;   // 0 for the first pass
    uint64_t index_ = 0;  // of the packet within the pass

    std::array<uint8_t, 0x2000> last_counter_;  // the last sent per PID, or kUnset
    std::array<uint8_t, 0x2000> pass_offset_;   // this pass's counter offset, or kUnset
    std::array<bool, 0x2000> pcr_marked_{};     // discontinuity set this pass

    // The first pass's timing PID: its first and last PCR with their indices.
    int32_t timing_pid_ = -1;
    uint64_t first_pcr_index_ = 0, last_pcr_index_ = 0;
    int64_t first_pcr_ = 0, last_pcr_ = 0;

    std::map<uint16_t, ContentSpan> content_;  // per PES PID, first pass only
    std::map<uint16_t, PcrSpan> pcr_spans_;    // per PCR PID, first pass only
    std::map<uint64_t, uint16_t> gap_pcrs_;    // gap slot -> the PCR PID sent there
    int64_t line_advance_ = 0;                 // the timing PID's line: this many
    uint64_t line_packets_ = 1;                // ticks over this many packets

    std::optional<int64_t> duration_;
    uint64_t gap_packets_ = 0;
    int64_t pcr_offset_ = 0;        // pass x D modulo 2^33 x 300
    int64_t timestamp_offset_ = 0;  // round(pass x D / 300) modulo 2^33
};

}  // namespace terramod
