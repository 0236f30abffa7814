// OFDM modulation: carrier placement (zero IF or BB IF), an in-place radix-2
// inverse FFT with recurrence twiddles (no 1/N), and the cyclic prefix.
#pragma once

#include <cstdint>
#include <vector>

#include "tx/log.h"
#include "tx/tx_types.h"

namespace terramod {

struct TwiddleSeeds {
    float cos1, sin1, cos2, sin2, twice_cos;
};

class Ifft {
  public:
    // Builds the bit-reversal table and the per-stage seeds (ifft_init).
    Ifft(Log& log, const TxConfig& config);

    // count: input cells, a multiple of carrier_count; writes
    // (fft_size + guard) samples per symbol.
    void ifft_and_guard(const ComplexSample* input, ComplexSample* output, int32_t count);

    // Seeds of stage s = 1..fft_log2 at index s - 1.
    const std::vector<TwiddleSeeds>& seeds() const { return seeds_; }
    int32_t guard_length() const { return guard_length_; }

  private:
    // Writes the symbol's cells into the bins in bit-reversed order.
    void place_carriers(const ComplexSample* cells, ComplexSample* bins) const;
    // In-place radix-2 transform of fft_size bins.
    void transform(ComplexSample* bins) const;

    Log& log_;
    OfdmMode mode_;
    FrequencyMapping mapping_;
    int32_t guard_length_;
    std::vector<int32_t> bit_reverse_table_;
    std::vector<TwiddleSeeds> seeds_;
};

}  // namespace terramod
