#include "inner/conv_encoder.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/inner/reference_inner.h"

namespace terramod {
namespace {

std::vector<uint8_t> random_bytes(size_t count, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(count);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    return bytes;
}

std::vector<uint8_t> random_bits(size_t count, uint32_t seed) {
    std::vector<uint8_t> bits = random_bytes(count, seed);
    for (auto& b : bits) b &= 1;
    return bits;
}

std::vector<uint8_t> encode(ConvEncoder& encoder, const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> out(bytes.size() * 16, 0xAA);
    encoder.process(bytes, out);
    return out;
}

std::vector<uint8_t> puncture(Puncturer& puncturer, const std::vector<uint8_t>& bits) {
    std::vector<uint8_t> out(bits.size() + 16, 0xAA);
    int32_t written = puncturer.process(bits, out);
    out.resize(static_cast<size_t>(written));
    return out;
}

const CodeRate kAllRates[] = {kRate1_2, kRate2_3, kRate3_4, kRate5_6, kRate7_8};

TEST(ConvEncoder, ImpulseGivesTheGeneratorTaps) {
    ConvEncoder encoder;
    encoder.reset();
    std::vector<uint8_t> out = encode(encoder, {0x80, 0x00, 0x00});
    const std::vector<uint8_t> first_byte = {1, 1, 1, 0, 1, 1, 1, 1, 0, 0, 0, 1, 1, 1, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 16), first_byte);
    // X = 1 1 1 1 0 0 1 (171 octal), Y = 1 0 1 1 0 1 1 (133 octal), then zeros.
    const std::vector<int> x = {1, 1, 1, 1, 0, 0, 1, 0, 0};
    const std::vector<int> y = {1, 0, 1, 1, 0, 1, 1, 0, 0};
    for (size_t t = 0; t < x.size(); ++t) {
        EXPECT_EQ(out[2 * t], x[t]) << "X" << t;
        EXPECT_EQ(out[2 * t + 1], y[t]) << "Y" << t;
    }
    for (size_t i = 14; i < out.size(); ++i) EXPECT_EQ(out[i], 0) << i;
}

TEST(ConvEncoder, ZeroInputGivesZeroOutputAndResetClearsTheRegister) {
    ConvEncoder encoder;
    encoder.reset();
    encode(encoder, {0xFF});
    encoder.reset();
    EXPECT_EQ(encode(encoder, std::vector<uint8_t>(40, 0)), std::vector<uint8_t>(640, 0));
}

TEST(ConvEncoder, MatchesTheBitwiseEncoderOnRandomStreamsSplitAnywhere) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 20; ++trial) {
        std::vector<uint8_t> bytes = random_bytes(3000 + trial * 17, 100 + trial);
        reference::Encoder oracle;
        std::vector<uint8_t> expected = oracle.encode(bytes);

        ConvEncoder encoder;
        encoder.reset();
        std::vector<uint8_t> got;
        size_t at = 0;
        while (at < bytes.size()) {
            size_t size = std::min<size_t>(rng() % 300, bytes.size() - at);  // 0 included
            std::vector<uint8_t> part(bytes.begin() + at, bytes.begin() + at + size);
            std::vector<uint8_t> out = encode(encoder, part);
            got.insert(got.end(), out.begin(), out.end());
            at += size;
        }
        ASSERT_EQ(got, expected) << "trial " << trial;
    }
}

TEST(ConvEncoder, RegisterHoldsThePastInputBitsLatestInBitZero) {
    ConvEncoder encoder;
    encoder.reset();
    encode(encoder, {0x80, 0x01});
    EXPECT_EQ(encoder.encoder_register() & 0xFFFF, 0x8001u);
}

TEST(Puncturer, RateOneHalfPassesEverything) {
    Puncturer puncturer(kRate1_2);
    puncturer.reset();
    std::vector<uint8_t> bits = random_bits(1001, 3);
    EXPECT_EQ(puncture(puncturer, bits), bits);
}

