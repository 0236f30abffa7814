// The three outer stages in the order the cycle loop runs them.
#include <gtest/gtest.h>

#include <vector>

#include "outer/energy_dispersal.h"
#include "outer/outer_interleaver.h"
#include "outer/reed_solomon.h"
#include "outer_test_support.h"

namespace terramod {
namespace {

using test::kCodeword;
using test::kPacket;

struct ChainOutput {
    std::vector<uint8_t> dispersed, encoded, interleaved;
    bool operator==(const ChainOutput&) const = default;
};

ChainOutput run_chain(const std::vector<uint8_t>& stream, int32_t packets_per_cycle,
                      InterleaverInit init) {
    EnergyDispersal dispersal;
    ReedSolomonEncoder encoder;
    OuterInterleaver interleaver(init);
    // Buffers allocated once, as the driver does.
    std::vector<uint8_t> ts_buffer(packets_per_cycle * kPacket);
    std::vector<uint8_t> rs_buffer(packets_per_cycle * kCodeword);
    std::vector<uint8_t> outer_interleaved_buffer(rs_buffer.size());
    ChainOutput out;
    const int32_t packets = static_cast<int32_t>(stream.size() / kPacket);
    for (int32_t first = 0; first < packets; first += packets_per_cycle) {
        const int32_t count = std::min(packets_per_cycle, packets - first);
        const int32_t ts_bytes = count * kPacket, rs_bytes = count * kCodeword;
        std::copy_n(stream.begin() + first * kPacket, ts_bytes, ts_buffer.begin());
        dispersal.sync_invert(std::span(ts_buffer.data(), ts_bytes));
        dispersal.process(std::span(ts_buffer.data(), ts_bytes));
        encoder.process(std::span(ts_buffer.data(), ts_bytes), rs_buffer);
        interleaver.process(std::span(rs_buffer.data(), rs_bytes), outer_interleaved_buffer);
        out.dispersed.insert(out.dispersed.end(), ts_buffer.begin(), ts_buffer.begin() + ts_bytes);
        out.encoded.insert(out.encoded.end(), rs_buffer.begin(), rs_buffer.begin() + rs_bytes);
        out.interleaved.insert(out.interleaved.end(), outer_interleaved_buffer.begin(),
                               outer_interleaved_buffer.begin() + rs_bytes);
    }
    return out;
}

TEST(OuterChain, CycleSizeDoesNotChangeAnyStage) {
    const std::vector<uint8_t> stream = test::random_stream(168, 77);
    for (InterleaverInit init : {kInitZero, kInitRand}) {
        const ChainOutput whole = run_chain(stream, 168, init);
        for (int32_t packets : {1, 3, 7, 8, 13, 16, 21}) {
            const ChainOutput split = run_chain(stream, packets, init);
            EXPECT_TRUE(split.dispersed == whole.dispersed) << packets << " packets, e";
            EXPECT_TRUE(split.encoded == whole.encoded) << packets << " packets, r";
            EXPECT_TRUE(split.interleaved == whole.interleaved) << packets << " packets, c";
        }
        // Every codeword's sync byte leaves the interleaver undelayed.
        for (size_t n = 0; n < whole.encoded.size(); n += kCodeword) {
            ASSERT_EQ(whole.interleaved[n], (n / kCodeword) % 8 == 0 ? 0xB8 : 0x47) << n;
        }
    }
}

}  // namespace
}  // namespace terramod
