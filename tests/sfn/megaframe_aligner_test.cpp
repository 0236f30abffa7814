// The mega-frame aligner over streams laid out by hand: null packets, with
// MIPs (made by the codec, their pointer typed in) at chosen places.
#include "sfn/megaframe_aligner.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "tests/io/ts_test_support.h"

namespace terramod {
namespace {

using test::Bytes;
using test::MemoryTsSource;

struct Placed {
    int64_t at;        // packet index in the stream
    uint16_t pointer;  // packets between it and the next mega-frame start
    bool corrupt = false;
};

// `count` null packets, each numbered in its payload, with MIPs at `mips`.
Bytes stream_with(int64_t count, const std::vector<Placed>& mips) {
    Bytes bytes;
    for (int64_t index = 0; index < count; ++index) {
        uint8_t packet[188] = {0x47, 0x1F, 0xFF, 0x10};
        for (int i = 4; i < 188; ++i) packet[i] = static_cast<uint8_t>(index);
        bytes.insert(bytes.end(), packet, packet + 188);
    }
    for (const Placed& placed : mips) {
        Mip mip;
        mip.pointer = placed.pointer;
        mip.sts_100ns = 1234;
        const auto packet = encode_mip(mip, 0);
        EXPECT_TRUE(packet);
        std::copy(packet->begin(), packet->end(), bytes.begin() + placed.at * 188);
        if (placed.corrupt) bytes[placed.at * 188 + 20] ^= 0x01;
    }
    return bytes;
}

TEST(MegaframeAligner, SkipsToTheStartAndChecksEachMip) {
    // Mega-frames of 10 packets once aligned.
    struct Case {
        const char* name;
        std::vector<Placed> mips;
        int64_t limit;
        std::optional<int64_t> skipped;  // none: refused
        int64_t in_place, bad, misplaced, losses;
    };
    const Case cases[] = {
        // MIP at 3 points 4 packets on: the start is packet 8; after it, MIPs
        // at 8+2 (-> 8+10), 8+15 (-> 8+20), 8+21 (-> 8+30).
        {"aligned", {{3, 4}, {10, 7}, {23, 4}, {29, 8}}, 100, 8, 3, 0, 0, 0},
        // The first MIP's CRC is broken: the next one is taken.
        {"bad first", {{1, 5, true}, {4, 2}, {10, 6}}, 100, 7, 1, 1, 0, 0},
        // Start at 1; a misplaced MIP (1+5 -> 1+5+3+1 = 1+9), then the one
        // of mega-frame 2 (1+24 -> 1+30): mega-frames 0 and 1 had none.
        {"misplaced and lost", {{0, 0}, {6, 3}, {25, 5}}, 100, 1, 1, 0, 1, 2},
        // No MIP within the limit.
        {"none in time", {{30, 0}}, 20, std::nullopt, 0, 0, 0, 0},
        {"none at all", {}, 100, std::nullopt, 0, 0, 0, 0},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        MemoryTsSource input(stream_with(40, test.mips));
        Log log(0, nullptr);
        MegaframeAligner aligner(input, log);
        const std::optional<Mip> first = aligner.find_start(test.limit);
        ASSERT_EQ(first.has_value(), test.skipped.has_value());
        if (!first) continue;
        EXPECT_EQ(aligner.packets_skipped(), *test.skipped);
        aligner.set_megaframe_packets(10);
        Bytes rest(static_cast<size_t>(40 - *test.skipped) * 188);
        ASSERT_EQ(aligner.read_packets(rest), rest.size());
        // The first packet handed out is the stream's packet at the start.
        EXPECT_EQ(rest[4], static_cast<uint8_t>(*test.skipped));
        EXPECT_EQ(static_cast<int64_t>(aligner.take_mips().size()), test.in_place);
        EXPECT_EQ(aligner.mips_in_place(), test.in_place);
        EXPECT_EQ(aligner.bad_mips(), test.bad);
        EXPECT_EQ(aligner.misplaced_mips(), test.misplaced);
        EXPECT_EQ(aligner.mip_losses(), test.losses);
        EXPECT_EQ(aligner.known_length(), uint64_t{188} * (40 - *test.skipped));
    }
}

}  // namespace
}  // namespace terramod
