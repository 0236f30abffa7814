// The coder of one transport stream, from its packets to its punctured bits:
// sync inversion and energy dispersal, Reed-Solomon, outer interleaver,
// convolutional encoder and puncturer, with the buffers between them. A run
// has one for its stream, a hierarchical run a second for the LP stream.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/log.h"
#include "dvbt/dvbt.h"
#include "inner/conv_encoder.h"
#include "outer/energy_dispersal.h"
#include "outer/outer_interleaver.h"
#include "outer/reed_solomon.h"
#include "tx/tx_types.h"

namespace terramod {

// Packets of a stream checked for their sync byte, and those without it.
struct SyncCount {
    int64_t checked = 0;
    int64_t unsynced = 0;
};

// One cycle of a stream at each step of its coder.
struct StreamSizes {
    int32_t ts_bytes = 0;
    int32_t rs_bytes = 0;
    int32_t coded_bit_count = 0;
    int32_t punctured_bit_count = 0;

    static StreamSizes high_priority(const BlockSizes& sizes);
    static StreamSizes low_priority(const BlockSizes& sizes);
};

class StreamCoder {
  public:
    // label: "" or "LP ", before the stream's texts in the log. packed_bits:
    // the coded and punctured bits go eight to a byte (their dumps are then
    // empty). Throws std::bad_alloc.
    StreamCoder(const char* label, InterleaverInit interleaver_init, CodeRate code_rate,
                const StreamSizes& sizes, bool packed_bits);

    // Where the cycle's transport stream goes before run_outer.
    std::span<uint8_t> input_block() { return ts_buffer_; }

    // Sync inversion and energy dispersal, Reed-Solomon, outer interleaving.
    void run_outer(Log& log);
    // Encoder and puncturer, of the bytes run_outer interleaved.
    void run_encoder(Log& log);

    // The cycle's punctured bits, one to a byte or packed.
    std::span<const uint8_t> punctured_bits() const {
        return packed_bits_ ? punctured_packed_ : punctured_buffer_;
    }
    // The buffer a dump letter e .. p writes (empty for the other letters).
    std::span<const uint8_t> stage_bytes(DumpStage stage) const;

    // At the end of the run: how many packets did not start with the sync
    // byte, when any did (level 1).
    void report_unsynced_packets(Log& log) const;

  private:
    // Warns of every packet of the block that does not start with 0x47.
    void check_sync_bytes(Log& log);

    const char* label_;
    CodeRate code_rate_;
    bool packed_bits_;
    // Constructed in the order of the start-up: Reed-Solomon tables, outer
    // interleaver memories, encoder and puncturer.
    ReedSolomonEncoder reed_solomon_;
    OuterInterleaver outer_interleaver_;
    ConvEncoder conv_encoder_;
    Puncturer puncturer_;
    EnergyDispersal energy_dispersal_;
    std::vector<uint8_t> ts_buffer_;
    std::vector<uint8_t> rs_buffer_;
    std::vector<uint8_t> outer_interleaved_buffer_;
    // One byte per bit (for the v and p dumps), or eight bits to a byte.
    std::vector<uint8_t> coded_buffer_;
    std::vector<uint8_t> punctured_buffer_;
    std::vector<uint8_t> coded_packed_;
    std::vector<uint8_t> punctured_packed_;
    SyncCount sync_;
};

}  // namespace terramod
