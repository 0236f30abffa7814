// The chain's progress texts, in stage order, and the synchronisation
// warnings it relays from the energy dispersal; the back's list of stages
// and a stage added after interpolation.
#include "tx/chain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "tx/parameters.h"

namespace terramod {
namespace {

struct ChainRun {
    std::string outer_text;
    std::string inner_text;
};

ChainRun run_one_cycle(const TxConfig& config, int verbosity, int unsynced_packet = -1) {
    const BlockSizes sizes = choose_block_size(config);
    TxChain chain(dvbt_settings(config), 1, sizes);
    std::span<uint8_t> block = chain.input_block();
    for (size_t i = 0; i < block.size(); ++i) block[i] = i % 188 == 0 ? 0x47 : 0;
    if (unsynced_packet >= 0) block[unsynced_packet * 188] = 0x46;
    ChainRun run;
    Log log(verbosity, nullptr);
    log.capture_to(&run.outer_text);
    chain.run_outer(log);
    log.capture_to(&run.inner_text);
    chain.run_inner(log);
    return run;
}

TEST(TxChain, WritesEachStageTextInChainOrder) {
    TxConfig config;
    config.constellation = kQam16;
    config.code_rate = kRate3_4;
    const ChainRun run = run_one_cycle(config, 3);
    EXPECT_EQ(run.outer_text,
              "Inverting SYNC1 byte ... done.\n"
              "Scrambling ...  done.\n"
              "RS(204, 188) outer encoding ... done.\n"
              "Convolutionally interleaving ... done.\n");
    EXPECT_EQ(run.inner_text,
              "Convolutionally encoding 1/2 ... done.\n"
              "Puncturing to rate 3/4 ... done.\n"
              "Bit interleaving ... done.\n"
              "Symbol interleaving ... done.\n"
              "Mapping to 16QAM ... done.\n"
              "Adding pilots & TPS ... done\n"
              "Guarding, IFFTing & prefixing ... done.\n");
}

// Every packet is checked, not only the first of each group of eight, and
// numbered from 1 at the start of the stream.
TEST(TxChain, WarnsOfEveryUnsyncedPacketInsideTheInversionText) {
    struct Case {
        int verbosity;
        int unsynced_packet;
        std::string outer_text;
    };
    const Case cases[] = {
        {3, 16,
         "Inverting SYNC1 byte ...WARNING: MPEG-2 TS Out of Sync in packet #17\n done.\n"
         "Scrambling ...  done.\nRS(204, 188) outer encoding ... done.\n"
         "Convolutionally interleaving ... done.\n"},
        {1, 8, "WARNING: MPEG-2 TS Out of Sync in packet #9\n"},
        {1, 9, "WARNING: MPEG-2 TS Out of Sync in packet #10\n"},
        {1, 0, "WARNING: MPEG-2 TS Out of Sync in packet #1\n"},
        {0, 16, ""},
    };
    for (const Case& c : cases) {
        const ChainRun run = run_one_cycle(TxConfig{}, c.verbosity, c.unsynced_packet);
        EXPECT_EQ(run.outer_text, c.outer_text)
            << "verbosity " << c.verbosity << " packet " << c.unsynced_packet;
    }
}

TEST(TxChain, OutputIsAtTheInterpolatedRate) {
    const BlockSizes sizes = choose_block_size(TxConfig{});
    for (int32_t factor : {1, 2, 4}) {
        TxChain chain(DvbtSettings{}, factor, sizes);
        EXPECT_EQ(chain.output_samples().size(), static_cast<size_t>(factor) * sizes.sample_count);
        EXPECT_EQ(chain.interpolation_factor(), factor);
    }
}

// Numbers run on across cycles; past ten warnings the rest are counted, and
// the total comes at the end.
TEST(TxChain, NumbersPacketsAcrossCyclesAndCountsBeyondTen) {
    const BlockSizes sizes = choose_block_size(TxConfig{});
    TxChain chain(DvbtSettings{}, 1, sizes);
    std::string text;
    Log log(1, nullptr);
    log.capture_to(&text);
    const int32_t packets = sizes.packets_per_cycle;
    for (int cycle = 0; cycle < 2; ++cycle) {
        std::span<uint8_t> block = chain.input_block();
        for (size_t i = 0; i < block.size(); ++i) block[i] = i % 188 == 0 ? 0x47 : 0;
        // Packets 3 and 60 of each cycle, then twelve in a row in the second.
        block[2 * 188] = block[59 * 188] = 0;
        if (cycle == 1)
            for (int p = 10; p < 22; ++p) block[p * 188] = 0x48;
        chain.run_outer(log);
        chain.run_inner(log);
    }
    chain.report_unsynced_packets(log);
    std::string expected;
    for (int number : {3, 60, packets + 3})
        expected += "WARNING: MPEG-2 TS Out of Sync in packet #" + std::to_string(number) + "\n";
    for (int p = 10; p < 17; ++p)
        expected +=
            "WARNING: MPEG-2 TS Out of Sync in packet #" + std::to_string(packets + p + 1) + "\n";
    expected += "WARNING: further packets out of sync are counted, not listed\n";
    expected +=
        "WARNING: 16 of " + std::to_string(2 * packets) + " MPEG-2 TS packets were out of sync\n";
    EXPECT_EQ(text, expected);
}

// Without the v and p dumps the bits go packed; the cells, and so every
// later stage, are those of the one-byte-per-bit chain over several cycles.
TEST(TxChain, PackedBitsOnlyWithoutBitDumpsAndTheSameCells) {
    struct Case {
        const char* letters;
        bool packed;
    };
    const Case cases[] = {{"", true}, {"ercbsmft", true}, {"v", false}, {"p", false}};
    for (const Case& c : cases) {
        DumpSelection dumps{};
        for (const char* letter = c.letters; *letter; ++letter)
            dumps[std::string(kDumpLetters).find(*letter)] = true;
        TxConfig config;
        config.mode = kMode8k;
        config.constellation = kQam64;
        config.code_rate = kRate7_8;
        const BlockSizes sizes = choose_block_size(config);
        TransformOptions packed_options;
        packed_options.dumps = dumps;
        TxChain chain(dvbt_settings(config), 1, sizes, packed_options);
        TxChain reference(dvbt_settings(config), 1, sizes);
        EXPECT_EQ(chain.packed_bits(), c.packed) << c.letters;
        Log log(0, nullptr);
        for (int cycle = 0; cycle < 2; ++cycle) {
            for (TxChain* run : {&chain, &reference}) {
                std::span<uint8_t> block = run->input_block();
                for (size_t i = 0; i < block.size(); ++i)
                    block[i] = i % 188 == 0 ? 0x47 : static_cast<uint8_t>(i * 7 + cycle);
                run->run_outer(log);
                run->run_inner(log);
            }
            const auto cells = chain.stage_bytes(kDumpBitInterleaver);
            const auto expected = reference.stage_bytes(kDumpBitInterleaver);
            EXPECT_TRUE(std::equal(cells.begin(), cells.end(), expected.begin(), expected.end()))
                << c.letters << " cycle " << cycle;
        }
    }
}

// A stage after interpolation that keeps a copy of the samples it is given
// (split into `tasks` parts as the chain hands them out) and negates them.
class NegatingStage : public SampleStage {
  public:
    explicit NegatingStage(int32_t tasks) : tasks_(tasks) {}
    int32_t task_count(size_t sample_count) const override {
        seen_.resize(sample_count);
        return tasks_;
    }
    void process(std::span<ComplexSample> samples, int32_t task, int32_t tasks) override {
        EXPECT_EQ(tasks, tasks_);
        EXPECT_EQ(samples.size(), seen_.size());
        const size_t first = samples.size() * static_cast<size_t>(task) / tasks;
        const size_t end = samples.size() * static_cast<size_t>(task + 1) / tasks;
        for (size_t i = first; i < end; ++i) {
            seen_[i] = samples[i];
            samples[i] = {-samples[i].re, -samples[i].im};
        }
    }
    const std::vector<ComplexSample>& seen() const { return seen_; }

