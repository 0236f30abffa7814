// The interpolator's oracle: polyphase interpolation written out literally.
#pragma once

#include <vector>

#include "dvbt/dvbt.h"
#include "ofdm/dac_output.h"

namespace terramod {

// Polyphase interpolation written out literally: one delay line per branch,
// shifted per input sample, sums in tap order. The oracle for the product.
inline std::vector<ComplexSample> reference_interpolate(int factor,
                                                        const std::vector<ComplexSample>& in) {
    const float* h = factor == 2 ? interp_filter_2x.data() : interp_filter_4x.data();
    const int tap_counts[4] = {15, 16, 16, 16};
    std::vector<ComplexSample> out(in.size() * factor);
    for (int branch = 0; branch < factor; ++branch) {
        const int r = factor - 1 - branch;
        const int taps = tap_counts[branch];
        std::vector<ComplexSample> delay(64, ComplexSample{0.0f, 0.0f});
        for (size_t j = 0; j < in.size(); ++j) {
            for (int p = taps - 1; p > 0; --p) delay[p] = delay[p - 1];
            delay[0] = in[j];
            float re = 0.0f, im = 0.0f;
            for (int k = 0; k < taps; ++k) {
                re = static_cast<float>((double)h[factor * k + r] * (double)delay[k].re +
                                        (double)re);
                im = static_cast<float>((double)h[factor * k + r] * (double)delay[k].im +
                                        (double)im);
            }
            out[factor * j + r] = {re, im};
        }
    }
    return out;
}

}  // namespace terramod
