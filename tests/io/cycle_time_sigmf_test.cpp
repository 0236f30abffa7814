// The cycle clock (first-sample index and transmit time) and the SigMF
// capture's core:datetime.

#include <gtest/gtest.h>

#include <string>

#include "io/sample_sink.h"
#include "io/sigmf.h"

namespace terramod {
namespace {

TEST(CycleClock, FirstSampleIsExactAndTheTimeRoundsToTheNanosecond) {
    struct Case {
        int64_t samples_per_cycle;
        double rate;
        int64_t cycle;
        int64_t first_sample;
        int64_t offset_ns;  // from the time base's first sample
    };
    // 8 MHz: 7/64 us a sample; 6 MHz: 7/48 us (145.8333 ns, rounded).
    const Case cases[] = {
        {143616, 64e6 / 7, 0, 0, 0},
        {143616, 64e6 / 7, 1, 143616, 15708000},
        {287232, 128e6 / 7, 1000000, 287232000000, 15708000000000},
        {1, 48e6 / 7, 1, 1, 146},
        {1, 48e6 / 7, 2, 2, 292},
    };
    for (const Case& c : cases) {
        const CycleTime untimed = CycleClock(c.samples_per_cycle, c.rate).at(c.cycle);
        EXPECT_EQ(untimed.first_sample, c.first_sample);
        EXPECT_FALSE(untimed.transmit_time_ns);
        const CycleTime timed = CycleClock(c.samples_per_cycle, c.rate, 1000).at(c.cycle);
        EXPECT_EQ(timed.first_sample, c.first_sample);
        EXPECT_EQ(timed.transmit_time_ns, 1000 + c.offset_ns);
    }
}

TEST(SigmfDatetime, Iso8601Utc) {
    const std::pair<int64_t, const char*> cases[] = {
        {0, "1970-01-01T00:00:00Z"},
        {1765238400000000000, "2025-12-09T00:00:00Z"},
        {1765238400000125000, "2025-12-09T00:00:00.000125Z"},
        {951782400123456789, "2000-02-29T00:00:00.123456789Z"},
        {-1, "1969-12-31T23:59:59.999999999Z"},
    };
    for (const auto& [ns, text] : cases) EXPECT_EQ(iso8601_utc(ns), text);
}

TEST(SigmfDatetime, CaptureHasItOnlyWithATimeBase) {
    SigmfMetadata metadata;
    metadata.datatype = "ci16_le";
    metadata.sample_rate = 64e6 / 7;
    const std::string untimed = sigmf_json(metadata);
    EXPECT_NE(untimed.find("\"captures\": [{\"core:sample_start\": 0}]"), std::string::npos)
        << untimed;
    metadata.datetime_ns = 1765238400000125000;
    const std::string timed = sigmf_json(metadata);
    EXPECT_NE(timed.find("\"captures\": [{\"core:sample_start\": 0, \"core:datetime\": "
                         "\"2025-12-09T00:00:00.000125Z\"}]"),
              std::string::npos)
        << timed;
}

}  // namespace
}  // namespace terramod
