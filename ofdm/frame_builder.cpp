// OFDM frame building, EN 300 744 clause 4.5.
//
// Scattered pilots stand at k = 3 (l mod 4) + 12p, so a symbol's layout
// depends only on l mod 4. The four layouts are merged once from the three
// sorted position sequences (scattered, continual, TPS); each symbol then
// writes its pilot cells, copies its data runs and sends its TPS cells.
#include "ofdm/frame_builder.h"

#include <algorithm>
#include <cstring>

namespace terramod {

namespace {

constexpr float kPilotAmplitude = 4.0f / 3.0f;  // 0x3FAAAAAB

float pilot_value(uint8_t w) {
    return w ? -kPilotAmplitude : kPilotAmplitude;
}

}  // namespace

FrameBuilder::FrameBuilder(const DvbtSettings& settings) : mode_(settings.mode), tps_(settings) {
    build_layouts();
    const auto& w = pilot_reference();
    const auto& tps_positions = tps_carriers();
    for (int32_t t = 0; t < tps_carrier_count[mode_]; ++t) {
        tps_reference_value_[t] = w[tps_positions[t]] ? -1.0f : 1.0f;
    }
}

// Merges the scattered pilot sequence and the two position tables with three
// cursors, carrier by carrier. The cursors stop at the mode's table length,
// so a cursor past its last entry never reads beyond the table.
void FrameBuilder::build_layouts() {
    const int32_t carriers = carrier_count[mode_];
    const int32_t continual_count = continual_pilot_count[mode_];
    const int32_t tps_count = tps_carrier_count[mode_];
    const auto& continual = continual_pilot_carriers();
    const auto& tps_positions = tps_carriers();
    const auto& w = pilot_reference();

    for (int32_t phase = 0; phase < 4; ++phase) {
        SymbolLayout& layout = layouts_[phase];
        int32_t scattered = 3 * phase;
        int32_t cp = 0;
        int32_t tp = 0;
        for (int32_t k = 0; k < carriers; ++k) {
            bool is_pilot = false;
            if (k == scattered) {
                is_pilot = true;
                scattered += 12;
            }
            if (cp < continual_count && k == continual[cp]) {
                is_pilot = true;
                ++cp;
            } else if (tp < tps_count && k == tps_positions[tp]) {
                ++tp;  // TPS cells are written per symbol
                continue;
            }
            if (is_pilot) {
                layout.pilots.push_back({k, pilot_value(w[k])});
            } else if (!layout.data_runs.empty() &&
                       layout.data_runs.back().first_carrier + layout.data_runs.back().length ==
                           k) {
                ++layout.data_runs.back().length;
            } else {
                layout.data_runs.push_back({k, 1});
            }
        }
    }
}

void FrameBuilder::advance_position() {
    last_symbol_.frame_symbol_index = (last_symbol_.frame_symbol_index + 1) % kSymbolsPerFrame;
    if (last_symbol_.frame_symbol_index != 0) return;
    last_symbol_.frame_index = (last_symbol_.frame_index + 1) % kFramesPerSuperframe;
    tps_.build_tps_word(last_symbol_.frame_index);
    if (last_symbol_.frame_index == 0) ++last_symbol_.superframe_index;
}

void FrameBuilder::build_symbol(const ComplexSample* input, ComplexSample* output) {
    const SymbolLayout& layout = layouts_[last_symbol_.frame_symbol_index % 4];
    for (const DataRun& run : layout.data_runs) {
        std::memcpy(output + run.first_carrier, input, sizeof(ComplexSample) * run.length);
        input += run.length;
    }
    add_pilots_and_tps_cells(output);
}

void FrameBuilder::add_pilots_and_tps_cells(ComplexSample* output) {
    const int32_t l = last_symbol_.frame_symbol_index;
    const SymbolLayout& layout = layouts_[l % 4];
    for (const PilotCell& pilot : layout.pilots) output[pilot.carrier] = {pilot.value, 0.0f};

    // DBPSK: symbol 0 sends the absolute reference 2(1/2 - w_k); symbol l
    // repeats the previous value for s_l = 0 and inverts it for s_l = 1.
    const int32_t tps_count = tps_carrier_count[mode_];
    const auto& tps_positions = tps_carriers();
    if (l == 0) {
        for (int32_t t = 0; t < tps_count; ++t) tps_carrier_state_[t] = tps_reference_value_[t];
    } else if (tps_.tps_bits()[l]) {
        for (int32_t t = 0; t < tps_count; ++t) tps_carrier_state_[t] = -tps_carrier_state_[t];
    }
    for (int32_t t = 0; t < tps_count; ++t) {
        output[tps_positions[t]] = {tps_carrier_state_[t], 0.0f};
    }
}

void FrameBuilder::process_mapped(std::span<const uint8_t> indices,
                                  std::span<const ComplexSample> points,
                                  std::span<ComplexSample> output) {
    const size_t data_cells = static_cast<size_t>(data_carrier_count[mode_]);
    const size_t carriers = static_cast<size_t>(carrier_count[mode_]);
    if (indices.size() < data_cells || output.size() < carriers || points.empty()) return;
    advance_position();
    const SymbolLayout& layout = layouts_[last_symbol_.frame_symbol_index % 4];
    const uint32_t mask = static_cast<uint32_t>(points.size() - 1);
    const uint8_t* index = indices.data();
    for (const DataRun& run : layout.data_runs) {
        ComplexSample* cell = output.data() + run.first_carrier;
        for (int32_t i = 0; i < run.length; ++i) cell[i] = points[index[i] & mask];
        index += run.length;
    }
    add_pilots_and_tps_cells(output.data());
}

void FrameBuilder::process(std::span<const ComplexSample> cells, std::span<ComplexSample> frame) {
    const size_t data_cells = static_cast<size_t>(data_carrier_count[mode_]);
    const size_t carriers = static_cast<size_t>(carrier_count[mode_]);
    // Whole symbols only: a trailing part-symbol (outside the driver's sizing)
    // is never read.
    const size_t symbols = std::min(cells.size() / data_cells, frame.size() / carriers);
    const ComplexSample* input = cells.data();
    ComplexSample* output = frame.data();
    for (size_t s = 0; s < symbols; ++s) {
        advance_position();
        build_symbol(input, output);
        input += data_cells;
        output += carriers;
    }
}

}  // namespace terramod
