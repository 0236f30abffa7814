#include "inner/conv_encoder.h"

#include <array>
#include <stdexcept>

namespace terramod {
namespace {

// XOR of the eight bits of each byte value.
const uint8_t* parity_table() {
    static const auto table = [] {
        std::array<uint8_t, 256> parity{};
        for (int value = 0; value < 256; ++value) {
            int bits = value;
            bits ^= bits >> 4;
            bits ^= bits >> 2;
            bits ^= bits >> 1;
            parity[value] = static_cast<uint8_t>(bits & 1);
        }
        return parity;
    }();
    return table.data();
}

constexpr uint32_t kXTaps = 0x4F;  // G1 = 171 octal
constexpr uint32_t kYTaps = 0x6D;  // G2 = 133 octal

constexpr int32_t puncture_period[5] = {2, 4, 6, 10, 14};
constexpr int32_t puncture_pattern[5][14] = {
    {1, 1},
    {1, 1, 0, 1},
    {1, 1, 0, 1, 1, 0},
    {1, 1, 0, 1, 1, 0, 0, 1, 1, 0},
    {1, 1, 0, 1, 0, 1, 0, 1, 1, 0, 0, 1, 1, 0},
};

}  // namespace

ConvEncoder::ConvEncoder(Log& log) : log_(log) {}

void ConvEncoder::conv_encoder_reset() {
    encoder_register_ = 0;
}

void ConvEncoder::conv_encode(const uint8_t* input, uint8_t* output, int32_t length) {
    log_.write(3, "Convolutionally encoding 1/2 ... ");
    const uint8_t* parity = parity_table();
    for (int32_t i = 0; i < length; ++i) {
        for (int n = 7; n >= 0; --n) {
            encoder_register_ = (encoder_register_ << 1) | ((input[i] >> n) & 1u);
            *output++ = parity[encoder_register_ & kXTaps];
            *output++ = parity[encoder_register_ & kYTaps];
        }
    }
    log_.write(3, "done.\n");
}

Puncturer::Puncturer(Log& log, CodeRate rate) : log_(log), rate_(rate) {
    if (rate < kRate1_2 || rate > kRate7_8) throw std::invalid_argument("unknown code rate");
}

void Puncturer::puncturer_reset() {
    puncture_index_ = 0;
}

int32_t Puncturer::puncture(const uint8_t* input, uint8_t* output, int32_t length) {
    log_.write(3, "Puncturing to rate %s ...", kCodeRateNames[rate_]);
    int32_t written = 0;
    for (int32_t i = 0; i < length; ++i) {
        int32_t flag = puncture_pattern[rate_][puncture_index_++];
        if (flag == 1) output[written++] = input[i];
        if (puncture_index_ == puncture_period[rate_]) puncture_index_ = 0;
    }
    log_.write(3, " done.\n");
    return written;
}

}  // namespace terramod
