// The mega-frames of an SFN transmitter on their way out (--sfn): the MIPs
// the input carried go to the schedule, each mega-frame is sent at its time,
// dropped when late, or muted (or the run stopped) when MIPs are lost; the
// frequency offset and power the MIPs address to this transmitter are set
// on the device. Everything is logged, and raised as events when a
// recorder is attached.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

#include "common/log.h"
#include "common/run_events.h"
#include "ops/metrics.h"
#include "sfn/megaframe_aligner.h"
#include "sfn/megaframe_schedule.h"
#include "tx/sample_output.h"
#include "tx/tx_types.h"

namespace terramod {

class SfnGate : public MegaframeGate {
  public:
    SfnGate(const MegaframeSchedule& schedule, MegaframeAligner& aligner, SampleOutput& output,
            const TxConfig& config, Log& log, RunEventSink* events);

    // What the input had given up to the end of a cycle's block: how many
    // MIPs, and the aligner's counts then.
    struct ReadMark {
        int64_t mips = 0;
        int64_t in_place = 0;
        int64_t bad = 0;
        int64_t misplaced = 0;
        int64_t losses = 0;
    };

    // Sets what the first MIP addresses to this transmitter (frequency
    // offset, power) before the first sample goes out.
    void start(const Mip& first_mip);
    // Once a cycle's block is read: the MIPs it carried kept back.
    ReadMark note_cycle_read();
    // Before a cycle's samples go out: the MIPs read up to its block go to
    // the schedule, and the counts are those of its block's end. A run that
    // computes the next cycle's front ahead has read further; what it read
    // counts only once that cycle goes out.
    void cycle_going_out(const ReadMark& mark) { released_ = mark; }
    MegaframeDecision decide(int64_t megaframe, std::optional<int64_t> device_time_ns) override;
    // The totals at the end of the run.
    void report_end();

    const MegaframeSchedule& schedule() const { return schedule_; }
    // The counts so far, for the metrics.
    SfnMetricValues counts() const;

  private:
    void take_new_mips();
    ReadMark aligner_counts() const;
    void apply_functions(const Mip& mip);
    void apply_frequency_offset(int64_t offset_hz);
    void apply_power(int64_t power_decidbm);
    void note_late(int64_t megaframe, const MegaframeDecision& decision, int64_t device_time_ns);
    void note_mute(int64_t megaframe, bool muted);
    void raise(RunEvent event);

    MegaframeSchedule schedule_;
    MegaframeAligner& aligner_;
    // The MIPs taken from the aligner and not yet by the schedule; how many
    // were taken from the aligner, and by the schedule.
    std::deque<std::pair<int64_t, Mip>> read_mips_;
    int64_t mips_read_ = 0;
    int64_t mips_scheduled_ = 0;
    ReadMark released_;  // of the last cycle that went out
    SampleOutput& output_;
    const TxConfig& config_;
    Log& log_;
    RunEventSink* events_;
    bool device_;
    std::optional<int64_t> frequency_offset_hz_;  // set on the device
    std::optional<int64_t> reference_power_;      // the first MIP's, 0.1 dBm
    std::optional<int64_t> power_;                // the last set, 0.1 dBm
    std::optional<double> base_gain_db_;          // the gain at the reference power
    bool cell_id_warned_ = false;
    bool functions_unapplied_noted_ = false;
    bool muted_ = false;
    int64_t late_warnings_ = 0;
    int64_t tps_warnings_ = 0;
};

}  // namespace terramod
