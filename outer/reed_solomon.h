// Outer code of EN 300 744 clause 4.3.2: shortened systematic RS(204,188,t=8)
// derived from RS(255,239) over GF(256) with p(x) = x^8 + x^4 + x^3 + x^2 + 1.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "dvbt/dvbt.h"

namespace terramod {

class ReedSolomonEncoder {
  public:
    static constexpr int32_t kParityLength = 16;
    static constexpr int32_t kMessageLength = 239;
    static constexpr int32_t kZeroLog = 255;  // gf_log of the zero element

    // Builds the field and generator tables (once).
    ReedSolomonEncoder();

    // Encodes whole 188-byte packets into 204-byte codewords (as many as
    // both spans hold), with the table-driven register below; output
    // identical to encode_block.
    void process(std::span<const uint8_t> packets, std::span<uint8_t> codewords);
    // The reference shift-register encoder: 239-byte message (position 238
    // consumed first) into the 16-byte parity register (position 15 = x^15).
    void encode_block(const uint8_t* message, uint8_t* parity) const;

    static int32_t gf_mod255(int32_t x);
    const std::array<int32_t, 256>& gf_log() const { return gf_log_; }
    const std::array<int32_t, 256>& gf_antilog() const { return gf_antilog_; }
    const std::array<int32_t, 17>& generator() const { return rs_generator_; }

  private:
    void build_field();
    void build_generator();
    void build_feedback_products();
    // Codewords of `lanes` consecutive packets by the fast register, the
    // packets' divisions interleaved so that their table look-ups overlap.
    template <int32_t lanes>
    void encode_packets(const uint8_t* packets, uint8_t* codewords) const;

    std::array<int32_t, 256> gf_log_{};
    std::array<int32_t, 256> gf_antilog_{};
    std::array<int32_t, 17> rs_generator_{};
    // The 16-byte parity register as two 64-bit words, byte b of low holding
    // the coefficient of x^b and byte b of high that of x^(8+b). Entry fb is
    // the register contribution fb * g(x) without its x^16 term, so one step
    // of the division is a shift by one byte and one XOR of a table entry.
    struct RegisterWords {
        uint64_t low;
        uint64_t high;
    };
    std::array<RegisterWords, 256> feedback_products_{};
};

}  // namespace terramod
