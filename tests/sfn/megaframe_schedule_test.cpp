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

TEST(MegaframeSchedule, LateLostAndOtherTps) {
    const int64_t first = kPulse + kMegaframeNs + 250'000'000;
    const Mip in_step_for_2 = mip_with(static_cast<uint32_t>(3 * kMegaframeNs % kSecond / 100),
                                       2'500'000, {{7, {*tx_time_offset_function(-15)}}});
    struct Step {
        int64_t megaframe;
        bool mip_in_previous;  // a valid MIP in the mega-frame before
        std::optional<int64_t> device_ns;
        MegaframeFate fate;
        int64_t emission_ns;
    };
    // The MIP of mega-frame 1 moves mega-frame 2 by its -1.5 us offset.
    const std::vector<Step> steps = {
        {0, false, first - MegaframeSchedule::kSendMarginNs, MegaframeFate::kSend, first},
        {1, false, first, MegaframeFate::kSend, first + kMegaframeNs},
        {2, true, std::nullopt, MegaframeFate::kSend, first + 2 * kMegaframeNs - 1'500},
        // Late by 1 ns with the margin.
        {3, false, first + 3 * kMegaframeNs - 1'500 - MegaframeSchedule::kSendMarginNs + 1,
         MegaframeFate::kLate, first + 3 * kMegaframeNs - 1'500},
        {4, false, std::nullopt, MegaframeFate::kMute, first + 4 * kMegaframeNs - 1'500},
        {5, false, std::nullopt, MegaframeFate::kMute, first + 5 * kMegaframeNs - 1'500},
    };
    std::optional<MegaframeSchedule> schedule = MegaframeSchedule::make(settings_for(first));
    ASSERT_TRUE(schedule);
    for (const Step& step : steps) {
        if (step.mip_in_previous)
            ASSERT_TRUE(schedule->take_mip(step.megaframe - 1, in_step_for_2));
        const MegaframeDecision decision = schedule->decide(step.megaframe, step.device_ns);
        EXPECT_EQ(decision.fate, step.fate) << step.megaframe;
        EXPECT_EQ(decision.emission_ns, step.emission_ns) << step.megaframe;
    }
    EXPECT_EQ(schedule->late_megaframes(), 1);
    EXPECT_EQ(schedule->muted_megaframes(), 2);
    EXPECT_EQ(schedule->moved_megaframes(), 1);
    EXPECT_EQ(schedule->largest_move_ns(), 1'500);
    // A MIP with other TPS is not taken; the next valid one ends the mute.
    Mip other = in_step_for_2;
    other.tps_mip ^= 1u << 30;
    EXPECT_FALSE(schedule->take_mip(5, other));
    EXPECT_EQ(schedule->decide(6, std::nullopt).fate, MegaframeFate::kMute);
    ASSERT_TRUE(schedule->take_mip(
        6, mip_with(static_cast<uint32_t>(8 * kMegaframeNs % kSecond / 100), 2'500'000)));
    const MegaframeDecision back = schedule->decide(7, std::nullopt);
    EXPECT_EQ(back.fate, MegaframeFate::kSend);
    EXPECT_EQ(back.emission_ns, first + 7 * kMegaframeNs);
    EXPECT_EQ(schedule->other_tps_mips(), 1);

    // With stop, the second mega-frame without a MIP stops instead.
    std::optional<MegaframeSchedule> stopping = MegaframeSchedule::make(settings_for(first, true));
    EXPECT_EQ(stopping->decide(0, std::nullopt).fate, MegaframeFate::kSend);
    EXPECT_EQ(stopping->decide(1, std::nullopt).fate, MegaframeFate::kSend);
    EXPECT_EQ(stopping->decide(2, std::nullopt).fate, MegaframeFate::kStop);
}

}  // namespace
}  // namespace terramod
