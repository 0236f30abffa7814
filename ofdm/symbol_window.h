// OFDM symbol windowing (--window N): a raised-cosine transition of N samples
// between consecutive symbols, inside the guard interval, which lowers the
// spectrum's shoulders.
//
// Symbol q is stored as its cyclic prefix (G samples) followed by its useful
// part u_q[0 .. fft_size). The previous symbol, continued cyclically past its
// end, would go on with u_{q-1}[0], u_{q-1}[1], ... The first N samples of
// symbol q's prefix become the cross-fade
//
//   out[i] = f32(rising[i] * s_q[i] + falling[i] * u_{q-1}[i]),  i = 0 .. N-1,
//
// per component, the two products and their sum in double, one rounding to
// float. The weights, computed once in double:
//
//   c_i = cos(pi (i + 0.5) / N) for i < N / 2, c_{N-1-i} = -c_i (the middle
//   one, for odd N, is 0),
//   rising[i] = 0.5 - 0.5 c_i,  falling[i] = 0.5 + 0.5 c_i = rising[N-1-i].
//
// rising[i] + falling[i] = 1 to within one rounding of a double. The samples
// after the first N are untouched, so N must stay well inside the guard
// interval: at most G / 4 (the receiver's FFT window must still find G - N
// samples free of the neighbouring symbols). Before the first symbol of the
// run the signal is silence: the first transition rises from zero.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "dvbt/dvbt.h"

namespace terramod {

class SymbolWindow {
  public:
    // The longest transition for a guard of guard_length samples.
    static int32_t max_length(int32_t guard_length) { return guard_length / 4; }

    // length: 1 .. max_length(guard); symbols of fft_size + guard samples.
    SymbolWindow(int32_t length, int32_t fft_size, int32_t guard_length);

    int32_t length() const { return length_; }
    const std::vector<double>& rising() const { return rising_; }
    const std::vector<double>& falling() const { return falling_; }

    // Windows the whole symbols of `samples` in place; the symbols continue
    // those of the previous call.
    void process(std::span<ComplexSample> samples);

  private:
    int32_t length_;
    int32_t fft_size_;
    int32_t guard_length_;
    std::vector<double> rising_;
    std::vector<double> falling_;
    // The first length_ useful samples of the last symbol windowed (zero
    // before the first).
    std::vector<ComplexSample> previous_start_;
};

}  // namespace terramod
