// The literal carrier-by-carrier frame builder: one pass over the carriers
// with three cursors merging the scattered-pilot sequence and the continual
// pilot and TPS tables. The oracle of the table-driven FrameBuilder, and its
// benchmark baseline.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "dvbt/dvbt.h"
#include "ofdm/frame_builder.h"
#include "ofdm/tps.h"

namespace terramod {

// The carrier-by-carrier algorithm with three cursors, kept literal as the
// reference for the table-driven builder.
class ReferenceFrameBuilder {
  public:
    explicit ReferenceFrameBuilder(const DvbtSettings& config) : mode_(config.mode), tps_(config) {}

    void process(std::span<const ComplexSample> input, std::span<ComplexSample> output) {
        add_pilots_and_tps(input.data(), output.data(), static_cast<int32_t>(input.size()));
    }
    void add_pilots_and_tps(const ComplexSample* input, ComplexSample* output, int32_t count) {
        const auto& continual = FrameBuilder::continual_pilot_carriers();
        const auto& tps_positions = FrameBuilder::tps_carriers();
        const auto& w = FrameBuilder::pilot_reference();
        const int32_t carriers = carrier_count[mode_];
        int32_t in = 0;
        int32_t out = 0;
        while (in < count) {
            counters.frame_symbol_index = (counters.frame_symbol_index + 1) % 68;
            if (counters.frame_symbol_index == 0) {
                counters.frame_index = (counters.frame_index + 1) % 4;
                tps_.build_tps_word(counters.frame_index);
                if (counters.frame_index == 0) ++counters.superframe_index;
            }
            const int32_t l = counters.frame_symbol_index;
            int32_t sp = 3 * (l % 4);
            size_t cp = 0;
            size_t tp = 0;
            for (int32_t k = 0; k < carriers; ++k) {
                const float pilot = w[k] ? -4.0f / 3.0f : 4.0f / 3.0f;
                bool is_data = true;
                if (k == sp) {
                    output[out] = {pilot, 0.0f};
                    sp += 12;
                    is_data = false;
                }
                if (cp < continual.size() && k == continual[cp]) {
                    output[out] = {pilot, 0.0f};
                    ++cp;
                } else if (tp < tps_positions.size() && k == tps_positions[tp]) {
                    float v;
                    if (l == 0) {
                        v = w[k] ? -1.0f : 1.0f;
                    } else {
                        v = tps_state[tp];
                        if (tps_.tps_bits()[l]) v = -v;
                    }
                    tps_state[tp] = v;
                    output[out] = {v, 0.0f};
                    ++tp;
                } else if (is_data) {
                    output[out] = input[in++];
                }
                ++out;
            }
        }
    }

    SymbolPosition counters{67, 3, -1};
    std::array<float, 68> tps_state{};

  private:
    OfdmMode mode_;
    TpsWord tps_;
};

}  // namespace terramod
