// The DVB-T chain of one run: every stage in the order of EN 300 744, and the
// buffers between them. The driver hands it one block of transport stream
// per cycle; it computes, and writes only the stages' progress texts.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "dvbt/dvbt.h"
#include "inner/bit_interleaver.h"
#include "inner/conv_encoder.h"
#include "inner/mapper.h"
#include "inner/symbol_interleaver.h"
#include "ofdm/bb_if_shift.h"
#include "ofdm/dac_output.h"
#include "ofdm/frame_builder.h"
#include "ofdm/ifft.h"
#include "ofdm/precise_ifft.h"
#include "ofdm/symbol_window.h"
#include "outer/energy_dispersal.h"
#include "outer/outer_interleaver.h"
#include "outer/reed_solomon.h"
#include "tx/log.h"
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
    std::vector<SignalSlot> slots;
    // Only with interpolation: one for every slot (the back of the next
    // cycle interpolates only once this cycle's samples are written).
    std::vector<ComplexSample> interpolated_buffer;
    // Only for BB IF with interpolation: the base-rate samples at zero IF.
    std::vector<ComplexSample> zero_if_buffer;

    // Allocates every buffer in the chain's order, the coded and punctured
    // bits one to a byte or packed; throws std::bad_alloc.
    void allocate(const BlockSizes& sizes, int32_t interpolation_factor, bool bb_if,
                  bool packed_bits, bool symbol_by_symbol, int32_t slot_count);
};

// The signal-quality options of the transform and after it.
struct TransformOptions {
    bool precise = false;       // --precise: the FFTW transform in double
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
};

// The low-priority stream of hierarchical transmission: its own sync
// inversion and energy dispersal, Reed-Solomon coder, outer interleaver,
// encoder and puncturer, and their buffers.
struct LowPriorityStream {
    LowPriorityStream(const DvbtSettings& settings, const BlockSizes& sizes);

    ReedSolomonEncoder reed_solomon;
    OuterInterleaver outer_interleaver;
    ConvEncoder conv_encoder;
    Puncturer puncturer;
    EnergyDispersal energy_dispersal;
    std::vector<uint8_t> ts_buffer;
    std::vector<uint8_t> rs_buffer;
    std::vector<uint8_t> outer_interleaved_buffer;
    std::vector<uint8_t> coded_buffer;
    std::vector<uint8_t> punctured_buffer;
};

// Packets of a stream checked for their sync byte, and those without it.
struct SyncCount {
    int64_t checked = 0;
    int64_t unsynced = 0;
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
    std::span<uint8_t> input_block() { return buffers_.ts_buffer; }
    // Hierarchical transmission: where the LP stream's block goes (empty
    // with one stream).
    std::span<uint8_t> lp_input_block() {
        return lp_ ? std::span<uint8_t>(lp_->ts_buffer) : std::span<uint8_t>();
    }
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
    std::span<const uint8_t> lp_stage_bytes(DumpStage stage) const;
    // The chain's end: the time-domain samples at the output rate, of the
    // cycle whose back finished last.
    std::span<const ComplexSample> output_samples() const;
    int32_t interpolation_factor() const {
        return interpolator_.factor() ? interpolator_.factor() : 1;
    }

    // The last OFDM symbol built.
    const SymbolPosition& last_symbol() const { return frame_builder_.last_symbol(); }

    // At the end of the run: how many packets did not start with the sync
    // byte, when any did (level 1).
    void report_unsynced_packets(Log& log) const;

  private:
    // The back's phases, in order; each runs as tasks over parts of a cycle.
    enum BackPhase : int32_t {
        kTransformPhase,     // one task per OFDM symbol (one in all with --precise)
        kWindowPhase,        // --window
        kToZeroIfPhase,      // BB IF with interpolation
        kInterpolatePhase,   // one task per share of the input
        kCarryHistoryPhase,  // the interpolator keeps the cycle's last samples
        kUpShiftPhase,       // BB IF with interpolation
    };
    void plan_back(bool precise);
    void run_back_task(int32_t phase, int32_t task);
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
    // Constructed in the order of the start-up: Reed-Solomon tables, outer
    // interleaver memories, encoder and puncturer, IFFT tables, interpolator,
    // then the stages without a start-up step.
    ReedSolomonEncoder reed_solomon_;
    OuterInterleaver outer_interleaver_;
    ConvEncoder conv_encoder_;
    Puncturer puncturer_;
    Ifft ifft_;
    // --precise: replaces ifft_'s transform (chosen here, once).
    std::unique_ptr<PreciseIfft> precise_ifft_;
    Interpolator interpolator_;
    // --window N.
    std::optional<SymbolWindow> symbol_window_;
    // BB IF with interpolation: down to zero IF before the interpolator, up
    // by half the base rate after it.
    std::optional<BasebandIfShifter> bb_if_shifter_;
    EnergyDispersal energy_dispersal_;
    BitInterleaver bit_interleaver_;
    SymbolInterleaver symbol_interleaver_;
    Mapper mapper_;
    FrameBuilder frame_builder_;
    StageBuffers buffers_;
    SyncCount hp_sync_;
    SyncCount lp_sync_;
    std::unique_ptr<LowPriorityStream> lp_;  // hierarchical transmission only
    std::unique_ptr<WorkerPool> workers_;    // with more than one thread
    // The slot the next run_front fills, the one it filled last, and those
    // the back works on and finished last.
    int32_t fill_slot_ = 0;
    int32_t front_slot_ = 0;
    int32_t back_slot_ = 0;
    int32_t output_slot_ = 0;
    bool back_started_ = false;
    // The back's phases with their task counts (0: the phase does not run).
    std::vector<int32_t> back_tasks_;
    int32_t interpolation_shares_ = 1;
    PhasedJob back_job_;
};

}  // namespace terramod
