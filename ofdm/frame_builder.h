// OFDM frame building (EN 300 744 clause 4.5): lays out every carrier of each
// symbol as scattered pilot, continual pilot, TPS cell or data cell, and
// advances the frame counters.
#pragma once

#include <array>
#include <cstdint>

#include "ofdm/tps.h"
#include "tx/log.h"
#include "tx/tx_types.h"

namespace terramod {

class FrameBuilder {
public:
    FrameBuilder(Log& log, const TxConfig& config, FrameCounters& counters);

    // count: input data cells, a multiple of data_carrier_count; writes
    // carrier_count cells per symbol.
    void add_pilots_and_tps(const ComplexSample* input, ComplexSample* output, int32_t count);

    // Constant tables of the 8k mode; 2k uses their leading entries.
    static const std::array<int32_t, 177>& continual_pilot_carriers();
    static const std::array<int32_t, 68>& tps_carriers();
    static const std::array<uint8_t, 6817>& pilot_reference();

private:
    Log& log_;
    OfdmMode mode_;
    FrameCounters& counters_;
    TpsWord tps_;
    std::array<float, 68> tps_carrier_state_{};
};

}  // namespace terramod
