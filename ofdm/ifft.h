// OFDM modulation: carrier placement (zero IF or BB IF), an in-place radix-2
// inverse FFT with recurrence twiddles (no 1/N), and the cyclic prefix.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "dvbt/dvbt.h"
#include "ofdm/simd_kernels.h"

namespace terramod {

struct TwiddleSeeds {
    float cos1, sin1, cos2, sin2, twice_cos;
};

class Ifft {
  public:
    // Builds the bit-reversal table and the per-stage seeds (ifft_init). The
    // kernels only choose the vector width: every set gives the same bits.
    Ifft(OfdmMode mode, GuardInterval guard_interval, FrequencyMapping mapping,
         const SimdKernels& kernels = best_kernels());

    // Whole symbols: carrier_count input cells give fft_size + guard output
    // samples each (as many symbols as both spans hold).
    void process(std::span<const ComplexSample> input, std::span<ComplexSample> output);

    // Seeds of stage s = 1..fft_log2 at index s - 1.
    const std::vector<TwiddleSeeds>& seeds() const { return seeds_; }
    int32_t guard_length() const { return guard_length_; }
    // The cell that bin b receives under the frequency mapping, or -1.
    int32_t placement_cell(int32_t bin) const;

  private:
    void build_placement();
    // Places the symbol's cells into the bins in bit-reversed order and
    // transforms them in place (radix 2, fft_size bins).
    void transform(const ComplexSample* cells, ComplexSample* bins) const;
    // Runs the twiddle recurrence of every stage once (see ifft.cpp).
    void build_twiddles();

    OfdmMode mode_;
    FrequencyMapping mapping_;
    int32_t guard_length_;
    const SimdKernels* kernels_;
    std::vector<int32_t> bit_reverse_table_;
    std::vector<TwiddleSeeds> seeds_;
    // The carrier placement as the first pass reads it (kGatherBlocks): the
    // cell that each position of the transform receives, or -1 for an unused
    // bin (zero).
    std::vector<int32_t> gather_cells_;
    // Twiddle j of stage s at index 2^(s-1) - 1 + j: the real part as the
    // float the recurrence gives (held as a double, exactly), the imaginary
    // part in double precision.
    std::vector<double> twiddle_re_;
    std::vector<double> twiddle_im_;
};

}  // namespace terramod
