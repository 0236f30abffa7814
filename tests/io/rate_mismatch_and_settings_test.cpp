// The warning for a stream at the wrong rate without --adapt-rate, and the
// setting rates an overflow message suggests.
#include <gtest/gtest.h>

#include <string>

#include "io/channel_rates.h"
#include "io/ts_rate_adapter.h"
#include "tests/io/ts_test_support.h"

namespace terramod::test {
namespace {

struct MismatchCase {
    double stream_rate;
    double channel;
    double seconds;
    bool warns;
};

class RateMismatchTest : public ::testing::TestWithParam<MismatchCase> {};

TEST_P(RateMismatchTest, WarnsOnceBeyondOnePercent) {
    const MismatchCase& c = GetParam();
    StreamPlan plan;
    plan.rate = c.stream_rate;
    plan.seconds = c.seconds;
    const Bytes stream = make_stream(plan);
    const Bytes untouched = stream;
    Log log(4, nullptr);
    std::string text;
    log.capture_to(&text);
    RateMismatchDetector detector(c.channel, log);
    const size_t block = 63 * kPacket;
    for (size_t at = 0; at < stream.size(); at += block)
        detector.observe(stream.data() + at, std::min(block, stream.size() - at));
    EXPECT_EQ(detector.warned(), c.warns) << text;
    EXPECT_EQ(stream, untouched);
    if (!c.warns) {
        EXPECT_EQ(text, "");
        return;
    }
    char expected[256];
    std::snprintf(expected, sizeof expected,
                  "WARNING: the stream's PCRs give %.6f Mbit/s but the channel carries %.6f "
                  "Mbit/s: it would play at the wrong speed (--adapt-rate re-times it)\n",
                  c.stream_rate * 1e-6, c.channel * 1e-6);
    EXPECT_EQ(text, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, RateMismatchTest,
    ::testing::Values(MismatchCase{4e6, kDefaultChannel, 3.0, true},
                      MismatchCase{2e6, kDefaultChannel, 3.0, true},
                      MismatchCase{12e6, kDefaultChannel, 3.0, true},
                      MismatchCase{6032000, kDefaultChannel, 3.0, false},
                      MismatchCase{kDefaultChannel * 1.009, kDefaultChannel, 2.0, false},
                      MismatchCase{kDefaultChannel * 0.991, kDefaultChannel, 2.0, false},
                      MismatchCase{kDefaultChannel * 1.012, kDefaultChannel, 2.0, true},
                      MismatchCase{kDefaultChannel * 0.988, kDefaultChannel, 2.0, true},
                      MismatchCase{6e6, kFastChannel, 2.0, true},
                      MismatchCase{24.1e6, kFastChannel, 2.0, false},
                      // Too short to measure a whole second: no verdict.
                      MismatchCase{4e6, kDefaultChannel, 0.8, false}));

TEST(RateMismatchTest, AJumpInTheFirstSecondRestartsTheMeasurement) {
    StreamPlan plan;
    plan.rate = 4e6;
    plan.seconds = 2.5;
    plan.jump_at = 0.4;
    plan.jump_to = 5;
    const Bytes stream = make_stream(plan);
    Log log(4, nullptr);
    RateMismatchDetector detector(kDefaultChannel, log);
    detector.observe(stream.data(), stream.size());
    EXPECT_TRUE(detector.warned());
    EXPECT_NEAR(detector.measured_rate(), 4e6, 4e6 * 1e-3);
}

// EN 300 744 Annex A, Table A.1: useful bit rates (Mbit/s) of the
// non-hierarchical settings in 8 MHz channels, guard intervals 1/4 .. 1/32.
struct TableRow {
    Constellation constellation;
    CodeRate code_rate;
    double rates[4];
};
constexpr TableRow kTable8MHz[] = {
    {kQpsk, kRate1_2, {4.98, 5.53, 5.85, 6.03}},
    {kQpsk, kRate2_3, {6.64, 7.37, 7.81, 8.04}},
    {kQpsk, kRate3_4, {7.46, 8.29, 8.78, 9.05}},
    {kQpsk, kRate5_6, {8.29, 9.22, 9.76, 10.05}},
    {kQpsk, kRate7_8, {8.71, 9.68, 10.25, 10.56}},
    {kQam16, kRate1_2, {9.95, 11.06, 11.71, 12.06}},
    {kQam16, kRate2_3, {13.27, 14.75, 15.61, 16.09}},
    {kQam16, kRate3_4, {14.93, 16.59, 17.56, 18.10}},
    {kQam16, kRate5_6, {16.59, 18.43, 19.52, 20.11}},
    {kQam16, kRate7_8, {17.42, 19.35, 20.49, 21.11}},
    {kQam64, kRate1_2, {14.93, 16.59, 17.56, 18.10}},
    {kQam64, kRate2_3, {19.91, 22.12, 23.42, 24.13}},
    {kQam64, kRate3_4, {22.39, 24.88, 26.35, 27.14}},
    {kQam64, kRate5_6, {24.88, 27.65, 29.27, 30.16}},
    {kQam64, kRate7_8, {26.13, 29.03, 30.74, 31.67}},
};

TEST(ChannelRatesTest, MatchTheStandardsTableForEverySpacingAndMode) {
    const double spacing_share[] = {6.0 / 8.0, 7.0 / 8.0, 1.0};
    for (const TableRow& row : kTable8MHz)
        for (int32_t guard = 0; guard < 4; ++guard)
            for (int32_t spacing = 0; spacing < 3; ++spacing)
                for (const OfdmMode mode : {kMode2k, kMode8k}) {
                    const double rate = useful_bit_rate(mode, row.constellation, row.code_rate,
                                                        static_cast<GuardInterval>(guard),
                                                        static_cast<ChannelSpacing>(spacing));
                    EXPECT_NEAR(rate * 1e-6, row.rates[guard] * spacing_share[spacing],
                                0.005 * spacing_share[spacing] + 1e-9)
                        << kConstellationNames[row.constellation] << " "
                        << kCodeRateNames[row.code_rate] << " " << kGuardIntervalNames[guard];
                }
    EXPECT_EQ(useful_bit_rate(kMode2k, kQpsk, kRate1_2, kGuard1_32, kSpacing8MHz), kDefaultChannel);
    EXPECT_EQ(useful_bit_rate(kMode8k, kQam64, kRate2_3, kGuard1_32, kSpacing8MHz), kFastChannel);
    EXPECT_EQ(all_settings(kSpacing7MHz).size(), 120u);
}

TEST(ChannelRatesTest, SuggestsTheSlowestSettingsAboveTheNeed) {
    struct Case {
        double needed;
        ChannelSpacing spacing;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {12e6,
         kSpacing8MHz,
         {"-M 16 -p 1/2 -D 1/32 (12.064171 Mbit/s)", "-M 16 -p 2/3 -D 1/4 (13.270588 Mbit/s)"}},
        // Exactly a setting's rate does not fit: the queue would still grow.
        {kDefaultChannel, kSpacing8MHz, {"-M 4 -p 2/3 -D 1/4 (6.635294 Mbit/s)"}},
        {31.6e6, kSpacing8MHz, {"-M 64 -p 7/8 -D 1/32 (31.668449 Mbit/s)"}},
        {31.7e6, kSpacing8MHz, {}},
        {24e6, kSpacing6MHz, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> got;
        for (const ChannelSetting& setting :
             nearest_settings_above(c.needed, c.spacing, c.expected.size()))
            got.push_back(describe_setting(setting));
        EXPECT_EQ(got, c.expected) << c.needed;
    }
    for (const ChannelSetting& setting : nearest_settings_above(1e6, kSpacing8MHz, 10))
        EXPECT_EQ(setting.mode, kMode2k);
}

// --bandwidth at the three spacings names and rates them as -b does; any
// other bandwidth scales every rate with it.
TEST(ChannelRatesTest, ABandwidthGivesTheSpacingsRatesOrScalesThem) {
    struct Case {
        double bandwidth;
        ChannelSpacing reference;
        double share;  // of the reference's rates
        const char* name;
    };
    for (const Case& c :
         {Case{6e6, kSpacing6MHz, 1.0, "6 MHz"}, Case{7e6, kSpacing7MHz, 1.0, "7 MHz"},
          Case{8e6, kSpacing8MHz, 1.0, "8 MHz"}, Case{1.7e6, kSpacing8MHz, 1.7 / 8, "1.7 MHz"},
          Case{5e6, kSpacing8MHz, 5.0 / 8, "5 MHz"}}) {
        const ChannelBand band = channel_band_of_bandwidth(c.bandwidth);
        EXPECT_EQ(band.name, c.name);
        const std::vector<ChannelSetting> got = all_settings(band);
        const std::vector<ChannelSetting> reference = all_settings(c.reference);
        ASSERT_EQ(got.size(), reference.size());
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_NEAR(got[i].useful_bit_rate, reference[i].useful_bit_rate * c.share,
                        reference[i].useful_bit_rate * 1e-12)
                << c.name << " " << i;
    }
}

// The LP stream's warning names it and its channel.
TEST(RateMismatchTest, TheLpStreamsWarningNamesIt) {
    StreamPlan plan;
    plan.rate = 4e6;
    plan.seconds = 2.0;
    const Bytes stream = make_stream(plan);
    Log log(4, nullptr);
    std::string text;
    log.capture_to(&text);
    RateMismatchDetector detector(2 * kDefaultChannel, log, "LP ");
    detector.observe(stream.data(), stream.size());
    EXPECT_EQ(text,
              "WARNING: the LP stream's PCRs give 4.000000 Mbit/s but the LP channel carries "
              "12.064171 Mbit/s: it would play at the wrong speed (--adapt-rate re-times it)\n");
}

}  // namespace
}  // namespace terramod::test
