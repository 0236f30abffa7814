// The packed-bit path of the encoder, the puncturer and the bit interleaver
// against the bit-by-bit oracles, in blocks of every kind of size: packed
// bits must be exactly the oracle's bits, and the cells the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "inner/bit_interleaver.h"
#include "inner/conv_encoder.h"
#include "tests/inner/reference_inner.h"

namespace terramod {
namespace {

std::vector<uint8_t> random_bytes(size_t count, uint32_t seed) {
    std::mt19937 generator(seed);
    std::vector<uint8_t> bytes(count);
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(generator());
    return bytes;
}

// One byte per bit -> eight bits to a byte, the first the most significant
// (a last partial byte padded with zeros).
std::vector<uint8_t> pack(const std::vector<uint8_t>& bits) {
    std::vector<uint8_t> packed((bits.size() + 7) / 8, 0);
    for (size_t i = 0; i < bits.size(); ++i)
        packed[i / 8] |= static_cast<uint8_t>(bits[i] << (7 - i % 8));
    return packed;
}

// Block sizes in bytes, cycled: empty calls, single bytes, odd lengths.
const std::vector<std::vector<size_t>> kSplits = {
    {1 << 20}, {1}, {0, 3, 1, 14, 0, 7}, {5, 13, 64}, {999}};

TEST(PackedBitsTest, EncoderGivesTheReferenceBitsPacked) {
    const auto input = random_bytes(1500, 3);
    reference::Encoder reference;
    const auto expected = pack(reference.encode(input));
    for (const auto& split : kSplits) {
        ConvEncoder encoder;
        encoder.reset();
        std::vector<uint8_t> packed(2 * input.size(), 0xEE);
        for (size_t done = 0, b = 0; done < input.size(); ++b) {
            const size_t size = std::min(split[b % split.size()], input.size() - done);
            encoder.process_packed(std::span(input).subspan(done, size),
                                   std::span(packed).subspan(2 * done, 2 * size));
            done += size;
        }
        EXPECT_EQ(packed, expected) << "first block " << split[0];
    }
}

TEST(PackedBitsTest, PuncturerGivesTheReferenceBitsPackedAtEveryRate) {
    const auto coded = random_bytes(2 * 1400, 4);  // 22400 coded bits
    std::vector<uint8_t> coded_bits;
    for (uint8_t byte : coded)
        for (int n = 7; n >= 0; --n) coded_bits.push_back((byte >> n) & 1);
    for (int rate = kRate1_2; rate <= kRate7_8; ++rate) {
        reference::Puncturer reference{static_cast<CodeRate>(rate)};
        const auto expected_bits = reference.puncture(coded_bits);
        for (const auto& split : kSplits) {
            Puncturer puncturer(static_cast<CodeRate>(rate));
            puncturer.reset();
            std::vector<uint8_t> packed(coded.size(), 0xEE);
            size_t written = 0;
            for (size_t done = 0, b = 0; done < coded.size(); ++b) {
                const size_t size = std::min(split[b % split.size()], coded.size() - done);
                const int32_t bits = puncturer.process_packed(
                    std::span(coded).subspan(done, size), std::span(packed).subspan(written / 8));
                ASSERT_EQ(bits % 8, 0);
                written += bits;
                done += size;
            }
            // Whole bytes out, the rest waiting in the puncturer.
            EXPECT_EQ(written + puncturer.pending_bit_count(), expected_bits.size());
            packed.resize(written / 8);
            std::vector<uint8_t> expected_whole(expected_bits.begin(),
                                                expected_bits.begin() + written);
            EXPECT_EQ(packed, pack(expected_whole)) << "rate " << rate << " first " << split[0];
            EXPECT_EQ(puncturer.puncture_index(),
                      static_cast<int32_t>(coded_bits.size() %
                                           reference::period_of(static_cast<CodeRate>(rate))));
        }
    }
}

// Whole blocks from any bit position (a QPSK block is 31.5 bytes), in calls
// of one block and more.
TEST(PackedBitsTest, BitInterleaverGivesTheReferenceCellsFromPackedBits) {
    for (int constellation = kQpsk; constellation <= kQam64; ++constellation) {
        const auto c = static_cast<Constellation>(constellation);
        const size_t block_bits = 126 * bits_per_cell[c];
        const size_t blocks = 9;
        std::vector<uint8_t> bits;
        for (uint8_t byte : random_bytes(block_bits * blocks / 8 + 1, 5 + constellation))
            for (int n = 7; n >= 0; --n) bits.push_back((byte >> n) & 1);
        bits.resize(block_bits * blocks);
        const auto expected = reference::bit_interleave(c, bits);
        for (size_t first_bit : {0, 3, 7}) {
            std::vector<uint8_t> shifted(first_bit, 1);
            shifted.insert(shifted.end(), bits.begin(), bits.end());
            const auto packed = pack(shifted);
            for (size_t per_call : {1, 2, 9}) {
                BitInterleaver interleaver(c);
                std::vector<uint8_t> cells(126 * blocks, 0xEE);
                for (size_t block = 0; block < blocks; block += per_call) {
                    const size_t count = std::min(per_call, blocks - block);
                    interleaver.process_packed(packed, first_bit + block * block_bits,
                                               std::span(cells).subspan(126 * block, 126 * count));
                }
                EXPECT_EQ(cells, expected) << "constellation " << constellation << " first bit "
                                           << first_bit << " blocks per call " << per_call;
            }
        }
    }
}

// The three packed stages chained over several cycles at every rate and
// constellation give the cells of the one-byte-per-bit chain.
TEST(PackedBitsTest, PackedChainGivesTheUnpackedCells) {
    for (int rate = kRate1_2; rate <= kRate7_8; ++rate) {
        for (int constellation = kQpsk; constellation <= kQam64; ++constellation) {
            const auto r = static_cast<CodeRate>(rate);
            const auto c = static_cast<Constellation>(constellation);
            static const int kNumerator[] = {1, 2, 3, 5, 7};
            static const int kDenominator[] = {2, 3, 4, 6, 8};
            // Four 2k symbols: whole bytes and whole puncturing periods at
            // every rate, as the driver's cycles are.
            const size_t cells = 1512 * 4;
            const size_t punctured_bits = cells * bits_per_cell[c];
            const size_t bytes = punctured_bits * kNumerator[r] / kDenominator[r] / 8;
            ConvEncoder plain_encoder, packed_encoder;
            Puncturer plain_puncturer(r), packed_puncturer(r);
            BitInterleaver plain_interleaver(c), packed_interleaver(c);
            std::vector<uint8_t> coded(16 * bytes), punctured(punctured_bits);
            std::vector<uint8_t> coded_packed(2 * bytes), punctured_packed(punctured_bits / 8);
            std::vector<uint8_t> plain_cells(cells), packed_cells(cells);
            for (uint32_t cycle = 0; cycle < 3; ++cycle) {
                const auto input = random_bytes(bytes, 100 * rate + 10 * constellation + cycle);
                plain_encoder.process(input, coded);
                plain_puncturer.process(coded, punctured);
                plain_interleaver.process(punctured, plain_cells);
                packed_encoder.process_packed(input, coded_packed);
                EXPECT_EQ(packed_puncturer.process_packed(coded_packed, punctured_packed),
                          static_cast<int32_t>(punctured_bits));
                packed_interleaver.process_packed(punctured_packed, 0, packed_cells);
                EXPECT_EQ(packed_cells, plain_cells)
                    << "rate " << rate << " constellation " << constellation << " cycle " << cycle;
            }
        }
    }
}

}  // namespace
}  // namespace terramod
