#include "outer/reed_solomon.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace terramod {

namespace {

// Coefficient flags of p(x) = x^8 + x^4 + x^3 + x^2 + 1, x^0 to x^8.
constexpr std::array<int32_t, 9> rs_field_poly = {1, 0, 1, 1, 1, 0, 0, 0, 1};

}  // namespace

ReedSolomonEncoder::ReedSolomonEncoder() {
    build_field();
    build_generator();
    build_feedback_products();
}

int32_t ReedSolomonEncoder::gf_mod255(int32_t x) {
    while (x >= 255) {
        x -= 255;
        x = (x >> 8) + (x & 255);
    }
    return x;
}

void ReedSolomonEncoder::build_field() {
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

void ReedSolomonEncoder::build_generator() {
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

void ReedSolomonEncoder::encode_block(const uint8_t* message, uint8_t* parity) const {
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

void ReedSolomonEncoder::build_feedback_products() {
    for (int32_t fb = 1; fb < 256; ++fb) {
        RegisterWords& entry = feedback_products_[fb];
        for (int32_t j = 0; j < kParityLength; ++j) {
            if (rs_generator_[j] == kZeroLog) continue;  // a zero coefficient adds nothing
            const uint64_t product =
                static_cast<uint64_t>(gf_antilog_[gf_mod255(rs_generator_[j] + gf_log_[fb])]);
            if (j < 8) {
                entry.low |= product << (8 * j);
            } else {
                entry.high |= product << (8 * (j - 8));
            }
        }
    }
}

template <int32_t lanes>
void ReedSolomonEncoder::encode_packets(const uint8_t* packets, uint8_t* codewords) const {
    // The 51 leading zero bytes of the shortened message leave the cleared
    // register at zero, so the division starts with the first packet byte.
    std::array<uint64_t, lanes> low{};
    std::array<uint64_t, lanes> high{};
    for (int32_t k = 0; k < kPacketLength; ++k) {
        for (int32_t lane = 0; lane < lanes; ++lane) {
            const uint8_t feedback =
                packets[lane * kPacketLength + k] ^ static_cast<uint8_t>(high[lane] >> 56);
            const RegisterWords& product = feedback_products_[feedback];
            high[lane] = ((high[lane] << 8) | (low[lane] >> 56)) ^ product.high;
            low[lane] = (low[lane] << 8) ^ product.low;
        }
    }
    for (int32_t lane = 0; lane < lanes; ++lane) {
        uint8_t* codeword = codewords + lane * kCodewordLength;
        std::memcpy(codeword, packets + lane * kPacketLength, kPacketLength);
        // Parity highest power first: x^15 ... x^8 from high, x^7 ... x^0 from low.
        uint8_t* parity = codeword + kPacketLength;
        for (int32_t m = 0; m < 8; ++m) {
            parity[m] = static_cast<uint8_t>(high[lane] >> (56 - 8 * m));
            parity[8 + m] = static_cast<uint8_t>(low[lane] >> (56 - 8 * m));
        }
    }
}

void ReedSolomonEncoder::process(std::span<const uint8_t> packets, std::span<uint8_t> codewords) {
    // Only whole packets are encoded: a trailing partial packet would be read
    // past its end.
    // Several independent packets side by side hide the latency of each
    // byte's table lookup; the last few go four, then one at a time.
    const uint8_t* input = packets.data();
    uint8_t* output = codewords.data();
    size_t packet_count =
        std::min(packets.size() / kPacketLength, codewords.size() / kCodewordLength);
    const auto encode_runs = [&](auto lanes) {
        constexpr int32_t kLanes = decltype(lanes)::value;
        for (; packet_count >= kLanes; packet_count -= kLanes) {
            encode_packets<kLanes>(input, output);
            input += kLanes * kPacketLength;
            output += kLanes * kCodewordLength;
        }
    };
    encode_runs(std::integral_constant<int32_t, 8>());
    encode_runs(std::integral_constant<int32_t, 4>());
    encode_runs(std::integral_constant<int32_t, 1>());
}

}  // namespace terramod
