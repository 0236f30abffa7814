#include "sfn/megaframe_schedule.h"

#include <cstdlib>

namespace terramod {

namespace {

constexpr int64_t kSecondNs = 1'000'000'000;

// `value` modulo one second, in [0, 1 s).
int64_t within_second(int64_t value) {
    const int64_t rest = value % kSecondNs;
    return rest < 0 ? rest + kSecondNs : rest;
}

// MIPs older than this many mega-frames are forgotten.
constexpr int64_t kKeptMips = 8;

}  // namespace

int64_t mip_emission_after_pulse_ns(const Mip& mip, std::optional<uint16_t> tx_id,
                                    int64_t local_offset_ns) {
    const int64_t offset_100ns = static_cast<int64_t>(mip.sts_100ns) + mip.max_delay_100ns +
                                 functions_for(mip, tx_id).time_offset_100ns.value_or(0);
    return offset_100ns * 100 + local_offset_ns;
}

int64_t emission_nearest(int64_t after_pulse_ns, int64_t pulse_origin_ns, int64_t expected_ns) {
    // The last pulse at or before expected - after_pulse, or the one after
    // it when that is nearer.
    const int64_t target = expected_ns - after_pulse_ns;
    int64_t pulse = target - within_second(target - pulse_origin_ns);
    if (target - pulse > kSecondNs / 2) pulse += kSecondNs;
    return pulse + after_pulse_ns;
}

std::optional<MegaframeSchedule> MegaframeSchedule::make(
    const MegaframeScheduleSettings& settings) {
    const std::optional<MegaframeClock> clock =
        MegaframeClock::make(settings.mode, settings.guard_interval, settings.bandwidth_hz, 0);
    if (!clock) return std::nullopt;
    return MegaframeSchedule(settings, *clock);
}

bool MegaframeSchedule::take_mip(int64_t carried_in, const Mip& mip) {
    if (mip.tps_mip != settings_.tps_mip) {
        ++other_tps_;
        return false;
    }
    mips_[carried_in] = mip;
    while (!mips_.empty() && mips_.begin()->first < carried_in - kKeptMips)
        mips_.erase(mips_.begin());
    return true;
}

MegaframeDecision MegaframeSchedule::decide(int64_t megaframe,
                                            std::optional<int64_t> device_time_ns) {
    MegaframeDecision decision;
    const int64_t expected = megaframe == 0 ? settings_.first_emission_ns
                                            : last_emission_ns_ + clock_.start_of(megaframe) -
                                                  clock_.start_of(megaframe - 1);
    decision.emission_ns = expected;
    if (megaframe > 0) {
        const auto found = mips_.find(megaframe - 1);
        if (found == mips_.end()) {
            ++megaframes_without_mip_;
        } else {
            megaframes_without_mip_ = 0;
            decision.mip = found->second;
            decision.emission_ns =
                emission_nearest(mip_emission_after_pulse_ns(found->second, settings_.tx_id,
                                                             settings_.local_offset_ns),
                                 settings_.pulse_origin_ns, expected);
            const int64_t move = std::llabs(decision.emission_ns - expected);
            if (move != 0) {
                ++moved_;
                if (move > largest_move_ns_) largest_move_ns_ = move;
            }
        }
    }
    const bool continues_burst = megaframe > 0 && last_on_air_ && decision.emission_ns == expected;
    decision.starts_burst = !continues_burst;
    last_emission_ns_ = decision.emission_ns;
    last_on_air_ = true;
    // One mega-frame without a MIP keeps the time of the one before; more
    // leave the transmitter out of step.
    if (megaframes_without_mip_ > 1) {
        decision.fate = settings_.stop_on_mip_loss ? MegaframeFate::kStop : MegaframeFate::kMute;
        if (decision.fate == MegaframeFate::kMute) ++muted_;
        return decision;
    }
    const int64_t margin = continues_burst ? -kContinuedSlackNs : kSendMarginNs;
    if (device_time_ns && decision.emission_ns < *device_time_ns + margin) {
        decision.fate = MegaframeFate::kLate;
        last_on_air_ = false;
        ++late_;
    }
    return decision;
}

}  // namespace terramod
