// Output shaping for the converter: Agilent 16-bit offset words, and polyphase
// FIR interpolation by two or four.
#pragma once

#include <array>
#include <cstdint>

#include "tx/tx_types.h"

namespace terramod {

// 8191 / (3.2 x RMS of one component) for the mode, as a float.
float compute_agilent_scale(OfdmMode mode);

class AgilentConverter {
public:
    explicit AgilentConverter(float agilent_scale) : scale_(agilent_scale) {}
    // Word = 8192 + trunc(scale x part), saturated to 0 .. 16383.
    void convert_agilent(const ComplexSample* input, uint16_t* dac_i, uint16_t* dac_q,
                         int32_t count) const;

private:
    float scale_;
};

class Interpolator {
public:
    // interpolator_init: P = 2 for kFormatInterpolated2x, 4 for
    // kFormatInterpolated4x; any other format gives an idle interpolator.
    explicit Interpolator(DacFormat format);

    int32_t factor() const { return factor_; }
    // Writes factor() x count samples.
    void interpolate(const ComplexSample* input, ComplexSample* output, int32_t count);

private:
    int32_t factor_ = 0;
};

}  // namespace terramod
