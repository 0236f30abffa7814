#include "outer/outer_interleaver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "outer_test_support.h"

namespace terramod {
namespace {

using test::kCodeword;

std::vector<uint8_t> interleave_in_blocks(const std::vector<uint8_t>& input, size_t block_bytes,
                                          InterleaverInit init) {
    OuterInterleaver stage(init);
    std::vector<uint8_t> output(input.size());
    for (size_t start = 0; start < input.size(); start += block_bytes) {
        const auto length = static_cast<int32_t>(std::min(block_bytes, input.size() - start));
        stage.process(std::span(input.data() + start, length),
                      std::span(output.data() + start, length));
    }
    return output;
}

TEST(OuterInterleaver, RandomFillValues) {
    OuterInterleaver stage(kInitRand);
    const std::vector<uint8_t> first = {0x29, 0x23, 0xBE, 0x84, 0xE1, 0x6C,
                                        0xD6, 0xAE, 0x52, 0x90, 0x49, 0xF1};
    const auto branch1 = stage.branch_memory(1);
    EXPECT_EQ(std::vector<uint8_t>(branch1.begin(), branch1.begin() + 12), first);
    EXPECT_EQ(stage.branch_memory(2)[0], 0xA6);
    std::vector<uint8_t> input(2 * kCodeword, 0x00), output(input.size());
    stage.process(input, output);
    EXPECT_EQ(output[1], 0x29);
    EXPECT_EQ(output[13], 0x23);
    EXPECT_EQ(output[2], 0xA6);
}

TEST(OuterInterleaver, ImpulsesLeaveAtTheirDelay) {
    std::vector<uint8_t> input(12 * kCodeword, 0);
    input[1] = 0x11;
    input[11] = 0xBB;
    const std::vector<uint8_t> output = interleave_in_blocks(input, input.size(), kInitZero);
    for (size_t n = 0; n < output.size(); ++n) {
        const uint8_t expected = n == 205 ? 0x11 : n == 2255 ? 0xBB : 0;
        ASSERT_EQ(output[n], expected) << "output byte " << n;
    }
}

// Output byte n = 12 q + j is input byte n - 204 j when q >= 17 j, otherwise
// byte q of branch j's initial fill; sync bytes leave undelayed.
TEST(OuterInterleaver, ContinuousStreamDelayRule) {
    for (InterleaverInit init : {kInitZero, kInitRand}) {
        const OuterInterleaver fresh(init);
        const std::vector<uint8_t> input = test::random_bytes(40 * kCodeword, 21);
        const std::vector<uint8_t> output = interleave_in_blocks(input, 3 * kCodeword, init);
        for (size_t n = 0; n < output.size(); ++n) {
            const size_t q = n / 12, j = n % 12;
            const uint8_t expected =
                q >= 17 * j ? input[n - 204 * j] : fresh.branch_memory(static_cast<int32_t>(j))[q];
            ASSERT_EQ(output[n], expected) << "init " << init << " byte " << n;
        }
        for (size_t n = 0; n < output.size(); n += kCodeword) ASSERT_EQ(output[n], input[n]);
    }
}

TEST(OuterInterleaver, AnyBlockSplitGivesTheSameStream) {
    const std::vector<uint8_t> input = test::random_bytes(168 * kCodeword, 33);
    for (InterleaverInit init : {kInitZero, kInitRand}) {
        const std::vector<uint8_t> whole = interleave_in_blocks(input, input.size(), init);
        for (int codewords : {1, 3, 7, 8, 13, 16, 21}) {
            EXPECT_EQ(interleave_in_blocks(input, codewords * kCodeword, init), whole)
                << codewords << " codewords per block";
        }
        // Blocks that end inside a group of 12, outside the driver's contract.
        for (size_t bytes : {1u, 5u, 13u, 205u, 1000u}) {
            EXPECT_EQ(interleave_in_blocks(input, bytes, init), whole) << bytes << " bytes";
        }
    }
}

}  // namespace
}  // namespace terramod
