#include "tx/chain.h"

#include <climits>

namespace terramod {

namespace {

template <typename Element>
std::span<const uint8_t> as_bytes(const std::vector<Element>& buffer) {
    return {reinterpret_cast<const uint8_t*>(buffer.data()), buffer.size() * sizeof(Element)};
}

}  // namespace

void StageBuffers::allocate(const BlockSizes& sizes, int32_t interpolation_factor, bool bb_if,
                            bool symbol_by_symbol, int32_t slot_count) {
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

TxChain::TxChain(const DvbtSettings& settings, int32_t interpolation_factor,
                 const BlockSizes& sizes, const TransformOptions& options)
    : settings_(settings),
      // A cycle's punctured bits are whole bytes (whole symbols of cells
      // that come in multiples of eight); checked all the same.
      packed_bits_(!options.dumps[kDumpConvEncoder] && !options.dumps[kDumpPuncturer] &&
                   !settings.two_streams && sizes.punctured_bit_count % 8 == 0),
      symbol_by_symbol_(!options.dumps[kDumpSymbolInterleaver] && !options.dumps[kDumpMapper]),
      hp_("", settings.interleaver_init, settings.code_rate, StreamSizes::high_priority(sizes),
          packed_bits_),
      ifft_(settings.mode, settings.guard_interval, settings.frequency_mapping,
            options.kernels ? *options.kernels : best_kernels()),
      interpolator_(interpolation_factor, options.kernels ? *options.kernels : best_kernels(),
                    options.arithmetic),
      bit_interleaver_(settings.constellation),
      symbol_interleaver_(settings.mode),
      mapper_(settings.constellation, settings.hierarchy),
      frame_builder_(settings),
      back_job_([this](int32_t stage, int32_t task) { back_stages_[stage].run(task); }) {
    if (options.arithmetic == Arithmetic::kPrecise)
        precise_ifft_ = std::make_unique<PreciseIfft>(ifft_, settings.mode);
    if (options.arithmetic == Arithmetic::kFast)
        fast_ifft_ = std::make_unique<FastIfft>(
            ifft_, settings.mode, options.kernels ? *options.kernels : best_kernels());
    if (options.window_length > 0)
        symbol_window_.emplace(options.window_length, fft_size[settings.mode],
                               ifft_.guard_length());
    const bool bb_if_interpolated =
        settings.frequency_mapping == kBasebandIf && interpolator_.factor() > 1;
    if (bb_if_interpolated) bb_if_shifter_.emplace(interpolator_.factor());
    buffers_.allocate(sizes, interpolation_factor, bb_if_interpolated, symbol_by_symbol_,
                      options.overlap_cycles ? 2 : 1);
    if (settings.two_streams)
        lp_ = std::make_unique<StreamCoder>("LP ", settings.interleaver_init, settings.lp_code_rate,
                                            StreamSizes::low_priority(sizes),
                                            /*packed_bits=*/false);
    if (options.threads > 1) workers_ = std::make_unique<WorkerPool>(options.threads);
    plan_back(options.after_interpolation);
}

TxChain::~TxChain() {
    if (!back_started_ || !workers_) return;
    back_job_.open_gate();
    workers_->finish(back_job_);
}

void TxChain::run_outer(Log& log) {
    hp_.run_outer(log);
    if (lp_) lp_->run_outer(log);
}

void TxChain::encode_puncture_and_interleave_bits(Log& log) {
    StageBuffers& b = buffers_;
    hp_.run_encoder(log);
    if (lp_) {
        lp_->run_encoder(log);
        log.write(LogLevel::kStages, "Hierarchical bit interleaving ... ");
        bit_interleaver_.process_hierarchical(hp_.punctured_bits(), lp_->punctured_bits(),
                                              b.bit_interleaved_buffer);
    } else if (packed_bits_) {
        // Eight bits to a byte through the three stages; the same cells.
        log.write(LogLevel::kStages, "Bit interleaving ... ");
        bit_interleaver_.process_packed(hp_.punctured_bits(), 0, b.bit_interleaved_buffer);
    } else {
        log.write(LogLevel::kStages, "Bit interleaving ... ");
        bit_interleaver_.process(hp_.punctured_bits(), b.bit_interleaved_buffer);
    }
    log.write(LogLevel::kStages, "done.\n");
}

void TxChain::run_front(Log& log) {
    StageBuffers& b = buffers_;
    encode_puncture_and_interleave_bits(log);
    std::span<ComplexSample> frame = b.slots[fill_slot_].frame_buffer;
    if (symbol_by_symbol_) {
        // No s or m dump: each symbol goes through the symbol interleaver,
        // the mapper and the frame builder while its cells are in the cache,
        // the same operations on the same cells.
        log.write(LogLevel::kStages, "Symbol interleaving ... done.\n");
        log.write(LogLevel::kStages, "Mapping to %s ... done.\n",
                  kConstellationNames[settings_.constellation]);
        log.write(LogLevel::kStages, "Adding pilots & TPS ...");
        map_and_frame_each_symbol(frame);
        log.write(LogLevel::kStages, " done\n");
    } else {
        log.write(LogLevel::kStages, "Symbol interleaving ... ");
        symbol_interleaver_.process(b.bit_interleaved_buffer, b.symbol_interleaved_buffer);
        log.write(LogLevel::kStages, "done.\n");
        log.write(LogLevel::kStages, "Mapping to %s ...",
                  kConstellationNames[settings_.constellation]);
        mapper_.process(b.symbol_interleaved_buffer, b.mapped_buffer);
        log.write(LogLevel::kStages, " done.\n");
        log.write(LogLevel::kStages, "Adding pilots & TPS ...");
        frame_builder_.process(b.mapped_buffer, frame);
        log.write(LogLevel::kStages, " done\n");
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
// cycle whole. Stages that do not apply to the run are left out.
void TxChain::plan_back(const std::vector<std::shared_ptr<SampleStage>>& after) {
    const bool interpolating = interpolator_.factor() > 1;
    const int32_t symbols = static_cast<int32_t>(
        buffers_.slots[0].frame_buffer.size() / static_cast<size_t>(carrier_count[settings_.mode]));
    constexpr int32_t kSamplesPerShare = 16384;
    const int32_t samples = static_cast<int32_t>(buffers_.slots[0].time_buffer.size());
    interpolation_shares_ =
        workers_ ? std::max(1, (samples + kSamplesPerShare - 1) / kSamplesPerShare) : 1;

    add_back_stage("transform and guard", precise_ifft_ ? 1 : symbols,
                   [this](int32_t symbol) { transform_symbol(symbol); });
    if (symbol_window_)
        add_back_stage("symbol window", 1,
                       [this](int32_t) { symbol_window_->process(base_rate_samples()); });
    if (bb_if_shifter_)
        add_back_stage("to zero IF", 1, [this](int32_t) {
            bb_if_shifter_->to_zero_if(base_rate_samples(), buffers_.zero_if_buffer);
        });
    // From here on the stages write the output samples (with interpolation a
    // buffer that every cycle shares).
    if (interpolating) {
        back_gated_stage_ = static_cast<int32_t>(back_stages_.size());
        add_back_stage("interpolation", interpolation_shares_,
                       [this](int32_t share) { interpolate_share(share); });
        add_back_stage("interpolator history", 1,
                       [this](int32_t) { interpolator_.push_history(interpolator_input()); });
    }
    if (bb_if_shifter_)
        add_back_stage("up by half the base rate", 1, [this](int32_t) {
            bb_if_shifter_->up_by_half_base_rate(buffers_.interpolated_buffer);
        });
    const size_t output_size =
        interpolating ? buffers_.interpolated_buffer.size() : static_cast<size_t>(samples);
    for (const std::shared_ptr<SampleStage>& stage : after) {
        const int32_t tasks = stage->task_count(output_size);
        if (tasks > 0 && stage->starts_cycles())
            add_back_stage("after interpolation: start", 1,
                           [this, stage](int32_t) { stage->start_cycle(back_output_samples()); });
        add_back_stage("after interpolation", tasks, [this, stage, tasks](int32_t task) {
            stage->process(back_output_samples(), task, tasks);
        });
    }
}

void TxChain::add_back_stage(const char* name, int32_t tasks, std::function<void(int32_t)> run) {
    if (tasks <= 0) return;
    back_stages_.push_back({name, tasks, std::move(run)});
    back_tasks_.push_back(tasks);
}

std::vector<const char*> TxChain::back_stage_names() const {
    std::vector<const char*> names;
    for (const BackStage& stage : back_stages_) names.push_back(stage.name);
    return names;
}

void TxChain::start_back(bool hold_output) {
    back_slot_ = front_slot_;
    back_job_.reset(back_tasks_, hold_output ? back_gated_stage_ : INT32_MAX);
    back_started_ = true;
    if (workers_) workers_->start(back_job_);
}

void TxChain::finish_back(Log& log) {
    log.write(LogLevel::kStages, "Guarding, IFFTing & prefixing ...");
    if (back_started_) {
        back_job_.open_gate();  // the caller has written what it had to
        if (workers_)
            workers_->finish(back_job_);
        else
            back_job_.take_part();
        back_started_ = false;
        output_slot_ = back_slot_;
    }
    log.write(LogLevel::kStages, " done.\n");
}

// With interpolation only the first slot has base-rate samples.
std::span<ComplexSample> TxChain::base_rate_samples() {
    return interpolator_.factor() > 1 ? buffers_.slots[0].time_buffer
                                      : buffers_.slots[back_slot_].time_buffer;
}

// The samples at the output rate of the cycle the back works on.
std::span<ComplexSample> TxChain::back_output_samples() {
    if (interpolator_.factor() > 1) return buffers_.interpolated_buffer;
    return buffers_.slots[back_slot_].time_buffer;
}

// Symbol `symbol` of the cycle (with --precise, the whole cycle).
void TxChain::transform_symbol(int32_t symbol) {
    const std::span<const ComplexSample> frame = buffers_.slots[back_slot_].frame_buffer;
    const std::span<ComplexSample> time = base_rate_samples();
    if (precise_ifft_) {
        precise_ifft_->process(frame, time);
        return;
    }
    const size_t carriers = static_cast<size_t>(carrier_count[settings_.mode]);
    const size_t symbol_samples =
        static_cast<size_t>(fft_size[settings_.mode] + ifft_.guard_length());
    const size_t index = static_cast<size_t>(symbol);
    const std::span<const ComplexSample> cells = frame.subspan(index * carriers, carriers);
    const std::span<ComplexSample> samples = time.subspan(index * symbol_samples, symbol_samples);
    if (fast_ifft_)
        fast_ifft_->process(cells, samples);
    else
        ifft_.process(cells, samples);
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
    hp_.report_unsynced_packets(log);
    if (lp_) lp_->report_unsynced_packets(log);
}

std::span<const uint8_t> TxChain::stage_bytes(DumpStage stage) const {
    const StageBuffers& b = buffers_;
    switch (stage) {
        case kDumpEnergyDispersal:
        case kDumpReedSolomon:
        case kDumpOuterInterleaver:
        case kDumpConvEncoder:
        case kDumpPuncturer:
            return hp_.stage_bytes(stage);
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

std::span<const ComplexSample> TxChain::output_samples() const {
    if (interpolator_.factor() > 1) return buffers_.interpolated_buffer;
    return buffers_.slots[output_slot_].time_buffer;
}

}  // namespace terramod