  private:
    int32_t tasks_;
    mutable std::vector<ComplexSample> seen_;
};

// A stage that takes no task: it must never run.
class IdleStage : public SampleStage {
  public:
    int32_t task_count(size_t) const override { return 0; }
    void process(std::span<ComplexSample>, int32_t, int32_t) override {
        ADD_FAILURE() << "a stage without tasks ran";
    }
};

bool same_samples(std::span<const ComplexSample> a, std::span<const ComplexSample> b,
                  bool negated = false) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const float sign = negated ? -1.0f : 1.0f;
        if (a[i].re != sign * b[i].re || a[i].im != sign * b[i].im) return false;
    }
    return true;
}

void fill_cycle(TxChain& chain, int cycle) {
    std::span<uint8_t> block = chain.input_block();
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = i % 188 == 0 ? 0x47 : static_cast<uint8_t>(i * 13 + cycle);
}

TEST(TxChainBack, RunsTheStagesThatApplyInOrder) {
    struct Case {
        int32_t factor;
        FrequencyMapping mapping;
        int32_t window;
        std::vector<std::shared_ptr<SampleStage>> after;
        std::vector<std::string> names;
    };
    const auto negating = std::make_shared<NegatingStage>(1);
    const auto idle = std::make_shared<IdleStage>();
    const Case cases[] = {
        {1, kZeroIf, 0, {}, {"transform and guard"}},
        {1, kBasebandIf, 4, {}, {"transform and guard", "symbol window"}},
        {2, kZeroIf, 0, {}, {"transform and guard", "interpolation", "interpolator history"}},
        {4,
         kBasebandIf,
         4,
         {idle, negating},
         {"transform and guard", "symbol window", "to zero IF", "interpolation",
          "interpolator history", "up by half the base rate", "after interpolation"}},
        {1, kZeroIf, 0, {negating, idle}, {"transform and guard", "after interpolation"}},
    };
    const BlockSizes sizes = choose_block_size(TxConfig{});
    for (const Case& c : cases) {
        DvbtSettings settings;
        settings.frequency_mapping = c.mapping;
        TxChain chain(settings, c.factor, sizes,
                      TransformOptions{.window_length = c.window, .after_interpolation = c.after});
        const std::vector<const char*> names = chain.back_stage_names();
        EXPECT_EQ(std::vector<std::string>(names.begin(), names.end()), c.names)
            << "factor " << c.factor << " window " << c.window;
    }
}

