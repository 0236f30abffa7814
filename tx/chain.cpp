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
                            bool packed_bits, bool symbol_by_symbol, int32_t slot_count) {
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
    // Taking one symbol at a time, the symbol interleaver needs the room of
    // one symbol and the cells are mapped as they are framed.
    symbol_interleaved_buffer.assign(symbol_by_symbol && sizes.symbols_per_cycle > 0
                                         ? sizes.cell_count / sizes.symbols_per_cycle
                                         : sizes.cell_count,
                                     0);
    if (!symbol_by_symbol) mapped_buffer.assign(sizes.cell_count, ComplexSample{0, 0});
    slots.resize(static_cast<size_t>(slot_count));
    const bool interpolated = interpolation_factor > 1;
    for (size_t s = 0; s < slots.size(); ++s) {
        slots[s].frame_buffer.assign(sizes.frame_cell_count, ComplexSample{0, 0});
        if (s == 0 || !interpolated) slots[s].time_buffer.assign(sizes.sample_count, {0, 0});
    }
    if (interpolated)
        interpolated_buffer.assign(static_cast<size_t>(interpolation_factor) * sizes.sample_count,
                                   ComplexSample{0, 0});
    if (interpolated && bb_if) zero_if_buffer.assign(sizes.sample_count, {0, 0});
}

LowPriorityStream::LowPriorityStream(const DvbtSettings& settings, const BlockSizes& sizes)
    : outer_interleaver(settings.interleaver_init),
      puncturer(settings.lp_code_rate),
      ts_buffer(sizes.lp_ts_bytes, 0),
      rs_buffer(sizes.lp_rs_bytes, 0),
      outer_interleaved_buffer(sizes.lp_rs_bytes, 0),
      coded_buffer(sizes.lp_coded_bit_count, 0),
      punctured_buffer(sizes.lp_punctured_bit_count, 0) {
    conv_encoder.reset();
    puncturer.reset();
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
    energy_dispersal.process(ts, [&log, label](int32_t group) {
        log.write(1, "WARNING: %sMPEG-2 TS energy dispersal Out of Sync in frame #%d\n", label,
                  group);
    });
    log.write(3, " done.\n");
    log.write(3, "%sRS(204, 188) outer encoding ... ", label);
    reed_solomon.process(ts, rs);
    log.write(3, "done.\n");
    log.write(3, "%sConvolutionally interleaving ...", label);
    outer_interleaver.process(rs, interleaved);
    log.write(3, " done.\n");
}

void run_encoder_stages(ConvEncoder& conv_encoder, Puncturer& puncturer, CodeRate rate,
                        std::span<const uint8_t> interleaved, std::span<uint8_t> coded,
                        std::span<uint8_t> punctured, const char* label, Log& log) {
    log.write(3, "%sConvolutionally encoding 1/2 ... ", label);
    conv_encoder.process(interleaved, coded);
    log.write(3, "done.\n");
    log.write(3, "%sPuncturing to rate %s ...", label, kCodeRateNames[rate]);
    puncturer.process(coded, punctured);
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
      symbol_by_symbol_(!options.dumps[kDumpSymbolInterleaver] && !options.dumps[kDumpMapper]),
      outer_interleaver_(settings.interleaver_init),
      puncturer_(settings.code_rate),
      ifft_(settings.mode, settings.guard_interval, settings.frequency_mapping,
            options.kernels ? *options.kernels : best_kernels()),
      interpolator_(interpolation_factor, options.kernels ? *options.kernels : best_kernels()),
      bit_interleaver_(settings.constellation),
      symbol_interleaver_(settings.mode),
      mapper_(settings.constellation, settings.hierarchy),
      frame_builder_(settings),
      back_job_([this](int32_t phase, int32_t task) { run_back_task(phase, task); }) {
    conv_encoder_.reset();
    puncturer_.reset();
    if (options.precise) precise_ifft_ = std::make_unique<PreciseIfft>(ifft_, settings.mode);
    if (options.window_length > 0)
        symbol_window_.emplace(options.window_length, fft_size[settings.mode],
                               ifft_.guard_length());
    const bool bb_if_interpolated =
        settings.frequency_mapping == kBasebandIf && interpolator_.factor() > 1;
    if (bb_if_interpolated) bb_if_shifter_.emplace(interpolator_.factor());
    buffers_.allocate(sizes, interpolation_factor, bb_if_interpolated, packed_bits_,
                      symbol_by_symbol_, options.overlap_cycles ? 2 : 1);
    if (settings.two_streams) lp_ = std::make_unique<LowPriorityStream>(settings, sizes);
    if (options.threads > 1) workers_ = std::make_unique<WorkerPool>(options.threads);
    plan_back(options.precise);
}

TxChain::~TxChain() {
    if (!back_started_ || !workers_) return;
    back_job_.open_gate();
    workers_->finish(back_job_);
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
        conv_encoder_.process_packed(b.outer_interleaved_buffer, b.coded_packed);
        log.write(3, "done.\n");
        log.write(3, "Puncturing to rate %s ...", kCodeRateNames[settings_.code_rate]);
        puncturer_.process_packed(b.coded_packed, b.punctured_packed);
        log.write(3, " done.\n");
        log.write(3, "Bit interleaving ... ");
        bit_interleaver_.process_packed(b.punctured_packed, 0, b.bit_interleaved_buffer);
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
        bit_interleaver_.process_hierarchical(b.punctured_buffer, lp_->punctured_buffer,
                                              b.bit_interleaved_buffer);
    } else {
        log.write(3, "Bit interleaving ... ");
        bit_interleaver_.process(b.punctured_buffer, b.bit_interleaved_buffer);
    }
    log.write(3, "done.\n");
}

