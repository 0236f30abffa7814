// OFDM frame building (EN 300 744 clause 4.5): lays out every carrier of each
// symbol as scattered pilot, continual pilot, TPS cell or data cell, and
// counts the symbols, frames and superframes it builds.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "dvbt/dvbt.h"
#include "ofdm/tps.h"

namespace terramod {

class FrameBuilder {
  public:
    explicit FrameBuilder(const DvbtSettings& settings);

    // Whole symbols: data_carrier_count input cells give carrier_count output
    // cells each (as many symbols as both spans hold).
    void process(std::span<const ComplexSample> input, std::span<ComplexSample> output);

    // The same for one symbol whose data cells are given as constellation
    // indices: data cell i is points[index[i] & (point_count - 1)], the
    // mapper's table (point_count a power of two). Mapping and framing in
    // one pass, without the mapped cells in between.
    void process_mapped(std::span<const uint8_t> indices, std::span<const ComplexSample> points,
                        std::span<ComplexSample> output);

    // The position of the last symbol built. Before the first, symbol 67 of
    // frame 3 of superframe -1, so that the first symbol of a run is symbol 0
    // of frame 0 of superframe 0.
    const SymbolPosition& last_symbol() const { return last_symbol_; }

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
    void advance_position();
    void build_symbol(const ComplexSample* input, ComplexSample* output);
    // Pilots and TPS cells of the symbol just counted.
    void add_pilots_and_tps_cells(ComplexSample* output);

    OfdmMode mode_;
    SymbolPosition last_symbol_{kSymbolsPerFrame - 1, kFramesPerSuperframe - 1, -1};
    TpsWord tps_;
    std::array<float, 68> tps_carrier_state_{};

    std::array<SymbolLayout, 4> layouts_;  // indexed by l mod 4
    // Symbol-0 value of each TPS carrier, 2(1/2 - w_k).
    std::array<float, 68> tps_reference_value_{};
};

}  // namespace terramod
