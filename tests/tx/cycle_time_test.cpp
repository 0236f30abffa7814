// A cycle's time reaches the sinks of every destination with the index of
// its first sample at the output rate (1x, 2x, 4x) and, with a time base, the
// time at which that sample leaves the antenna.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "tx/config.h"
#include "tx/sample_output.h"

namespace terramod {
namespace {

// Takes every write and checks its time against the samples it took before.
class TimeRecordingSink : public SampleSink {
  public:
    explicit TimeRecordingSink(std::vector<CycleTime>& times, std::vector<int64_t>& samples_before)
        : times_(times), samples_before_(samples_before) {}
    bool open() override { return true; }
    bool is_open() const override { return true; }
    const std::string& name() const override { return name_; }
    bool write_samples(std::span<const uint8_t> encoded, const CycleTime& time) override {
        times_.push_back(time);
        samples_before_.push_back(samples_);
        samples_ += static_cast<int64_t>(encoded.size() / sizeof(ComplexSample));
        return true;
    }
    bool close() override { return true; }

  private:
    std::vector<CycleTime>& times_;
    std::vector<int64_t>& samples_before_;
    int64_t samples_ = 0;
    std::string name_ = "recorder";
};

struct FormatCase {
    DacFormat format;
    int64_t factor;
};

constexpr double kBaseRate = 64e6 / 7;  // 8 MHz channel
constexpr int64_t kBaseSamples = 1000;  // a cycle at the base rate: 109375 ns
constexpr int64_t kCycleNs = 109375;    // 1000 x 7 / 64 us
constexpr int64_t kT0 = 1765238400000000000;

TEST(CycleTime, ReachesTheSinkOfEveryDestinationAtTheOutputRate) {
    const FormatCase formats[] = {
        {kFormatStandard, 1}, {kFormatInterpolated2x, 2}, {kFormatInterpolated4x, 4}};
    const SampleDestination destinations[] = {
        SampleDestination::kFile, SampleDestination::kStandardOutput, SampleDestination::kDevice};
    Log log(0, nullptr);
    for (const FormatCase& f : formats) {
        for (const SampleDestination destination : destinations) {
            for (const bool timed : {false, true}) {
                SCOPED_TRACE(::testing::Message()
                             << "x" << f.factor << " destination " << static_cast<int>(destination)
                             << " timed " << timed);
                TxConfig config;
                set_defaults(config);
                config.dac_format = f.format;
                config.dump[kDumpPostIfft] = true;
                const size_t per_cycle = static_cast<size_t>(kBaseSamples * f.factor);
                SampleOutput output(log, config, "cycle_time_scratch", per_cycle, kBaseRate, 1e6,
                                    destination);
                if (timed) output.set_time_base(kT0);
                std::vector<CycleTime> times;
                std::vector<int64_t> samples_before;
                output.attach_device(std::make_unique<TimeRecordingSink>(times, samples_before));
                const std::vector<ComplexSample> samples(per_cycle, ComplexSample{0.1f, -0.1f});
                for (int64_t cycle = 0; cycle < 3; ++cycle)
                    output.write(samples, output.cycle_time(cycle));
                ASSERT_EQ(times.size(), 3u);
                for (size_t cycle = 0; cycle < times.size(); ++cycle) {
                    EXPECT_EQ(times[cycle].first_sample, samples_before[cycle]);
                    EXPECT_EQ(times[cycle].first_sample,
                              static_cast<int64_t>(cycle) * kBaseSamples * f.factor);
                    if (timed)
                        EXPECT_EQ(times[cycle].transmit_time_ns,
                                  kT0 + static_cast<int64_t>(cycle) * kCycleNs);
                    else
                        EXPECT_FALSE(times[cycle].transmit_time_ns.has_value());
                }
            }
        }
    }
}

}  // namespace
}  // namespace terramod