TEST(Puncturer, TwoThirdsDropsEveryThirdOfFourBits) {
    Puncturer puncturer(kRate2_3);
    puncturer.reset();
    // b0 b1 b2 b3 b4 b5 b6 b7 -> b0 b1 b3 b4 b5 b7; each input byte holds its
    // own position so that the selection is visible.
    std::vector<uint8_t> positions = {0, 1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(puncture(puncturer, positions), (std::vector<uint8_t>{0, 1, 3, 4, 5, 7}));
}

TEST(Puncturer, SevenEighthsSendsEightOfFourteen) {
    Puncturer puncturer(kRate7_8);
    puncturer.reset();
    std::vector<uint8_t> positions(28);
    for (size_t i = 0; i < positions.size(); ++i) positions[i] = static_cast<uint8_t>(i);
    // X1 Y1 Y2 Y3 Y4 X5 Y6 X7 per period of 14.
    EXPECT_EQ(puncture(puncturer, positions),
              (std::vector<uint8_t>{0, 1, 3, 5, 7, 8, 11, 12, 14, 15, 17, 19, 21, 22, 25, 26}));
}

TEST(Puncturer, MatchesTheOracleAtEveryRateWhateverTheCallSizes) {
    std::mt19937 rng(11);
    for (CodeRate rate : kAllRates) {
        for (int trial = 0; trial < 10; ++trial) {
            std::vector<uint8_t> bits = random_bits(5000 + trial * 13, rate * 100 + trial);
            reference::Puncturer oracle{rate};
            std::vector<uint8_t> expected = oracle.puncture(bits);

            Puncturer puncturer(rate);
            puncturer.reset();
            std::vector<uint8_t> got;
            size_t at = 0;
            while (at < bits.size()) {
                // Sizes that are mostly not multiples of the period, so calls
                // end mid-period; a few below one period.
                size_t size =
                    std::min<size_t>(trial % 3 == 0 ? rng() % 13 : rng() % 400, bits.size() - at);
                std::vector<uint8_t> part(bits.begin() + at, bits.begin() + at + size);
                std::vector<uint8_t> out = puncture(puncturer, part);
                got.insert(got.end(), out.begin(), out.end());
                at += size;
            }
            ASSERT_EQ(got, expected) << kCodeRateNames[rate] << " trial " << trial;
        }
    }
}

TEST(Puncturer, CarriesItsPatternPositionAcrossCalls) {
    Puncturer puncturer(kRate7_8);
    puncturer.reset();
    EXPECT_EQ(puncture(puncturer, {0, 1, 2, 3, 4}), (std::vector<uint8_t>{0, 1, 3}));
    EXPECT_EQ(puncturer.puncture_index(), 5);
    // Ends the open period, one whole period, and opens the next.
    std::vector<uint8_t> next(9 + 14 + 4);
    for (size_t i = 0; i < next.size(); ++i) next[i] = static_cast<uint8_t>(5 + i);
    EXPECT_EQ(puncture(puncturer, next),
              (std::vector<uint8_t>{5, 7, 8, 11, 12, 14, 15, 17, 19, 21, 22, 25, 26, 28, 29, 31}));
    EXPECT_EQ(puncturer.puncture_index(), 4);
}

TEST(Puncturer, ResetRestartsThePattern) {
    Puncturer puncturer(kRate3_4);
    puncturer.reset();
    puncture(puncturer, {0, 1, 2});
    puncturer.reset();
    EXPECT_EQ(puncture(puncturer, {0, 1, 2, 3, 4, 5}), (std::vector<uint8_t>{0, 1, 3, 4}));
}

// Calls outside the driver's sizing: an empty call (null buffers, as an idle
// stage may be handed) writes nothing at every rate and leaves the pattern
// position alone.
TEST(Puncturer, EmptyCallWritesNothing) {
    for (CodeRate rate : kAllRates) {
        Puncturer puncturer(rate);
        puncturer.reset();
        EXPECT_EQ(puncturer.process({}, {}), 0) << kCodeRateNames[rate];
        const std::vector<uint8_t> input(64, 1);
        std::vector<uint8_t> output(64, 0xAA);
        EXPECT_EQ(puncturer.process(std::span(input.data(), 0), output), 0);
        EXPECT_EQ(output, std::vector<uint8_t>(64, 0xAA)) << kCodeRateNames[rate];
        EXPECT_EQ(puncturer.puncture_index(), 0);
    }
}

TEST(Puncturer, RejectsAnUnknownRate) {
    EXPECT_THROW(Puncturer(static_cast<CodeRate>(5)), std::invalid_argument);
}

}  // namespace
}  // namespace terramod
