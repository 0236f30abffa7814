// Symbol inner interleaver of EN 300 744 clause 4.3.4.2: permutes the data
// cells of each OFDM symbol by H(q), scattering on even and gathering on odd
// symbol numbers within the frame.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "dvbt/dvbt.h"

namespace terramod {

class SymbolInterleaver {
  public:
    // Builds both directions of H(q) for the mode. Counts the symbols it
    // interleaves itself: the first is symbol `first_symbol_index` of a frame.
    explicit SymbolInterleaver(OfdmMode mode, int32_t first_symbol_index = 0);

    // Whole OFDM symbols of data_carrier_count cells (as many as both spans
    // hold).
    void process(std::span<const uint8_t> input, std::span<uint8_t> output);

    // The frame symbol index (0..67) of the next symbol to be interleaved.
    int32_t next_symbol_index() const { return next_symbol_index_; }

    // H(q) for the mode: data_carrier_count entries.
    static std::vector<int32_t> permutation(OfdmMode mode);

  private:
    OfdmMode mode_;
    int32_t next_symbol_index_;
    // Odd symbols gather through H, even symbols through H^-1.
    // 16-bit positions (fewer than 2^16 cells): both tables and a symbol's
    // cells stay in the first-level cache together.
    std::vector<uint16_t> gather_odd_;
    std::vector<uint16_t> gather_even_;
};

}  // namespace terramod
