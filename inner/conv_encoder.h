// Inner code of EN 300 744 clause 4.3.3: the 64-state rate-1/2 mother code
// (G1 = 171, G2 = 133 octal) and its puncturing to 2/3, 3/4, 5/6 and 7/8.
// Both work on the unpacked bit stream (one byte per bit, 0 or 1), or on the
// packed one: eight bits to a byte, the first bit the most significant.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "dvbt/dvbt.h"

namespace terramod {

class ConvEncoder {
  public:
    void reset();
    // Writes 16 output bits (X1 Y1 X2 Y2 ...) per input byte, MSB first (as
    // many bytes as the output holds bits for).
    void process(std::span<const uint8_t> input, std::span<uint8_t> output);
    // The same bits packed: two output bytes per input byte (as many input
    // bytes as the output holds two bytes for).
    void process_packed(std::span<const uint8_t> input, std::span<uint8_t> output);

    // Bit k holds the input bit of k steps before (bits 0..6 matter).
    uint32_t encoder_register() const { return encoder_register_; }

  private:
    uint32_t encoder_register_ = 0;
};

class Puncturer {
  public:
    explicit Puncturer(CodeRate rate);

    void reset();
    // Copies the transmitted bits of the encoder output bits `input` into
    // `output`, which must hold them; returns the number of bits written.
    int32_t process(std::span<const uint8_t> input, std::span<uint8_t> output);

    // The same on packed bits: every bit of `input`, whole bytes of
    // transmitted bits into `output`, which must hold them; returns the number
    // of bits written (a multiple of 8). Up to seven bits that do not fill a
    // byte wait for the next call (a puncturer runs either packed or not).
    int32_t process_packed(std::span<const uint8_t> input, std::span<uint8_t> output);

    // Position in the current rate's pattern, 0 .. period - 1.
    int32_t puncture_index() const { return puncture_index_; }
    // Transmitted bits waiting for a packed output byte (0 .. 7).
    int32_t pending_bit_count() const { return pending_count_; }

  private:
    // Punctures whole periods starting at pattern position 0; returns the
    // output end.
    using PeriodPuncturer = uint8_t* (*)(const uint8_t* input, uint8_t* output, int32_t periods);

    uint8_t* puncture_one_bit(uint8_t bit, uint8_t* output);
    // process_packed one byte at a time, from any pattern position.
    int32_t process_packed_bytes(std::span<const uint8_t> input, std::span<uint8_t> output);

    CodeRate rate_;
    int32_t puncture_index_ = 0;
    PeriodPuncturer puncture_periods_;
    // Packed: the transmitted bits of byte b entered at pattern position i,
    // entry i * 256 + b: the bits in the low byte (the first the most
    // significant), their count in the high byte.
    std::vector<uint16_t> packed_table_;
    uint32_t pending_bits_ = 0;
    int32_t pending_count_ = 0;
};

}  // namespace terramod
