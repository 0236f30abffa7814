// The DVB-T chain of one run: every stage in the order of EN 300 744, and the
// buffers between them. The driver hands it one block of transport stream
// per cycle; it computes, and writes only the stages' progress texts.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "dvbt/dvbt.h"
#include "inner/bit_interleaver.h"
#include "inner/conv_encoder.h"
#include "inner/mapper.h"
#include "inner/symbol_interleaver.h"
#include "ofdm/dac_output.h"
#include "ofdm/frame_builder.h"
#include "ofdm/ifft.h"
#include "outer/energy_dispersal.h"
#include "outer/outer_interleaver.h"
#include "outer/reed_solomon.h"
#include "tx/log.h"
#include "tx/tx_types.h"

namespace terramod {

// Every buffer of the chain, allocated once zero-filled, each exactly one
// cycle of its stage's output.
struct StageBuffers {
    std::vector<uint8_t> ts_buffer;
    std::vector<uint8_t> rs_buffer;
    std::vector<uint8_t> outer_interleaved_buffer;
    // One byte per bit, for the v and p dumps; otherwise empty, and the bits
    // go packed through the two below.
    std::vector<uint8_t> coded_buffer;
    std::vector<uint8_t> punctured_buffer;
    // Eight bits to a byte, when neither the v nor the p dump is written.
    std::vector<uint8_t> coded_packed;
    std::vector<uint8_t> punctured_packed;
    std::vector<uint8_t> bit_interleaved_buffer;
    std::vector<uint8_t> symbol_interleaved_buffer;
    std::vector<ComplexSample> mapped_buffer;
    std::vector<ComplexSample> frame_buffer;
    std::vector<ComplexSample> time_buffer;
    // Only with interpolation.
    std::vector<ComplexSample> interpolated_buffer;

    // Allocates every buffer in the chain's order, the coded and punctured
    // bits one to a byte or packed; throws std::bad_alloc.
    void allocate(const BlockSizes& sizes, int32_t interpolation_factor, bool packed_bits);
};

class TxChain {
  public:
    // Builds every stage's tables and allocates the buffers; throws
    // std::bad_alloc. interpolation_factor: 1 (none), 2 or 4. `dumps`: the
    // dumps the run writes; without v and p the encoder, puncturer and bit
    // interleaver carry the bits packed (the same cells follow). The SIMD
    // kernels of the transform and the interpolator (every set gives the
    // same bits).
    TxChain(const DvbtSettings& settings, int32_t interpolation_factor, const BlockSizes& sizes,
            const DumpSelection& dumps = kEveryDump, const SimdKernels& kernels = best_kernels());

    // Where the cycle's transport stream goes before run_outer.
    std::span<uint8_t> input_block() { return buffers_.ts_buffer; }

    // Sync inversion and energy dispersal, Reed-Solomon, outer interleaving.
    void run_outer(Log& log);
    // Encoder and puncturer, bit and symbol interleavers, mapper, frame
    // builder, IFFT and guard, interpolation.
    void run_inner(Log& log);

    // Whether the coded and punctured bits go packed (their dumps are empty).
    bool packed_bits() const { return packed_bits_; }

    // The buffer a dump letter (e .. f) writes, as bytes.
    std::span<const uint8_t> stage_bytes(DumpStage stage) const;
    // The chain's end: the time-domain samples at the output rate.
    std::span<const ComplexSample> output_samples() const;
    int32_t interpolation_factor() const {
        return interpolator_.factor() ? interpolator_.factor() : 1;
    }

    // The last OFDM symbol built.
    const SymbolPosition& last_symbol() const { return frame_builder_.last_symbol(); }

  private:
    void encode_puncture_and_interleave_bits(Log& log);

    DvbtSettings settings_;
    bool packed_bits_;
    // Constructed in the order of the start-up: Reed-Solomon tables, outer
    // interleaver memories, encoder and puncturer, IFFT tables, interpolator,
    // then the stages without a start-up step.
    ReedSolomonEncoder reed_solomon_;
    OuterInterleaver outer_interleaver_;
    ConvEncoder conv_encoder_;
    Puncturer puncturer_;
    Ifft ifft_;
    Interpolator interpolator_;
    EnergyDispersal energy_dispersal_;
    BitInterleaver bit_interleaver_;
    SymbolInterleaver symbol_interleaver_;
    Mapper mapper_;
    FrameBuilder frame_builder_;
    StageBuffers buffers_;
};

}  // namespace terramod
