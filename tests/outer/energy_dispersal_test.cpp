#include "outer/energy_dispersal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "outer_test_support.h"

namespace terramod {
namespace {

using test::kPacket;

// Both passes, as the main loop runs them, over the stream in blocks of
// block_bytes bytes (the last block may be shorter).
std::vector<uint8_t> disperse_in_blocks(std::vector<uint8_t> stream, size_t block_bytes) {
    EnergyDispersal stage;
    for (size_t start = 0; start < stream.size(); start += block_bytes) {
        const std::span<uint8_t> block(stream.data() + start,
                                       std::min(block_bytes, stream.size() - start));
        stage.sync_invert(block);
        stage.process(block);
    }
    return stream;
}

TEST(EnergyDispersal, PrbsTableStartAndSyncSlots) {
    const auto& prbs = EnergyDispersal::prbs_table();
    const std::vector<uint8_t> start = {0x03, 0xF6, 0x08, 0x34, 0x30, 0xB8, 0xA3, 0x93};
    EXPECT_EQ(std::vector<uint8_t>(prbs.begin(), prbs.begin() + 8), start);
    const int slots[] = {187, 375, 563, 751, 939, 1127, 1315};
    const uint8_t slot_values[] = {0x9D, 0x8D, 0xF8, 0xF8, 0xC9, 0x1F, 0x03};
    for (int r = 0; r < 7; ++r) EXPECT_EQ(prbs[slots[r]], slot_values[r]) << "packet " << r + 1;
}

// For the continuous stream: sync bytes of packets 0, 8, 16 ... are 0xB8,
// the others pass; byte b of packet p is XORed with entry 188 (p mod 8) + b - 1.
TEST(EnergyDispersal, RandomStreamFollowsTheGroupRule) {
    const std::vector<uint8_t> stream = test::random_stream(40, 7);
    const std::vector<uint8_t> out = disperse_in_blocks(stream, stream.size());
    const auto& prbs = EnergyDispersal::prbs_table();
    for (int p = 0; p < 40; ++p) {
        EXPECT_EQ(out[p * kPacket], p % 8 == 0 ? 0xB8 : 0x47) << "packet " << p;
        for (int b = 1; b < kPacket; ++b) {
            const size_t n = static_cast<size_t>(p) * kPacket + b;
            ASSERT_EQ(out[n], stream[n] ^ prbs[188 * (p % 8) + b - 1])
                << "packet " << p << " byte " << b;
        }
    }
}

TEST(EnergyDispersal, AnyBlockSplitGivesTheSameStream) {
    const std::vector<uint8_t> stream = test::random_stream(168, 11);
    const std::vector<uint8_t> whole = disperse_in_blocks(stream, stream.size());
    for (int packets : {1, 3, 7, 8, 13, 16, 21}) {
        EXPECT_EQ(disperse_in_blocks(stream, static_cast<size_t>(packets) * kPacket), whole)
            << packets << " packets per block";
    }
    // Blocks that end inside a packet: outside the driver's contract, but the
    // stream must stay the same and the PRBS index in range.
    for (size_t bytes : {1u, 100u, 187u, 189u, 1000u, 1505u}) {
        EXPECT_EQ(disperse_in_blocks(stream, bytes), whole) << bytes << " bytes per block";
    }
}

TEST(EnergyDispersal, ReportsUnsyncedGroupStarts) {
    // Blocks of 13 packets: stream packet 16 is packet 3 of block 1.
    std::vector<uint8_t> stream = test::random_stream(26, 3);
    stream[16 * kPacket] = 0x00;                    // group start: warned, inverted all the same
    stream[17 * kPacket] = 0x00;                    // packet 1 of its group: passes unchanged
    std::vector<std::pair<int, int32_t>> unsynced;  // block, packet within it
    EnergyDispersal stage;
    std::vector<uint8_t> out = stream;
    for (int b = 0; b < 2; ++b) {
        const std::span<uint8_t> block(out.data() + b * 13 * kPacket, 13 * kPacket);
        stage.sync_invert(block, [&](int32_t packet) { unsynced.emplace_back(b, packet); });
        stage.process(block, [&](int32_t group) { unsynced.emplace_back(-1, group); });
    }
    EXPECT_EQ(unsynced, (std::vector<std::pair<int, int32_t>>{{1, 3}}));
    EXPECT_EQ(out[17 * kPacket], 0x00);
    stream[16 * kPacket] = 0x47;
    stream[17 * kPacket] = 0x00;
    EXPECT_EQ(out, disperse_in_blocks(stream, stream.size()));
}

TEST(EnergyDispersal, GroupStartNotInvertedWarnsAndRestartsPrbs) {
    // process alone: the group starts still hold 0x47.
    std::vector<uint8_t> block(16 * kPacket, 0);
    for (int p = 0; p < 16; ++p) block[p * kPacket] = 0x47;
    std::vector<int32_t> unsynced_groups;
    EnergyDispersal stage;
    stage.process(block, [&](int32_t group) { unsynced_groups.push_back(group); });
    EXPECT_EQ(unsynced_groups, (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(block[0], 0x47);
    EXPECT_EQ(block[8 * kPacket], 0x47);
    EXPECT_EQ(block[8 * kPacket + 1], 0x03);
    EXPECT_EQ(stage.prbs_index(), 0);
}

}  // namespace
}  // namespace terramod
