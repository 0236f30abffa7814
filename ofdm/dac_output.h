// Output shaping for the converter: Agilent 16-bit offset words, and polyphase
// FIR interpolation by two or four.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "dvbt/dvbt.h"
#include "ofdm/arithmetic.h"
#include "ofdm/simd_kernels.h"

namespace terramod {

// The interpolation filters, h[0..30] and h[0..62], as stored.
extern const std::array<float, 31> interp_filter_2x;
extern const std::array<float, 63> interp_filter_4x;

// 8191 / (3.2 x RMS of one component) for the mode, as a float.
float compute_agilent_scale(OfdmMode mode);

// The nominal RMS of the complex output samples: at the base rate the square
// root of the sum of one symbol's cell powers (the transform has no 1/N);
// interpolated by 2 or 4, that times the filter's RMS gain over the occupied
// carriers, |H| / P, with the carriers placed as the mapping places them.
double nominal_rms(OfdmMode mode, FrequencyMapping mapping, int32_t interpolation_factor);

class AgilentConverter {
  public:
    explicit AgilentConverter(float agilent_scale) : scale_(agilent_scale) {}
    // Word = 8192 + trunc(scale x part), saturated to 0 .. 16383 (as many
    // samples as all three spans hold).
    void convert_agilent(std::span<const ComplexSample> input, std::span<uint16_t> dac_i,
                         std::span<uint16_t> dac_q) const;

  private:
    float scale_;
};

class Interpolator {
  public:
    // interpolator_init: factor 2 or 4; any other factor gives an idle
    // interpolator (factor() 0). The kernels only choose the vector width.
    // Arithmetic::kFast sums in float (SimdKernels::fast_interpolate: each
    // phase's taps in order, products and sums rounded to float); the others
    // give the exact interpolator.
    explicit Interpolator(int32_t factor, const SimdKernels& kernels = best_kernels(),
                          Arithmetic arithmetic = Arithmetic::kExact);

    int32_t factor() const { return factor_; }
    // Writes factor() output samples per input sample (as many input samples
    // as the output holds).
    void process(std::span<const ComplexSample> input, std::span<ComplexSample> output);

    // Takes `samples` into the input history as if they had been
    // interpolated (without producing output): a copy of the interpolator so
    // primed with the samples before a share of the input makes exactly the
    // outputs of one pass over it.
    void push_history(std::span<const ComplexSample> samples);

    // Taps used by branch 0 .. factor() - 1 (branch i makes output phase
    // factor() - 1 - i).
    int32_t tap_count(int32_t branch) const { return tap_counts_[branch]; }

  private:
    // Input samples are taken in blocks of this many.
    static constexpr int32_t kBlock = 256;
    // Every branch sees the same input, so one history serves all their delay
    // lines: the last kHistory input samples (15 = longest tap count - 1).
    static constexpr int32_t kHistory = 15;

    // One branch's outputs for the block held in window_ after the history;
    // output points at the block's first output sample.
    void run_branch(int32_t branch, int32_t samples, ComplexSample* output) const;

    const SimdKernels* kernels_;
    int32_t factor_ = 0;
    const float* taps_ = nullptr;
    std::array<int32_t, 4> tap_counts_{};
    // The taps of each branch in summation order, as doubles.
    std::array<std::array<double, 16>, 4> branch_taps_{};
    // [re, im] doubles of the history followed by the current block's input;
    // starts zero (the delay lines are zero at start-up).
    alignas(16) std::array<double, 2 * (kHistory + kBlock)> window_{};

    // The fast arithmetic: phase r's taps at 16 r (taps r, r + P, ...), their
    // counts, and the window as floats.
    bool fast_ = false;
    std::array<float, 64> fast_taps_{};
    std::array<int32_t, 4> fast_counts_{};
    alignas(16) std::array<float, 2 * (kHistory + kBlock)> fast_window_{};
};

}  // namespace terramod
