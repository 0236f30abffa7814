// Transmission Parameter Signalling word of EN 300 744 clause 4.6: 68 bits
// per frame, s1..s53 from the parameters and frame number, s54..s67 the
// BCH(67,53) parity. With a cell identifier, s40..s47 carry one byte of it
// a frame and the length indicator is 31 (EN 300 744 V1.4.1 onwards).
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "dvbt/dvbt.h"

namespace terramod {

class TpsWord {
  public:
    explicit TpsWord(const DvbtSettings& settings);

    // Rebuilds tps_bits for the frame (0..3 within the superframe).
    void build_tps_word(int32_t frame_index);

    const std::array<uint8_t, 68>& tps_bits() const { return tps_bits_; }

  private:
    // Writes value into width bits from s_first_bit on, most significant first.
    void put_field(int first_bit, int width, uint32_t value);
    void append_bch_parity();

    Constellation constellation_;
    Hierarchy hierarchy_;
    CodeRate code_rate_;
    CodeRate lp_code_rate_;
    GuardInterval guard_interval_;
    OfdmMode mode_;
    std::optional<uint16_t> cell_id_;
    std::array<uint8_t, 68> tps_bits_{};
};

}  // namespace terramod
