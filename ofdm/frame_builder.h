// OFDM frame building (EN 300 744 clause 4.5): lays out every carrier of each
// symbol as scattered pilot, continual pilot, TPS cell or data cell, and
// advances the frame counters.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

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

    // The TPS word of the current frame and the real part last sent on each
    // TPS carrier (in tps_carriers order).
    const TpsWord& tps_word() const { return tps_; }
    const std::array<float, 68>& tps_carrier_state() const { return tps_carrier_state_; }

  private:
    // A pilot cell of a symbol layout: carrier and real part.
    struct PilotCell {
        int32_t carrier;
        float value;
    };
    // Consecutive data carriers: first carrier and how many.
    struct DataRun {
        int32_t first_carrier;
        int32_t length;
    };
    // The carrier layout shared by all symbols with the same l mod 4.
    struct SymbolLayout {
        std::vector<PilotCell> pilots;
        std::vector<DataRun> data_runs;
    };

    void build_layouts();
    void advance_counters();
    void build_symbol(const ComplexSample* input, ComplexSample* output);

    Log& log_;
    OfdmMode mode_;
    FrameCounters& counters_;
    TpsWord tps_;
    std::array<float, 68> tps_carrier_state_{};

    std::array<SymbolLayout, 4> layouts_;  // indexed by l mod 4
    // Symbol-0 value of each TPS carrier, 2(1/2 - w_k).
    std::array<float, 68> tps_reference_value_{};
};

}  // namespace terramod
