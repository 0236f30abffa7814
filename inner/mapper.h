// Constellation mapping of EN 300 744 clause 4.3.5: QPSK, 16QAM and 64QAM,
// uniform or non-uniform (alpha 2, 4), Gray mapped, unit mean energy.
#pragma once

#include <cstdint>

#include "tx/log.h"
#include "tx/tx_types.h"

namespace terramod {

class Mapper {
  public:
    Mapper(Log& log, Constellation constellation, Hierarchy hierarchy);

    void map_symbols(const uint8_t* input, ComplexSample* output, int32_t length);

    // The table in use: 2^bits_per_cell points, indexed by symbol value.
    const ComplexSample* table() const { return table_; }
    int32_t table_size() const { return symbol_mask_ + 1; }

    // One of the seven constellation tables; throws std::invalid_argument for
    // values outside the enumerations.
    static const ComplexSample* constellation_table(Constellation constellation,
                                                    Hierarchy hierarchy);

  private:
    Log& log_;
    Constellation constellation_;
    const ComplexSample* table_;
    int32_t symbol_mask_;  // table size - 1
};

}  // namespace terramod
