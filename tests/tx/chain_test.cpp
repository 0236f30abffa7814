// The chain's progress texts, in stage order, and the synchronisation
// warnings it relays from the energy dispersal.
#include "tx/chain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

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

}  // namespace
}  // namespace terramod
