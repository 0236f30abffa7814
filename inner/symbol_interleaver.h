// Symbol inner interleaver of EN 300 744 clause 4.3.4.2: permutes the data
// cells of each OFDM symbol by H(q), scattering on even and gathering on odd
// symbol numbers within the frame.
#pragma once

#include <cstdint>
#include <vector>

#include "tx/log.h"
#include "tx/tx_types.h"

namespace terramod {

class SymbolInterleaver {
  public:
    // Reads counters.frame_symbol_index at the start of every call; never
    // writes it (the frame builder advances it).
    SymbolInterleaver(Log& log, OfdmMode mode, const FrameCounters& counters);

    // length: cells, a multiple of data_carrier_count.
    void symbol_interleave(const uint8_t* input, uint8_t* output, int32_t length);

    // H(q) for the mode: data_carrier_count entries.
    static const std::vector<int32_t>& permutation(OfdmMode mode);

  private:
    static const std::vector<int32_t>& inverse_permutation(OfdmMode mode);

    Log& log_;
    OfdmMode mode_;
    const FrameCounters& counters_;
};

}  // namespace terramod
