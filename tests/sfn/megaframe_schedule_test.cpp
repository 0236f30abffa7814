// The SFN schedule: emission times from a MIP's STS, maximum delay and time
// offsets, the pulse chosen nearest the timeline, late mega-frames, and what
// MIP losses do. Times are worked out by hand: 2k, guard 1/32, 8 MHz gives
// a mega-frame of 4 595 712 samples at 64/7 MHz = 502 656 000 ns.
#include "sfn/megaframe_schedule.h"

#include <gtest/gtest.h>

#include <vector>

namespace terramod {
namespace {

constexpr int64_t kSecond = 1'000'000'000;
constexpr int64_t kPulse = 1'800'000'000 * kSecond;  // 2027-01-15T08:00:00Z
constexpr int64_t kMegaframeNs = 502'656'000;
constexpr uint32_t kTps = 0x00060000;

Mip mip_with(uint32_t sts_100ns, uint32_t max_delay_100ns,
             std::vector<MipAddressing> addressing = {}) {
    Mip mip;
    mip.sts_100ns = sts_100ns;
    mip.max_delay_100ns = max_delay_100ns;
    mip.tps_mip = kTps;
    mip.addressing = std::move(addressing);
    return mip;
}

MegaframeScheduleSettings settings_for(int64_t first_emission_ns, bool stop = false) {
    MegaframeScheduleSettings settings;
    settings.first_emission_ns = first_emission_ns;
    settings.pulse_origin_ns = kPulse;
    settings.tx_id = 7;
    settings.tps_mip = kTps;
    settings.stop_on_mip_loss = stop;
    return settings;
}

TEST(EmissionTime, AfterThePulse) {
    struct Case {
        Mip mip;
        std::optional<uint16_t> tx_id;
        int64_t local_offset_ns;
        int64_t expected_ns;
    };
    const std::vector<Case> cases = {
        {mip_with(5'026'560, 2'500'000), 7, 0, 752'656'000},
        {mip_with(5'026'560, 2'500'000, {{7, {*tx_time_offset_function(-15)}}}), 7, 0, 752'654'500},
        {mip_with(5'026'560, 2'500'000, {{7, {*tx_time_offset_function(-15)}}}), 8, 0, 752'656'000},
        // Every transmitter's offset, and this one's over it.
        {mip_with(0, 0, {{0, {*tx_time_offset_function(20)}}}), 8, 0, 2'000},
        {mip_with(0, 0, {{0, {*tx_time_offset_function(20)}}, {8, {*tx_time_offset_function(-3)}}}),
         8, 125, -175},
        {mip_with(9'999'999, 9'999'999), std::nullopt, 0, 1'999'999'800},
    };
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(
            mip_emission_after_pulse_ns(cases[i].mip, cases[i].tx_id, cases[i].local_offset_ns),
            cases[i].expected_ns)
            << i;
}

TEST(EmissionTime, PulseNearestTheExpectedTime) {
    struct Case {
        int64_t after_pulse_ns, origin_ns, expected_ns, result_ns;
    };
    const std::vector<Case> cases = {
        {752'656'000, 0, 10 * kSecond + 752'656'000, 10 * kSecond + 752'656'000},
        {752'656'000, 0, 10 * kSecond + 752'000'000, 10 * kSecond + 752'656'000},
        // The expected time has crossed a second: the same pulse still.
        {950'000'000, 0, 11 * kSecond + 100'000'000, 10 * kSecond + 950'000'000},
        {50'000'000, 0, 10 * kSecond + 900'000'000, 11 * kSecond + 50'000'000},
        // Over a second after the pulse (STS + maximum delay).
        {1'400'000'000, 0, 12 * kSecond + 300'000'000, 12 * kSecond + 400'000'000},
        // Pulses on a fixed origin a quarter second into the second.
        {100'000'000, 250'000'000, 20 * kSecond + 340'000'000, 20 * kSecond + 350'000'000},
        {0, 0, -kSecond / 4, 0},
    };
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(
            emission_nearest(cases[i].after_pulse_ns, cases[i].origin_ns, cases[i].expected_ns),
            cases[i].result_ns)
            << i;
}

TEST(MegaframeSchedule, FollowsTheMipsOfAStreamInStep) {
    // sfnadapt's MIPs: the one in mega-frame k gives STS (k + 2) x 502.656 ms
    // modulo one second after the pulse, 0.25 s maximum delay.
    const int64_t first = kPulse + kMegaframeNs + 250'000'000;
    std::optional<MegaframeSchedule> schedule = MegaframeSchedule::make(settings_for(first));
    ASSERT_TRUE(schedule);
    for (int64_t k = 0; k < 100; ++k) {
        const int64_t start = (k + 2) * kMegaframeNs;
        ASSERT_TRUE(schedule->take_mip(
            k, mip_with(static_cast<uint32_t>(start % kSecond / 100), 2'500'000)));
        const MegaframeDecision decision = schedule->decide(k, std::nullopt);
        EXPECT_EQ(decision.fate, MegaframeFate::kSend);
        ASSERT_EQ(decision.emission_ns, first + k * kMegaframeNs) << k;
        EXPECT_EQ(decision.mip.has_value(), k > 0);
    }
    EXPECT_EQ(schedule->moved_megaframes(), 0);
}

// The MIP that times the run's mega-frame m (sfnadapt's m + 1, which
// starts (m + 1) x 502.656 ms after the pulse), with a time offset for
// transmitter 7.
Mip mip_timing(int64_t m, int64_t offset_100ns = 0) {
    std::vector<MipAddressing> addressing;
    if (offset_100ns != 0) addressing.push_back({7, {*tx_time_offset_function(offset_100ns)}});
    return mip_with(static_cast<uint32_t>((m + 1) * kMegaframeNs % kSecond / 100), 2'500'000,
                    addressing);
}

TEST(MegaframeSchedule, LateLostAndOtherTps) {
    const int64_t first = kPulse + kMegaframeNs + 250'000'000;
    const int64_t margin = MegaframeSchedule::kSendMarginNs;
    const int64_t slack = MegaframeSchedule::kContinuedSlackNs;
    const int64_t moved = -1'500;  // the MIP of mega-frame 1 moves mega-frame 2 on
    struct Step {
        int64_t megaframe;
        std::optional<Mip> mip_in_previous;  // a valid MIP in the mega-frame before
        std::optional<int64_t> device_ns;
        MegaframeFate fate;
        int64_t emission_ns;
    };
    const std::vector<Step> steps = {
        // A burst's first mega-frame needs the margin ahead of the clock.
        {0, {}, first - margin, MegaframeFate::kSend, first},
        {1, {}, first, MegaframeFate::kSend, first + kMegaframeNs},
        {2, mip_timing(2, -15), {}, MegaframeFate::kSend, first + 2 * kMegaframeNs + moved},
        // One that continues the burst only its time (and the slack).
        {3,
         {},
         first + 3 * kMegaframeNs + moved + slack,
         MegaframeFate::kSend,
         first + 3 * kMegaframeNs + moved},
        {4, mip_timing(4, -15), first + 4 * kMegaframeNs + moved + slack + 1, MegaframeFate::kLate,
         first + 4 * kMegaframeNs + moved},
        // After a late one a new burst starts: the margin again.
        {5, mip_timing(5, -15), first + 5 * kMegaframeNs + moved - margin + 1, MegaframeFate::kLate,
         first + 5 * kMegaframeNs + moved},
        {6, {}, {}, MegaframeFate::kSend, first + 6 * kMegaframeNs + moved},
        {7, {}, {}, MegaframeFate::kMute, first + 7 * kMegaframeNs + moved},
        {8, {}, {}, MegaframeFate::kMute, first + 8 * kMegaframeNs + moved},
    };
    std::optional<MegaframeSchedule> schedule = MegaframeSchedule::make(settings_for(first));
    ASSERT_TRUE(schedule);
    for (const Step& step : steps) {
        if (step.mip_in_previous) {
            ASSERT_TRUE(schedule->take_mip(step.megaframe - 1, *step.mip_in_previous));
        }
        const MegaframeDecision decision = schedule->decide(step.megaframe, step.device_ns);
        EXPECT_EQ(decision.fate, step.fate) << step.megaframe;
        EXPECT_EQ(decision.emission_ns, step.emission_ns) << step.megaframe;
    }
    EXPECT_EQ(schedule->late_megaframes(), 2);
    EXPECT_EQ(schedule->muted_megaframes(), 2);
    EXPECT_EQ(schedule->moved_megaframes(), 1);
    EXPECT_EQ(schedule->largest_move_ns(), 1'500);
    // A MIP with other TPS is not taken; the next valid one ends the mute,
    // without the offset: back by 1.5 us.
    Mip other = mip_timing(9, -15);
    other.tps_mip ^= 1u << 30;
    EXPECT_FALSE(schedule->take_mip(8, other));
    EXPECT_EQ(schedule->decide(9, std::nullopt).fate, MegaframeFate::kMute);
    ASSERT_TRUE(schedule->take_mip(9, mip_timing(10)));
    const MegaframeDecision back = schedule->decide(10, std::nullopt);
    EXPECT_EQ(back.fate, MegaframeFate::kSend);
    EXPECT_EQ(back.emission_ns, first + 10 * kMegaframeNs);
    EXPECT_EQ(schedule->other_tps_mips(), 1);
    EXPECT_EQ(schedule->moved_megaframes(), 2);

    // With stop, the second mega-frame without a MIP stops instead.
    std::optional<MegaframeSchedule> stopping = MegaframeSchedule::make(settings_for(first, true));
    EXPECT_EQ(stopping->decide(0, std::nullopt).fate, MegaframeFate::kSend);
    EXPECT_EQ(stopping->decide(1, std::nullopt).fate, MegaframeFate::kSend);
    EXPECT_EQ(stopping->decide(2, std::nullopt).fate, MegaframeFate::kStop);
}

}  // namespace
}  // namespace terramod
