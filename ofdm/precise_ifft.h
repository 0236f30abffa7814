// The --precise OFDM modulator: the same carrier placement and cyclic prefix
// as Ifft, but the inverse DFT (no 1/N) computed by FFTW in double precision
// with exact twiddles, each sample rounded to float once at the end.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "dvbt/dvbt.h"
#include "ofdm/ifft.h"

namespace terramod {

class PreciseIfft {
  public:
    // Whether this build has FFTW; without it no PreciseIfft can be made.
    static bool available();

    // Takes the carrier placement and guard length of `ifft` and makes the
    // FFTW plan once (FFTW_ESTIMATE | FFTW_NO_SIMD: no timing measurements
    // and only the scalar codelets, so the plan, and with it the order of the
    // double operations, is the same on every run whatever vector unit the
    // processor has; a different FFTW build may still round differently).
    // Throws std::bad_alloc; std::runtime_error without FFTW.
    explicit PreciseIfft(const Ifft& ifft, OfdmMode mode);
    ~PreciseIfft();
    PreciseIfft(const PreciseIfft&) = delete;
    PreciseIfft& operator=(const PreciseIfft&) = delete;

    // Whole symbols, as Ifft::process: carrier_count cells in,
    // fft_size + guard samples out per symbol.
    void process(std::span<const ComplexSample> cells, std::span<ComplexSample> samples);

  private:
    struct Plan;  // the FFTW plan and its two double buffers
    int32_t size_;
    int32_t carriers_;
    int32_t guard_length_;
    // Bin b receives cell bin_cell_[b] (-1: an unused bin, zero).
    std::vector<int32_t> bin_cell_;
    std::unique_ptr<Plan> plan_;
};

}  // namespace terramod
