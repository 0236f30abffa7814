// The DVB-T chain of one run: every stage in the order of EN 300 744, and the
// buffers between them. The driver hands it one block of transport stream
// per cycle; it computes, and writes only the stages' progress texts.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "common/log.h"
#include "dvbt/dvbt.h"
#include "inner/bit_interleaver.h"
#include "inner/mapper.h"
#include "inner/symbol_interleaver.h"
#include "ofdm/arithmetic.h"
#include "ofdm/bb_if_shift.h"
#include "ofdm/dac_output.h"
#include "ofdm/fast_ifft.h"
#include "ofdm/frame_builder.h"
#include "ofdm/ifft.h"
#include "ofdm/precise_ifft.h"
#include "ofdm/sample_stage.h"
#include "ofdm/symbol_window.h"
#include "tx/stream_coder.h"
#include "tx/tx_types.h"
#include "tx/worker_pool.h"

namespace terramod {

// The buffers of one cycle from the frame builder to the transform. A chain
// that runs the front of one cycle beside the back of the cycle before has
// two (with interpolation the base-rate samples live only inside the back,
// which runs one cycle at a time: the first slot's serve both).
struct SignalSlot {
    std::vector<ComplexSample> frame_buffer;
    std::vector<ComplexSample> time_buffer;
};

// The buffers of the chain after the streams' coders, allocated once
// zero-filled, each exactly one cycle of its stage's output.
struct StageBuffers {
    std::vector<uint8_t> bit_interleaved_buffer;
    std::vector<uint8_t> symbol_interleaved_buffer;
    std::vector<ComplexSample> mapped_buffer;
    std::vector<SignalSlot> slots;
    // Only with interpolation: one for every slot (the back of the next
    // cycle interpolates only once this cycle's samples are written).
    std::vector<ComplexSample> interpolated_buffer;
    // Only for BB IF with interpolation: the base-rate samples at zero IF.
    std::vector<ComplexSample> zero_if_buffer;

    // Allocates every buffer in the chain's order; throws std::bad_alloc.
    void allocate(const BlockSizes& sizes, int32_t interpolation_factor, bool bb_if,
                  bool symbol_by_symbol, int32_t slot_count);
};

// The signal-quality options of the transform and after it. Set them by
// name (options.arithmetic = ..., or TransformOptions{.arithmetic = ...}),
// never by position: a field added in between must not shift the others.
struct TransformOptions {
    // --arithmetic: kPrecise the FFTW transform in double (--precise), kFast
    // the transform and the interpolator in single precision.
    Arithmetic arithmetic = Arithmetic::kExact;
    int32_t window_length = 0;  // --window N: 0 (off) .. guard / 4
    int32_t threads = 1;        // --threads: the transform runs its symbols side by side
    // The dumps the run writes: without v and p the encoder, puncturer and
    // bit interleaver carry the bits packed (the same cells follow).
    DumpSelection dumps = kEveryDump;
    // The SIMD kernels of the transform and the interpolator (null: the
    // widest this CPU runs; every set gives the same bits).
    const SimdKernels* kernels = nullptr;
    // Two sets of the buffers after the mapper, so that the front of the
    // next cycle can be computed while the back of this one is.
    bool overlap_cycles = false;
    // The stages after interpolation, in this order, on the samples at the
    // output rate (none by default).
    std::vector<std::shared_ptr<SampleStage>> after_interpolation;
};

class TxChain {
  public:
    // Builds every stage's tables and allocates the buffers; throws
    // std::bad_alloc (std::runtime_error for --precise without FFTW).
    // interpolation_factor: 1 (none), 2 or 4.
    TxChain(const DvbtSettings& settings, int32_t interpolation_factor, const BlockSizes& sizes,
            const TransformOptions& options = {});
    // Waits for a back still running on the worker threads.
    ~TxChain();
    TxChain(const TxChain&) = delete;
    TxChain& operator=(const TxChain&) = delete;

    // Where the cycle's transport stream goes before run_outer.
    std::span<uint8_t> input_block() { return hp_.input_block(); }
    // Hierarchical transmission: where the LP stream's block goes (empty
    // with one stream).
    std::span<uint8_t> lp_input_block() { return lp_ ? lp_->input_block() : std::span<uint8_t>(); }
    bool two_streams() const { return lp_ != nullptr; }

    // Sync inversion and energy dispersal, Reed-Solomon, outer interleaving.
    void run_outer(Log& log);
    // Encoder and puncturer, bit and symbol interleavers, mapper, frame
    // builder, IFFT and guard, symbol windowing, interpolation.
    void run_inner(Log& log) {
        run_front(log);
        start_back();
        finish_back(log);
    }