void TxChain::run_front(Log& log) {
    StageBuffers& b = buffers_;
    encode_puncture_and_interleave_bits(log);
    std::span<ComplexSample> frame = b.slots[fill_slot_].frame_buffer;
    if (symbol_by_symbol_) {
        // No s or m dump: each symbol goes through the symbol interleaver,
        // the mapper and the frame builder while its cells are in the cache,
        // the same operations on the same cells.
        log.write(3, "Symbol interleaving ... done.\n");
        log.write(3, "Mapping to %s ... done.\n", kConstellationNames[settings_.constellation]);
        log.write(3, "Adding pilots & TPS ...");
        map_and_frame_each_symbol(frame);
        log.write(3, " done\n");
    } else {
        log.write(3, "Symbol interleaving ... ");
        symbol_interleaver_.process(b.bit_interleaved_buffer, b.symbol_interleaved_buffer);
        log.write(3, "done.\n");
        log.write(3, "Mapping to %s ...", kConstellationNames[settings_.constellation]);
        mapper_.process(b.symbol_interleaved_buffer, b.mapped_buffer);
        log.write(3, " done.\n");
        log.write(3, "Adding pilots & TPS ...");
        frame_builder_.process(b.mapped_buffer, frame);
        log.write(3, " done\n");
    }
    front_slot_ = fill_slot_;
    fill_slot_ = (fill_slot_ + 1) % static_cast<int32_t>(b.slots.size());
}

void TxChain::map_and_frame_each_symbol(std::span<ComplexSample> frame) {
    StageBuffers& b = buffers_;
    const size_t data_cells = static_cast<size_t>(data_carrier_count[settings_.mode]);
    const size_t carriers = static_cast<size_t>(carrier_count[settings_.mode]);
    const size_t symbols =
        b.symbol_interleaved_buffer.size() < data_cells
            ? 0
            : std::min(b.bit_interleaved_buffer.size() / data_cells, frame.size() / carriers);
    const std::span<uint8_t> symbol_cells =
        std::span(b.symbol_interleaved_buffer).first(data_cells);
    const std::span<const ComplexSample> points(mapper_.table(),
                                                static_cast<size_t>(mapper_.table_size()));
    for (size_t q = 0; q < symbols; ++q) {
        symbol_interleaver_.process(
            std::span<const uint8_t>(b.bit_interleaved_buffer).subspan(q * data_cells, data_cells),
            symbol_cells);
        frame_builder_.process_mapped(symbol_cells, points, frame.subspan(q * carriers, carriers));
    }
}

