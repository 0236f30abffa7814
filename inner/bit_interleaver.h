// Bit-wise inner interleaver of EN 300 744 clause 4.3.4.1: unpacked bits in,
// one symbol byte per data cell out. One stream with the non-hierarchical
// demultiplexing, or two (high and low priority) with the hierarchical one.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "dvbt/dvbt.h"

namespace terramod {

class BitInterleaver {
  public:
    explicit BitInterleaver(Constellation constellation);

    // Whole blocks of 126 x bits_per_cell input bits, one output byte per
    // cell (as many blocks as both spans hold).
    void process(std::span<const uint8_t> input, std::span<uint8_t> output);
    // The same from packed bits (eight to a byte, the first the most
    // significant), the first block starting at bit `first_bit` of the input.
    void process_packed(std::span<const uint8_t> input, size_t first_bit,
                        std::span<uint8_t> output);

    // Hierarchical transmission (16QAM and 64QAM only): each cell takes two
    // high-priority bits (x'0, x'1 -> b0, b1) and v - 2 low-priority bits, so
    // a block is 252 HP bits and 126 x (v - 2) LP bits; as many whole blocks
    // as all three spans hold. Throws std::logic_error for QPSK.
    void process_hierarchical(std::span<const uint8_t> hp_input, std::span<const uint8_t> lp_input,
                              std::span<uint8_t> output);

  private:
    using BlockInterleaver = void (*)(const uint8_t* input, uint8_t* output, int32_t blocks,
                                      const uint16_t* read_position);

    void build_read_positions();
    void build_hierarchical_read_positions();

    Constellation constellation_;
    BlockInterleaver interleave_blocks_;
    // For output symbol w of a block and sub-stream e, the block position of
    // the input bit: entry w * bits_per_cell + e.
    std::array<uint16_t, 126 * 6> read_position_{};
    // The same for the hierarchical demultiplexing, in a block merged group
    // by group from the two streams.
    std::array<uint16_t, 126 * 6> hierarchical_read_position_{};
    // Sub-stream e takes bit substream_shift_[e] (0 = the cell's last bit) of
    // each cell's bits_per_cell bits.
    std::array<uint8_t, 6> substream_shift_{};
};

}  // namespace terramod