    // run_inner in two halves. The front: encoder to frame builder, into the
    // next set of buffers.
    void run_front(Log& log);
    // The back of the cycle whose front ran last: IFFT and guard, windowing,
    // interpolation. start_back hands it to the worker threads and returns;
    // finish_back takes part, waits for its end and writes its text.
    // With overlap_cycles the next run_front may run in between, and the
    // samples of the cycle before may be written: with hold_output the
    // interpolation waits for output_written().
    void start_back(bool hold_output = false);
    void output_written() { back_job_.open_gate(); }
    void finish_back(Log& log);

    // Whether the coded and punctured bits go packed (their dumps are empty).
    bool packed_bits() const { return packed_bits_; }

    // The buffer a dump letter (e .. f) writes, as bytes.
    std::span<const uint8_t> stage_bytes(DumpStage stage) const;
    // The LP stream's buffer of a dump letter e .. p (empty otherwise).
    std::span<const uint8_t> lp_stage_bytes(DumpStage stage) const {
        return lp_ ? lp_->stage_bytes(stage) : std::span<const uint8_t>();
    }
    // The chain's end: the time-domain samples at the output rate, of the
    // cycle whose back finished last.
    std::span<const ComplexSample> output_samples() const;
    int32_t interpolation_factor() const {
        return interpolator_.factor() ? interpolator_.factor() : 1;
    }

    // The names of the back's stages that run, in their order.
    std::vector<const char*> back_stage_names() const;

    // The last OFDM symbol built.
    const SymbolPosition& last_symbol() const { return frame_builder_.last_symbol(); }

    // At the end of the run: how many packets did not start with the sync
    // byte, when any did (level 1).
    void report_unsynced_packets(Log& log) const;

  private:
    // A stage of the back: its tasks may run side by side, each stage starts
    // once every task of the stages before it has finished.
    struct BackStage {
        const char* name;
        int32_t tasks;
        std::function<void(int32_t task)> run;
    };
    void plan_back(const std::vector<std::shared_ptr<SampleStage>>& after);
    void add_back_stage(const char* name, int32_t tasks, std::function<void(int32_t)> run);
    void transform_symbol(int32_t symbol);
    std::span<ComplexSample> base_rate_samples();
    std::span<ComplexSample> back_output_samples();
    std::span<const ComplexSample> interpolator_input() const;
    void interpolate_share(int32_t share);
    void encode_puncture_and_interleave_bits(Log& log);
    void map_and_frame_each_symbol(std::span<ComplexSample> frame);

    DvbtSettings settings_;
    bool packed_bits_;
    // Without the s and m dumps the symbol interleaver takes one symbol at a
    // time, through the first symbol's room of its buffer, and the frame
    // builder maps its cells as it places them.
    bool symbol_by_symbol_;
    // Constructed in the order of the start-up: the stream's coder (and the
    // LP stream's, further down), IFFT tables, interpolator, then the stages
    // without a start-up step.
    StreamCoder hp_;
    Ifft ifft_;
    // --precise or --arithmetic fast: replaces ifft_'s transform (chosen
    // here, once).
    std::unique_ptr<PreciseIfft> precise_ifft_;
    std::unique_ptr<FastIfft> fast_ifft_;
    Interpolator interpolator_;
    // --window N.
    std::optional<SymbolWindow> symbol_window_;
    // BB IF with interpolation: down to zero IF before the interpolator, up
    // by half the base rate after it.
    std::optional<BasebandIfShifter> bb_if_shifter_;
    BitInterleaver bit_interleaver_;
    SymbolInterleaver symbol_interleaver_;
    Mapper mapper_;
    FrameBuilder frame_builder_;
    StageBuffers buffers_;
    std::unique_ptr<StreamCoder> lp_;      // hierarchical transmission only
    std::unique_ptr<WorkerPool> workers_;  // with more than one thread
    // The slot the next run_front fills, the one it filled last, and those
    // the back works on and finished last.
    int32_t fill_slot_ = 0;
    int32_t front_slot_ = 0;
    int32_t back_slot_ = 0;
    int32_t output_slot_ = 0;
    bool back_started_ = false;
    // The back's stages that run, in order, and their task counts; the
    // stages from back_gated_stage_ on write the output samples and, with
    // hold_output, wait for output_written() (past the last: none do).
    std::vector<BackStage> back_stages_;
    std::vector<int32_t> back_tasks_;
    int32_t back_gated_stage_ = INT32_MAX;
    int32_t interpolation_shares_ = 1;
    PhasedJob back_job_;
};

}  // namespace terramod