// The back's work is split where the result stays the same bytes: symbols
// are independent in the transform, and each share of the interpolator's
// input goes through a copy of the interpolator primed with the samples
// before it. Windowing and the BB IF shifts carry state from symbol to
// symbol and run as one task. With one thread the interpolator takes the
// cycle whole.
void TxChain::plan_back(bool precise) {
    const bool interpolating = interpolator_.factor() > 1;
    const int32_t symbols = static_cast<int32_t>(
        buffers_.slots[0].frame_buffer.size() / static_cast<size_t>(carrier_count[settings_.mode]));
    constexpr int32_t kSamplesPerShare = 16384;
    const int32_t samples = static_cast<int32_t>(buffers_.slots[0].time_buffer.size());
    interpolation_shares_ =
        workers_ ? std::max(1, (samples + kSamplesPerShare - 1) / kSamplesPerShare) : 1;
    back_tasks_ = {
        precise ? 1 : symbols,  symbol_window_ ? 1 : 0,
        bb_if_shifter_ ? 1 : 0, interpolating ? interpolation_shares_ : 0,
        interpolating ? 1 : 0,  bb_if_shifter_ ? 1 : 0,
    };
}

void TxChain::start_back(bool hold_output) {
    back_slot_ = front_slot_;
    back_job_.reset(back_tasks_, hold_output ? kInterpolatePhase : INT32_MAX);
    back_started_ = true;
    if (workers_) workers_->start(back_job_);
}

void TxChain::finish_back(Log& log) {
    log.write(3, "Guarding, IFFTing & prefixing ...");
    if (back_started_) {
        back_job_.open_gate();  // the caller has written what it had to
        if (workers_)
            workers_->finish(back_job_);
        else
            back_job_.take_part();
        back_started_ = false;
        output_slot_ = back_slot_;
    }
    log.write(3, " done.\n");
}

void TxChain::run_back_task(int32_t phase, int32_t task) {
    StageBuffers& b = buffers_;
    // With interpolation only the first slot has base-rate samples.
    std::vector<ComplexSample>& frame = b.slots[back_slot_].frame_buffer;
    std::vector<ComplexSample>& time =
        interpolator_.factor() > 1 ? b.slots[0].time_buffer : b.slots[back_slot_].time_buffer;
    switch (static_cast<BackPhase>(phase)) {
        case kTransformPhase: {
            if (precise_ifft_) {
                precise_ifft_->process(frame, time);
                return;
            }
            const size_t carriers = static_cast<size_t>(carrier_count[settings_.mode]);
            const size_t symbol_samples =
                static_cast<size_t>(fft_size[settings_.mode] + ifft_.guard_length());
            const size_t symbol = static_cast<size_t>(task);
            ifft_.process(
                std::span<const ComplexSample>(frame).subspan(symbol * carriers, carriers),
                std::span<ComplexSample>(time).subspan(symbol * symbol_samples, symbol_samples));
            return;
        }
        case kWindowPhase:
            symbol_window_->process(time);
            return;
        case kToZeroIfPhase:
            bb_if_shifter_->to_zero_if(time, b.zero_if_buffer);
            return;
        case kInterpolatePhase:
            interpolate_share(task);
            return;
        case kCarryHistoryPhase:
            interpolator_.push_history(interpolator_input());
            return;
        case kUpShiftPhase:
            bb_if_shifter_->up_by_half_base_rate(b.interpolated_buffer);
            return;
    }
}

// The samples the interpolator takes (at zero IF).
std::span<const ComplexSample> TxChain::interpolator_input() const {
    const StageBuffers& b = buffers_;
    const size_t factor = static_cast<size_t>(interpolator_.factor());
    const std::span<const ComplexSample> input =
        bb_if_shifter_ ? b.zero_if_buffer : b.slots[0].time_buffer;
    return input.first(std::min(input.size(), b.interpolated_buffer.size() / factor));
}

// Share `share` of the cycle's interpolator input, through a copy of the
// interpolator primed with the samples before it: the outputs of one pass.
void TxChain::interpolate_share(int32_t share) {
    const std::span<const ComplexSample> input = interpolator_input();
    const size_t factor = static_cast<size_t>(interpolator_.factor());
    const size_t shares = static_cast<size_t>(interpolation_shares_);
    const size_t first = input.size() * static_cast<size_t>(share) / shares;
    const size_t end = input.size() * static_cast<size_t>(share + 1) / shares;
    Interpolator copy = interpolator_;
    copy.push_history(input.first(first));
    copy.process(input.subspan(first, end - first),
                 std::span<ComplexSample>(buffers_.interpolated_buffer)
                     .subspan(first * factor, (end - first) * factor));
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
            return as_bytes(b.slots[front_slot_].frame_buffer);
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
    return buffers_.slots[output_slot_].time_buffer;
}

}  // namespace terramod
