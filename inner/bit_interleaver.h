// Bit-wise inner interleaver of EN 300 744 clause 4.3.4.1 (non-hierarchical
// demultiplexing): unpacked bits in, one symbol byte per data cell out.
#pragma once

#include <array>
#include <cstdint>

#include "tx/log.h"
#include "tx/tx_types.h"

namespace terramod {

class BitInterleaver {
  public:
    BitInterleaver(Log& log, Constellation constellation);

    // length: input bits, a multiple of 126 x bits_per_cell.
    void bit_interleave(const uint8_t* input, uint8_t* output, int32_t length);

  private:
    using BlockInterleaver = void (*)(const uint8_t* input, uint8_t* output, int32_t blocks,
                                      const uint16_t* read_position);

    void build_read_positions();

    Log& log_;
    Constellation constellation_;
    BlockInterleaver interleave_blocks_;
    // For output symbol w of a block and sub-stream e, the block position of
    // the input bit: entry w * bits_per_cell + e.
    std::array<uint16_t, 126 * 6> read_position_{};
};

}  // namespace terramod
