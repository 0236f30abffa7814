#include "outer/reed_solomon.h"

namespace terramod {

namespace {

// Coefficient flags of p(x) = x^8 + x^4 + x^3 + x^2 + 1, x^0 to x^8.
constexpr std::array<int32_t, 9> rs_field_poly = {1, 0, 1, 1, 1, 0, 0, 0, 1};

}  // namespace

ReedSolomonEncoder::ReedSolomonEncoder(Log& log) : log_(log) {
    rs_build_field();
    rs_build_generator();
}

int32_t ReedSolomonEncoder::gf_mod255(int32_t x) {
    while (x >= 255) {
        x -= 255;
        x = (x >> 8) + (x & 255);
    }
    return x;
}

void ReedSolomonEncoder::rs_build_field() {
    int32_t v = 1;
    gf_antilog_[8] = 0;
    for (int32_t e = 0; e < 8; ++e) {
        gf_antilog_[e] = v;
        gf_log_[v] = e;
        if (rs_field_poly[e] == 1) gf_antilog_[8] ^= v;
        v <<= 1;
    }
    gf_log_[gf_antilog_[8]] = 8;
    for (int32_t e = 9; e < 255; ++e) {
        const int32_t prev = gf_antilog_[e - 1];
        gf_antilog_[e] = prev >= 0x80 ? gf_antilog_[8] ^ ((prev ^ 0x80) << 1) : prev << 1;
        gf_log_[gf_antilog_[e]] = e;
    }
    gf_log_[0] = kZeroLog;
    gf_antilog_[255] = 0;
}

void ReedSolomonEncoder::rs_build_generator() {
    // g(x) = (x + lambda^0)(x + lambda^1) ... (x + lambda^15), as field
    // elements first.
    std::array<int32_t, 17> g{};
    g[0] = gf_antilog_[0];
    g[1] = 1;
    for (int32_t i = 2; i <= 16; ++i) {
        g[i] = 1;
        for (int32_t j = i - 1; j >= 1; --j) {
            g[j] = g[j] != 0 ? g[j - 1] ^ gf_antilog_[gf_mod255(gf_log_[g[j]] + i - 1)] : g[j - 1];
        }
        g[0] = gf_antilog_[gf_mod255(gf_log_[g[0]] + i - 1)];
    }
    for (int32_t k = 0; k <= 16; ++k) rs_generator_[k] = gf_log_[g[k]];
}

void ReedSolomonEncoder::rs_encode_block(const uint8_t* message, uint8_t* parity) const {
    for (int32_t j = 0; j < kParityLength; ++j) parity[j] = 0;
    for (int32_t i = kMessageLength - 1; i >= 0; --i) {
        const int32_t fb = gf_log_[message[i] ^ parity[15]];
        if (fb != kZeroLog) {
            for (int32_t j = 15; j >= 1; --j) {
                parity[j] = rs_generator_[j] != kZeroLog
                                ? static_cast<uint8_t>(
                                      parity[j - 1] ^ gf_antilog_[gf_mod255(rs_generator_[j] + fb)])
                                : parity[j - 1];
            }
            parity[0] = static_cast<uint8_t>(gf_antilog_[gf_mod255(rs_generator_[0] + fb)]);
        } else {
            for (int32_t j = 15; j >= 1; --j) parity[j] = parity[j - 1];
            parity[0] = 0;
        }
    }
}

void ReedSolomonEncoder::rs_encode_packets(const uint8_t* input, uint8_t* output, int32_t length) {
    log_.write(3, "RS(204, 188) outer encoding ... ");
    // Only whole packets are encoded: a trailing partial packet would make
    // the message read past the input.
    for (int32_t p = 0, n = 0; p + kPacketLength <= length; p += kPacketLength, ++n) {
        for (int32_t k = 0; k < kPacketLength; ++k) rs_message_[187 - k] = input[p + k];
        rs_encode_block(rs_message_.data(), rs_parity_.data());
        uint8_t* codeword = output + static_cast<int64_t>(kCodewordLength) * n;
        for (int32_t k = 0; k < kPacketLength; ++k) codeword[k] = input[p + k];
        for (int32_t m = 0; m < kParityLength; ++m)
            codeword[kPacketLength + m] = rs_parity_[15 - m];
    }
    log_.write(3, "done.\n");
}

}  // namespace terramod
