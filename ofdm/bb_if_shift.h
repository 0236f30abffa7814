// BB IF with interpolation (-f BBIF with -F 2x or 4x). The BB IF spectrum is
// centred at half the base rate, where the interpolation filters would cut it
// away. So the base-rate samples are brought to zero IF, interpolated as zero
// IF is, and the result is moved up by half the base rate:
//
//   to zero IF:  x[n] (-1)^n: odd samples negated (exact);
//   back up:     y[m] e^{j pi m / P}, P the interpolation factor, m counted
//                over the whole run.
//
// For P = 2 the factors are 1, j, -1, -j: exact. For P = 4 the even m are
// those again; for odd m the factor is (wr, wi) with wr, wi = +-c,
// c = sqrt(2) / 2 as a double, and
//   re = f32(wr y.re - wi y.im),  im = f32(wr y.im + wi y.re),
// the products and the sum in double, one rounding to float.
#pragma once

#include <cstdint>
#include <span>

#include "dvbt/dvbt.h"

namespace terramod {

class BasebandIfShifter {
  public:
    // factor: the interpolation factor, 2 or 4.
    explicit BasebandIfShifter(int32_t factor) : factor_(factor) {}

    // Base-rate BB IF samples to zero IF (as many as both spans hold); the
    // samples continue those of the previous call.
    void to_zero_if(std::span<const ComplexSample> bb_if, std::span<ComplexSample> zero_if);
    // Interpolated zero-IF samples up by half the base rate, in place; the
    // samples continue those of the previous call.
    void up_by_half_base_rate(std::span<ComplexSample> samples);

  private:
    int32_t factor_;
    uint64_t base_index_ = 0;    // base-rate samples so far (parity counts)
    uint64_t output_index_ = 0;  // output samples so far (mod 2 factor counts)
};

}  // namespace terramod
