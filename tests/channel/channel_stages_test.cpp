// The channel's stages together: which are made and in what order, the
// nominal power a C/N refers to, and the same bytes whatever the split of
// the run into cycles and tasks.
#include "channel/channel_stages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <typeinfo>
#include <vector>

#include "channel/awgn_stage.h"
#include "channel/frequency_offset_stage.h"
#include "channel/iq_imbalance_stage.h"
#include "channel/phase_noise_stage.h"
#include "ofdm/dac_output.h"
#include "tests/channel/band_power.h"

namespace terramod {
namespace {

constexpr double kRate = 64e6 / 7;
const ChannelSignal kSignal{kRate, 1705 * kRate / 2048, 1841.8888888888889};

ChannelSettings every_impairment() {
    ChannelSettings settings;
    settings.seed = 77;
    settings.cn_db = 12;
    settings.frequency_offset_hz = -1234.5;
    settings.phase_noise = PhaseNoiseSpec{-75, 1e4};
    settings.iq_imbalance = IqImbalanceSpec{0.5, -2};
    return settings;
}

std::vector<std::string> stage_types(const std::vector<std::shared_ptr<SampleStage>>& stages) {
    std::vector<std::string> names;
    for (const auto& stage : stages) {
        const SampleStage& s = *stage;
        if (typeid(s) == typeid(FrequencyOffsetStage)) names.push_back("frequency offset");
        if (typeid(s) == typeid(PhaseNoiseStage)) names.push_back("phase noise");
        if (typeid(s) == typeid(IqImbalanceStage)) names.push_back("I/Q imbalance");
        if (typeid(s) == typeid(AwgnStage)) names.push_back("AWGN");
    }
    EXPECT_EQ(names.size(), stages.size());
    return names;
}

// The oscillators' impairments, then the modulator's, the receiver's noise
// last; none that was not asked.
TEST(ChannelStages, MadeInTheOrderOfThePath) {
    struct Case {
        std::function<void(ChannelSettings&)> set;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {[](ChannelSettings&) {}, {}},
        {[](ChannelSettings& s) { s.seed = 9; }, {}},
        {[](ChannelSettings& s) { s.cn_db = 20; }, {"AWGN"}},
        {[](ChannelSettings& s) { s.frequency_offset_hz = 0; }, {"frequency offset"}},
        {[](ChannelSettings& s) {
             s.cn_db = 3;
             s.iq_imbalance = IqImbalanceSpec{1, 1};
         },
         {"I/Q imbalance", "AWGN"}},
        {[](ChannelSettings& s) { s = every_impairment(); },
         {"frequency offset", "phase noise", "I/Q imbalance", "AWGN"}},
    };
    for (const Case& c : cases) {
        ChannelSettings settings;
        c.set(settings);
        EXPECT_EQ(stage_types(make_channel_stages(settings, kSignal)), c.names);
    }
}

// At the base rate the sum of one symbol's cell powers (pilots 16/9); at 2x
// and 4x that through the filter: the same as nominal_rms()^2 of the
// output's scale.
TEST(ChannelStages, NominalPowerOfTheOutput) {
    EXPECT_NEAR(nominal_output_power(kMode2k, kZeroIf, 1), 176 * 16.0 / 9 + 1529, 1e-12);
    EXPECT_NEAR(nominal_output_power(kMode8k, kBasebandIf, 1), 701 * 16.0 / 9 + 6116, 1e-11);
    for (const OfdmMode mode : {kMode2k, kMode8k})
        for (const FrequencyMapping mapping : {kZeroIf, kBasebandIf})
            for (const int32_t factor : {1, 2, 4}) {
                const double rms = nominal_rms(mode, mapping, factor);
                EXPECT_NEAR(nominal_output_power(mode, mapping, factor), rms * rms,
                            1e-12 * rms * rms)
                    << mode << " " << mapping << " " << factor;
            }
    // Interpolated, the filter keeps the occupied carriers' power (within its
    // ripple) and spreads the samples over P times as many.
    const double base = nominal_output_power(kMode2k, kZeroIf, 1);
    EXPECT_NEAR(nominal_output_power(kMode2k, kZeroIf, 2) * 4, base, 0.05 * base);
    EXPECT_NEAR(nominal_output_power(kMode2k, kZeroIf, 4) * 16, base, 0.05 * base);
}

std::vector<ComplexSample> random_samples(size_t count) {
    std::mt19937 generator(2024);
    std::normal_distribution<float> value(0.0f, 30.0f);
    std::vector<ComplexSample> samples(count);
    for (ComplexSample& sample : samples) sample = {value(generator), value(generator)};
    return samples;
}

bool same_bytes(const std::vector<ComplexSample>& a, const std::vector<ComplexSample>& b) {
    return a.size() == b.size() &&
           std::memcmp(a.data(), b.data(), a.size() * sizeof(ComplexSample)) == 0;
}

// Every stage alone and all together: one cycle in one task is the
// reference; other task counts (for the stages that work sample by sample),
// tasks run last to first, and cycles cut otherwise give the same bytes.
TEST(ChannelStages, SameBytesWhateverTheSplit) {
    struct Case {
        const char* name;
        std::function<void(ChannelSettings&)> set;
        bool sample_by_sample;
    };
    const Case cases[] = {
        {"AWGN", [](ChannelSettings& s) { s.cn_db = 7; }, true},
        {"frequency offset", [](ChannelSettings& s) { s.frequency_offset_hz = 3.3e6; }, true},
        {"phase noise",
         [](ChannelSettings& s) {
             s.phase_noise = PhaseNoiseSpec{-70, 1e3};
         },
         false},
        {"I/Q imbalance",
         [](ChannelSettings& s) {
             s.iq_imbalance = IqImbalanceSpec{-1, 4};
         },
         true},
        {"all", [](ChannelSettings& s) { s = every_impairment(); }, false},
    };
    struct Split {
        std::vector<size_t> cycles;
        int32_t tasks;
        bool reverse;
        bool sample_by_sample_only;
    };
    const Split splits[] = {
        {{}, 2, false, true},
        {{}, 3, true, true},
        {{}, 7, false, true},
        {{}, 0, true, false},
        {{143616}, 0, true, false},
        {{12345, 7, 30000}, 0, false, false},
        {{4096, 1, 333}, 0, true, false},
        {{65537}, 5, true, true},
    };
    const std::vector<ComplexSample> input = random_samples(200003);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ChannelSettings settings;
        c.set(settings);
        auto run = [&](const std::vector<size_t>& cycles, int32_t tasks, bool reverse) {
            std::vector<ComplexSample> samples = input;
            const auto stages = make_channel_stages(settings, kSignal);
            std::vector<SampleStage*> pointers;
            for (const auto& stage : stages) pointers.push_back(stage.get());
            test::run_stages(pointers, samples, cycles, tasks, reverse);
            return samples;
        };
        const std::vector<ComplexSample> reference = run({}, 1, false);
        EXPECT_FALSE(same_bytes(reference, input));
        for (const Split& split : splits) {
            if (split.sample_by_sample_only && !c.sample_by_sample) continue;
            EXPECT_TRUE(same_bytes(run(split.cycles, split.tasks, split.reverse), reference))
                << split.cycles.size() << " cycle lengths, " << split.tasks << " tasks";
        }
    }
}

// A stage that works sample by sample takes a task for every 32768 samples
// begun; the phase noise one task, whatever the cycle.
TEST(ChannelStages, TaskCounts) {
    const auto stages = make_channel_stages(every_impairment(), kSignal);
    const size_t sizes[] = {1, 32768, 32769, 143616, 574464};
    const int32_t tasks[] = {1, 1, 2, 5, 18};
    for (size_t i = 0; i < std::size(sizes); ++i) {
        EXPECT_EQ(stages[0]->task_count(sizes[i]), tasks[i]) << sizes[i];
        EXPECT_EQ(stages[1]->task_count(sizes[i]), 1) << sizes[i];
        EXPECT_EQ(stages[2]->task_count(sizes[i]), tasks[i]) << sizes[i];
        EXPECT_EQ(stages[3]->task_count(sizes[i]), tasks[i]) << sizes[i];
    }
}

}  // namespace
}  // namespace terramod
