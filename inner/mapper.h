// Constellation mapping of EN 300 744 clause 4.3.5: QPSK, 16QAM and 64QAM,
// uniform or non-uniform (alpha 2, 4), Gray mapped, unit mean energy.
#pragma once

#include <cstdint>
#include <span>

#include "dvbt/dvbt.h"

namespace terramod {

class Mapper {
  public:
    Mapper(Constellation constellation, Hierarchy hierarchy);

    // One constellation point per symbol byte (as many as both spans hold).
    void process(std::span<const uint8_t> input, std::span<ComplexSample> output);

    // The table in use: 2^bits_per_cell points, indexed by symbol value.
    const ComplexSample* table() const { return table_; }
    int32_t table_size() const { return symbol_mask_ + 1; }

    // One of the seven constellation tables; throws std::invalid_argument for
    // values outside the enumerations.
    static const ComplexSample* constellation_table(Constellation constellation,
                                                    Hierarchy hierarchy);

  private:
    Constellation constellation_;
    const ComplexSample* table_;
    int32_t symbol_mask_;  // table size - 1
};

}  // namespace terramod
