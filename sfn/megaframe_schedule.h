// When each mega-frame of an SFN transmitter leaves the antenna, and whether
// it does (ETSI TS 101 191 clause 7): the MIP carried in mega-frame k gives
// the emission time of mega-frame k + 1 as the 1 PPS pulse + STS + maximum
// delay + the time offset addressed to this transmitter (+ a local trim).
// STS counts from the last pulse only, so the pulse is the one that puts the
// time nearest to where the previous mega-frame's end says it must be.
//
// A mega-frame goes out at its time unless it would be late (the device's
// clock has passed it, less a margin for the way to the antenna), or no
// valid MIP came for more than one mega-frame: the transmitter is then no
// longer known to be in step with the network, and mutes or stops as the
// operator chose.
#pragma once

#include <cstdint>
#include <map>
#include <optional>

#include "sfn/megaframe.h"
#include "sfn/mip.h"

namespace terramod {

enum class MegaframeFate {
    kSend,  // at emission_ns
    kLate,  // the device's clock has passed its time: not sent
    kMute,  // no MIP for more than a mega-frame: silence in its place
    kStop,  // no MIP for more than a mega-frame, and the operator said stop
};

struct MegaframeDecision {
    MegaframeFate fate = MegaframeFate::kSend;
    int64_t emission_ns = 0;  // UTC ns since 1970
    // The MIP that timed it, when one did (the mega-frame before carried it).
    std::optional<Mip> mip;
    // It does not follow the one before on the air: the first, one after a
    // mega-frame not sent, or one a MIP moved.
    bool starts_burst = true;
};

// How long after its 1 PPS pulse the mega-frame a MIP points to leaves this
// transmitter's antenna: STS + maximum delay + the time offset addressed to
// `tx_id` (or to every transmitter) + `local_offset_ns`.
int64_t mip_emission_after_pulse_ns(const Mip& mip, std::optional<uint16_t> tx_id,
                                    int64_t local_offset_ns);
// The time a pulse + `after_pulse_ns` nearest `expected_ns`, the pulses
// falling on `pulse_origin_ns` + whole seconds.
int64_t emission_nearest(int64_t after_pulse_ns, int64_t pulse_origin_ns, int64_t expected_ns);

struct MegaframeScheduleSettings {
    OfdmMode mode = kMode2k;
    GuardInterval guard_interval = kGuard1_32;
    int64_t bandwidth_hz = 8'000'000;
    // Mega-frame 0's emission time, from the MIP that pointed to it.
    int64_t first_emission_ns = 0;
    // The pulses fall on whole seconds after this time (UTC ns).
    int64_t pulse_origin_ns = 0;
    std::optional<uint16_t> tx_id;
    int64_t local_offset_ns = 0;  // --sfn-offset
    uint32_t tps_mip = 0;         // what each MIP's TPS must say
    bool stop_on_mip_loss = false;
};

class MegaframeSchedule {
  public:
    // A mega-frame that starts a burst (the first, one after a mega-frame
    // not sent, one a MIP moved) is late when its time is less than this
    // after the device's clock: the samples need time to reach the antenna.
    static constexpr int64_t kSendMarginNs = 20'000'000;
    // One that continues the burst is already on its way behind the one
    // before: late only when the device's clock has passed its time by more
    // than this (the clock's rounding to whole samples).
    static constexpr int64_t kContinuedSlackNs = 1'000;

    // Nothing for a bandwidth of 0 or less.
    static std::optional<MegaframeSchedule> make(const MegaframeScheduleSettings& settings);

    // The MIP found in place in mega-frame `carried_in` (pointing to the
    // next one). One with other TPS is counted and not taken. False when it
    // was not taken.
    bool take_mip(int64_t carried_in, const Mip& mip);

    // Mega-frame `megaframe`'s fate, asked once for each in order when its
    // first sample is to go out; `device_time_ns` is the device's clock then
    // (nothing for a file, where nothing is late).
    MegaframeDecision decide(int64_t megaframe, std::optional<int64_t> device_time_ns);

    int64_t late_megaframes() const { return late_; }
    int64_t muted_megaframes() const { return muted_; }
    int64_t other_tps_mips() const { return other_tps_; }
    // Mega-frames whose MIP moved their time off the previous one's end.
    int64_t moved_megaframes() const { return moved_; }
    // The largest such move, ns (absolute).
    int64_t largest_move_ns() const { return largest_move_ns_; }

  private:
    MegaframeSchedule(const MegaframeScheduleSettings& settings, const MegaframeClock& clock)
        : settings_(settings), clock_(clock) {}

    MegaframeScheduleSettings settings_;
    MegaframeClock clock_;          // mega-frame k's nominal start from mega-frame 0's
    std::map<int64_t, Mip> mips_;   // by the mega-frame that carried them
    int64_t last_emission_ns_ = 0;  // of the last mega-frame decided
    bool last_on_air_ = false;      // it went out (sent or muted)
    int64_t megaframes_without_mip_ = 0;
    int64_t late_ = 0;
    int64_t muted_ = 0;
    int64_t other_tps_ = 0;
    int64_t moved_ = 0;
    int64_t largest_move_ns_ = 0;
};

}  // namespace terramod