// Stages in the slot after interpolation see the samples at the output rate
// (after the BB IF shift) in their order, whatever the number of threads,
// cycle after cycle, also when the front of the next cycle overlaps.
TEST(TxChainBack, StagesAfterInterpolationSeeTheOutputSamples) {
    struct Case {
        int32_t factor;
        FrequencyMapping mapping;
        int32_t threads;
        bool overlap;
    };
    const Case cases[] = {
        {1, kZeroIf, 1, false},     {1, kZeroIf, 3, true},     {2, kZeroIf, 1, false},
        {2, kZeroIf, 3, false},     {4, kBasebandIf, 1, true}, {4, kBasebandIf, 3, true},
        {4, kBasebandIf, 3, false},
    };
    TxConfig config;
    config.constellation = kQam16;
    const BlockSizes sizes = choose_block_size(config);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "factor " << c.factor << " threads " << c.threads
                                        << " overlap " << c.overlap);
        DvbtSettings settings = dvbt_settings(config);
        settings.frequency_mapping = c.mapping;
        const auto first = std::make_shared<NegatingStage>(c.threads);
        const auto second = std::make_shared<NegatingStage>(1);
        TxChain chain(settings, c.factor, sizes,
                      TransformOptions{
                          .threads = c.threads,
                          .overlap_cycles = c.overlap,
                          .after_interpolation = {first, std::make_shared<IdleStage>(), second}});
        TxChain reference(settings, c.factor, sizes);
        Log log(0, nullptr);
        constexpr int kCycles = 3;
        fill_cycle(chain, 0);
        chain.run_outer(log);
        chain.run_front(log);
        chain.start_back();
        for (int cycle = 0; cycle < kCycles; ++cycle) {
            fill_cycle(reference, cycle);
            reference.run_outer(log);
            reference.run_inner(log);
            const bool next = cycle + 1 < kCycles;
            if (next && c.overlap) {
                // The front of the next cycle beside the back of this one.
                fill_cycle(chain, cycle + 1);
                chain.run_outer(log);
                chain.run_front(log);
            }
            chain.finish_back(log);
            const std::span<const ComplexSample> expected = reference.output_samples();
            EXPECT_TRUE(same_samples(first->seen(), expected)) << "cycle " << cycle;
            EXPECT_TRUE(same_samples(second->seen(), expected, /*negated=*/true))
                << "cycle " << cycle;
            EXPECT_TRUE(same_samples(chain.output_samples(), expected)) << "cycle " << cycle;
            if (!next) break;
            if (c.overlap) {
                // Held until the samples of this cycle are written.
                chain.start_back(/*hold_output=*/true);
                chain.output_written();
            } else {
                fill_cycle(chain, cycle + 1);
                chain.run_outer(log);
                chain.run_front(log);
                chain.start_back();
            }
        }
    }
}

}  // namespace
}  // namespace terramod
