#include "tx/chain.h"

namespace terramod {

namespace {

template <typename Element>
std::span<const uint8_t> as_bytes(const std::vector<Element>& buffer) {
    return {reinterpret_cast<const uint8_t*>(buffer.data()), buffer.size() * sizeof(Element)};
}

}  // namespace

void StageBuffers::allocate(const BlockSizes& sizes, int32_t interpolation_factor,
                            bool packed_bits) {
    ts_buffer.assign(sizes.ts_bytes, 0);
    rs_buffer.assign(sizes.rs_bytes, 0);
    outer_interleaved_buffer.assign(sizes.rs_bytes, 0);
    if (packed_bits) {
        // Whole bytes: a last partial byte of punctured bits waits in the
        // puncturer for the next cycle.
        coded_packed.assign((sizes.coded_bit_count + 7) / 8, 0);
        punctured_packed.assign((sizes.punctured_bit_count + 7) / 8, 0);
    } else {
        coded_buffer.assign(sizes.coded_bit_count, 0);
        punctured_buffer.assign(sizes.punctured_bit_count, 0);
    }
    bit_interleaved_buffer.assign(sizes.cell_count, 0);
    symbol_interleaved_buffer.assign(sizes.cell_count, 0);
    mapped_buffer.assign(sizes.cell_count, ComplexSample{0, 0});
    frame_buffer.assign(sizes.frame_cell_count, ComplexSample{0, 0});
    time_buffer.assign(sizes.sample_count, ComplexSample{0, 0});
    if (interpolation_factor > 1)
        interpolated_buffer.assign(static_cast<size_t>(interpolation_factor) * sizes.sample_count,
                                   ComplexSample{0, 0});
}

TxChain::TxChain(const DvbtSettings& settings, int32_t interpolation_factor,
                 const BlockSizes& sizes, const DumpSelection& dumps, const SimdKernels& kernels)
    : settings_(settings),
      // A cycle's punctured bits are whole bytes (whole symbols of cells
      // that come in multiples of eight); checked all the same.
      packed_bits_(!dumps[kDumpConvEncoder] && !dumps[kDumpPuncturer] &&
                   sizes.punctured_bit_count % 8 == 0),
      outer_interleaver_(settings.interleaver_init),
      puncturer_(settings.code_rate),
      ifft_(settings.mode, settings.guard_interval, settings.frequency_mapping, kernels),
      interpolator_(interpolation_factor, kernels),
      bit_interleaver_(settings.constellation),
      symbol_interleaver_(settings.mode),
      mapper_(settings.constellation, settings.hierarchy),
      frame_builder_(settings) {
    conv_encoder_.conv_encoder_reset();
    puncturer_.puncturer_reset();
    buffers_.allocate(sizes, interpolation_factor, packed_bits_);
}

void TxChain::run_outer(Log& log) {
    StageBuffers& b = buffers_;
    log.write(3, "Inverting SYNC1 byte ...");
    energy_dispersal_.sync_invert(b.ts_buffer, [&log](int32_t packet) {
        log.write(1, "WARNING: MPEG-2 TS Out of Sync in packet #%d\n", packet);
    });
    log.write(3, " done.\n");
    log.write(3, "Scrambling ... ");
    energy_dispersal_.energy_disperse(b.ts_buffer, [&log](int32_t group) {
        log.write(1, "WARNING: MPEG-2 TS energy dispersal Out of Sync in frame #%d\n", group);
    });
    log.write(3, " done.\n");
    log.write(3, "RS(204, 188) outer encoding ... ");
    reed_solomon_.rs_encode_packets(b.ts_buffer, b.rs_buffer);
    log.write(3, "done.\n");
    log.write(3, "Convolutionally interleaving ...");
    outer_interleaver_.outer_interleave(b.rs_buffer, b.outer_interleaved_buffer);
    log.write(3, " done.\n");
}

void TxChain::encode_puncture_and_interleave_bits(Log& log) {
    StageBuffers& b = buffers_;
    log.write(3, "Convolutionally encoding 1/2 ... ");
    if (packed_bits_) {
        conv_encoder_.conv_encode_packed(b.outer_interleaved_buffer, b.coded_packed);
    } else {
        conv_encoder_.conv_encode(b.outer_interleaved_buffer, b.coded_buffer);
    }
    log.write(3, "done.\n");
    log.write(3, "Puncturing to rate %s ...", kCodeRateNames[settings_.code_rate]);
    if (packed_bits_) {
        puncturer_.puncture_packed(b.coded_packed, b.punctured_packed);
    } else {
        puncturer_.puncture(b.coded_buffer, b.punctured_buffer);
    }
    log.write(3, " done.\n");
    log.write(3, "Bit interleaving ... ");
    if (packed_bits_) {
        bit_interleaver_.bit_interleave_packed(b.punctured_packed, 0, b.bit_interleaved_buffer);
    } else {
        bit_interleaver_.bit_interleave(b.punctured_buffer, b.bit_interleaved_buffer);
    }
    log.write(3, "done.\n");
}

void TxChain::run_inner(Log& log) {
    StageBuffers& b = buffers_;
    encode_puncture_and_interleave_bits(log);
    log.write(3, "Symbol interleaving ... ");
    symbol_interleaver_.symbol_interleave(b.bit_interleaved_buffer, b.symbol_interleaved_buffer);
    log.write(3, "done.\n");
    log.write(3, "Mapping to %s ...", kConstellationNames[settings_.constellation]);
    mapper_.map_symbols(b.symbol_interleaved_buffer, b.mapped_buffer);
    log.write(3, " done.\n");
    log.write(3, "Adding pilots & TPS ...");
    frame_builder_.add_pilots_and_tps(b.mapped_buffer, b.frame_buffer);
    log.write(3, " done\n");
    log.write(3, "Guarding, IFFTing & prefixing ...");
    ifft_.ifft_and_guard(b.frame_buffer, b.time_buffer);
    log.write(3, " done.\n");
    if (interpolator_.factor() > 1) interpolator_.interpolate(b.time_buffer, b.interpolated_buffer);
}

std::span<const uint8_t> TxChain::stage_bytes(DumpStage stage) const {
    const StageBuffers& b = buffers_;
    switch (stage) {
        case kDumpEnergyDispersal:
            return b.ts_buffer;
        case kDumpReedSolomon:
            return b.rs_buffer;
        case kDumpOuterInterleaver:
            return b.outer_interleaved_buffer;
        case kDumpConvEncoder:
            return b.coded_buffer;
        case kDumpPuncturer:
            return b.punctured_buffer;
        case kDumpBitInterleaver:
            return b.bit_interleaved_buffer;
        case kDumpSymbolInterleaver:
            return b.symbol_interleaved_buffer;
        case kDumpMapper:
            return as_bytes(b.mapped_buffer);
        case kDumpPreIfft:
            return as_bytes(b.frame_buffer);
        case kDumpPostIfft:
        case kDumpStageCount:
            break;
    }
    return {};
}

std::span<const ComplexSample> TxChain::output_samples() const {
    if (interpolator_.factor() > 1) return buffers_.interpolated_buffer;
    return buffers_.time_buffer;
}

}  // namespace terramod
