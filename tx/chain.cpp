#include "tx/chain.h"

#include <cinttypes>

namespace terramod {

namespace {

template <typename Element>
std::span<const uint8_t> as_bytes(const std::vector<Element>& buffer) {
    return {reinterpret_cast<const uint8_t*>(buffer.data()), buffer.size() * sizeof(Element)};
}

}  // namespace

void StageBuffers::allocate(const BlockSizes& sizes, int32_t interpolation_factor, bool bb_if,
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
    if (interpolation_factor > 1 && bb_if) zero_if_buffer.assign(sizes.sample_count, {0, 0});
}

LowPriorityStream::LowPriorityStream(const DvbtSettings& settings, const BlockSizes& sizes)
    : outer_interleaver(settings.interleaver_init),
      puncturer(settings.lp_code_rate),
      ts_buffer(sizes.lp_ts_bytes, 0),
      rs_buffer(sizes.lp_rs_bytes, 0),
      outer_interleaved_buffer(sizes.lp_rs_bytes, 0),
      coded_buffer(sizes.lp_coded_bit_count, 0),
      punctured_buffer(sizes.lp_punctured_bit_count, 0) {
    conv_encoder.conv_encoder_reset();
    puncturer.puncturer_reset();
}

namespace {

// Sync inversion, energy dispersal, Reed-Solomon and outer interleaving of
// one stream; `label` ("" or "LP ") tells the streams apart in the log.
constexpr int64_t kListedUnsyncedPackets = 10;

// Warns of every packet of the block that does not start with 0x47,
// numbered from the start of the stream (1-based); past the first ten the
// packets are counted, not listed.
void check_sync_bytes(std::span<const uint8_t> block, SyncCount& count, const char* label,
                      Log& log) {
    for (size_t start = 0; start < block.size(); start += kPacketLength) {
        ++count.checked;
        if (block[start] == kSyncByte) continue;
        ++count.unsynced;
        if (count.unsynced <= kListedUnsyncedPackets) {
            log.write(1, "WARNING: %sMPEG-2 TS Out of Sync in packet #%" PRId64 "\n", label,
                      count.checked);
        }
        if (count.unsynced == kListedUnsyncedPackets + 1) {
            log.write(1, "WARNING: further %spackets out of sync are counted, not listed\n", label);
        }
    }
}

void report_sync_count(const SyncCount& count, const char* label, Log& log) {
    if (count.unsynced == 0) return;
    log.write(1, "WARNING: %" PRId64 " of %" PRId64 " %sMPEG-2 TS packets were out of sync\n",
              count.unsynced, count.checked, label);
}

void run_outer_stages(EnergyDispersal& energy_dispersal, ReedSolomonEncoder& reed_solomon,
                      OuterInterleaver& outer_interleaver, std::span<uint8_t> ts,
                      std::span<uint8_t> rs, std::span<uint8_t> interleaved, SyncCount& sync,
                      const char* label, Log& log) {
    log.write(3, "%sInverting SYNC1 byte ...", label);
    check_sync_bytes(ts, sync, label, log);
    energy_dispersal.sync_invert(ts);
    log.write(3, " done.\n");
    log.write(3, "%sScrambling ... ", label);
    energy_dispersal.energy_disperse(ts, [&log, label](int32_t group) {
        log.write(1, "WARNING: %sMPEG-2 TS energy dispersal Out of Sync in frame #%d\n", label,
                  group);
    });
    log.write(3, " done.\n");
    log.write(3, "%sRS(204, 188) outer encoding ... ", label);
    reed_solomon.rs_encode_packets(ts, rs);
    log.write(3, "done.\n");
    log.write(3, "%sConvolutionally interleaving ...", label);
    outer_interleaver.outer_interleave(rs, interleaved);
    log.write(3, " done.\n");
}

void run_encoder_stages(ConvEncoder& conv_encoder, Puncturer& puncturer, CodeRate rate,
                        std::span<const uint8_t> interleaved, std::span<uint8_t> coded,
                        std::span<uint8_t> punctured, const char* label, Log& log) {
    log.write(3, "%sConvolutionally encoding 1/2 ... ", label);
    conv_encoder.conv_encode(interleaved, coded);
    log.write(3, "done.\n");
    log.write(3, "%sPuncturing to rate %s ...", label, kCodeRateNames[rate]);
    puncturer.puncture(coded, punctured);
    log.write(3, " done.\n");
}

}  // namespace

TxChain::TxChain(const DvbtSettings& settings, int32_t interpolation_factor,
                 const BlockSizes& sizes, const TransformOptions& options)
    : settings_(settings),
      // A cycle's punctured bits are whole bytes (whole symbols of cells
      // that come in multiples of eight); checked all the same.
      packed_bits_(!options.dumps[kDumpConvEncoder] && !options.dumps[kDumpPuncturer] &&
                   !settings.two_streams && sizes.punctured_bit_count % 8 == 0),
      outer_interleaver_(settings.interleaver_init),
      puncturer_(settings.code_rate),
      ifft_(settings.mode, settings.guard_interval, settings.frequency_mapping,
            options.kernels ? *options.kernels : best_kernels()),
      interpolator_(interpolation_factor, options.kernels ? *options.kernels : best_kernels()),
      bit_interleaver_(settings.constellation),
      symbol_interleaver_(settings.mode),
      mapper_(settings.constellation, settings.hierarchy),
      frame_builder_(settings) {
    conv_encoder_.conv_encoder_reset();
    puncturer_.puncturer_reset();
    if (options.precise) precise_ifft_ = std::make_unique<PreciseIfft>(ifft_, settings.mode);
    if (options.window_length > 0)
        symbol_window_.emplace(options.window_length, fft_size[settings.mode],
                               ifft_.guard_length());
    const bool bb_if_interpolated =
        settings.frequency_mapping == kBasebandIf && interpolator_.factor() > 1;
    if (bb_if_interpolated) bb_if_shifter_.emplace(interpolator_.factor());
    buffers_.allocate(sizes, interpolation_factor, bb_if_interpolated, packed_bits_);
    if (settings.two_streams) lp_ = std::make_unique<LowPriorityStream>(settings, sizes);
    if (options.threads > 1 && !options.precise)
        workers_ = std::make_unique<WorkerPool>(options.threads);
}

void TxChain::run_outer(Log& log) {
    StageBuffers& b = buffers_;
    run_outer_stages(energy_dispersal_, reed_solomon_, outer_interleaver_, b.ts_buffer, b.rs_buffer,
                     b.outer_interleaved_buffer, hp_sync_, "", log);
    if (lp_)
        run_outer_stages(lp_->energy_dispersal, lp_->reed_solomon, lp_->outer_interleaver,
                         lp_->ts_buffer, lp_->rs_buffer, lp_->outer_interleaved_buffer, lp_sync_,
                         "LP ", log);
}

void TxChain::encode_puncture_and_interleave_bits(Log& log) {
    StageBuffers& b = buffers_;
    if (packed_bits_) {
        // Eight bits to a byte through the three stages; the same cells.
        log.write(3, "Convolutionally encoding 1/2 ... ");
        conv_encoder_.conv_encode_packed(b.outer_interleaved_buffer, b.coded_packed);
        log.write(3, "done.\n");
        log.write(3, "Puncturing to rate %s ...", kCodeRateNames[settings_.code_rate]);
        puncturer_.puncture_packed(b.coded_packed, b.punctured_packed);
        log.write(3, " done.\n");
        log.write(3, "Bit interleaving ... ");
        bit_interleaver_.bit_interleave_packed(b.punctured_packed, 0, b.bit_interleaved_buffer);
        log.write(3, "done.\n");
        return;
    }
    run_encoder_stages(conv_encoder_, puncturer_, settings_.code_rate, b.outer_interleaved_buffer,
                       b.coded_buffer, b.punctured_buffer, "", log);
    if (lp_) {
        run_encoder_stages(lp_->conv_encoder, lp_->puncturer, settings_.lp_code_rate,
                           lp_->outer_interleaved_buffer, lp_->coded_buffer, lp_->punctured_buffer,
                           "LP ", log);
        log.write(3, "Hierarchical bit interleaving ... ");
        bit_interleaver_.bit_interleave_hierarchical(b.punctured_buffer, lp_->punctured_buffer,
                                                     b.bit_interleaved_buffer);
    } else {
        log.write(3, "Bit interleaving ... ");
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
    run_transform();
    log.write(3, " done.\n");
    if (symbol_window_) symbol_window_->apply(b.time_buffer);
    if (interpolator_.factor() > 1) run_interpolation();
}

// Part `part` of `count` items split among the worker threads: [first, end).
std::pair<size_t, size_t> TxChain::share_of(size_t count, int32_t part) const {
    const size_t parts = static_cast<size_t>(workers_->threads());
    return {count * static_cast<size_t>(part) / parts,
            count * static_cast<size_t>(part + 1) / parts};
}

// Symbols are independent in the transform: each thread takes a contiguous
// share of them, the same operations on the same data as one thread.
void TxChain::run_transform() {
    StageBuffers& b = buffers_;
    if (precise_ifft_) {
        precise_ifft_->ifft_and_guard(b.frame_buffer, b.time_buffer);
        return;
    }
    if (!workers_) {
        ifft_.ifft_and_guard(b.frame_buffer, b.time_buffer);
        return;
    }
    const size_t carriers = static_cast<size_t>(carrier_count[settings_.mode]);
    const size_t symbol_samples =
        static_cast<size_t>(fft_size[settings_.mode] + ifft_.guard_length());
    const size_t symbols = b.frame_buffer.size() / carriers;
    workers_->run([&](int32_t part) {
        const auto [first, end] = share_of(symbols, part);
        ifft_.ifft_and_guard(std::span<const ComplexSample>(b.frame_buffer)
                                 .subspan(first * carriers, (end - first) * carriers),
                             std::span<ComplexSample>(b.time_buffer)
                                 .subspan(first * symbol_samples, (end - first) * symbol_samples));
    });
}

void TxChain::run_interpolation() {
    StageBuffers& b = buffers_;
    if (!bb_if_shifter_) {
        interpolate_in_parts(b.time_buffer, b.interpolated_buffer);
        return;
    }
    bb_if_shifter_->to_zero_if(b.time_buffer, b.zero_if_buffer);
    interpolate_in_parts(b.zero_if_buffer, b.interpolated_buffer);
    bb_if_shifter_->up_by_half_base_rate(b.interpolated_buffer);
}

// With worker threads each takes a contiguous share of the input through a
// copy of the interpolator primed with the samples before its share: the
// outputs of one pass. The chain's interpolator then carries the cycle's
// last samples into the next cycle.
void TxChain::interpolate_in_parts(std::span<const ComplexSample> input,
                                   std::span<ComplexSample> output) {
    if (!workers_) {
        interpolator_.interpolate(input, output);
        return;
    }
    const size_t factor = static_cast<size_t>(interpolator_.factor());
    const size_t count = std::min(input.size(), output.size() / factor);
    workers_->run([&](int32_t part) {
        const auto [first, end] = share_of(count, part);
        Interpolator share = interpolator_;
        share.push_history(input.first(first));
        share.interpolate(input.subspan(first, end - first),
                          output.subspan(first * factor, (end - first) * factor));
    });
    interpolator_.push_history(input.first(count));
}

void TxChain::report_unsynced_packets(Log& log) const {
    report_sync_count(hp_sync_, "", log);
    report_sync_count(lp_sync_, "LP ", log);
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

std::span<const uint8_t> TxChain::lp_stage_bytes(DumpStage stage) const {
    if (!lp_) return {};
    switch (stage) {
        case kDumpEnergyDispersal:
            return lp_->ts_buffer;
        case kDumpReedSolomon:
            return lp_->rs_buffer;
        case kDumpOuterInterleaver:
            return lp_->outer_interleaved_buffer;
        case kDumpConvEncoder:
            return lp_->coded_buffer;
        case kDumpPuncturer:
            return lp_->punctured_buffer;
        default:
            return {};
    }
}

std::span<const ComplexSample> TxChain::output_samples() const {
    if (interpolator_.factor() > 1) return buffers_.interpolated_buffer;
    return buffers_.time_buffer;
}

}  // namespace terramod
