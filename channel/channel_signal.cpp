#include "channel/channel_signal.h"

#include <algorithm>

#include "common/exact_math.h"
#include "ofdm/dac_output.h"

namespace terramod {

double nominal_output_power(OfdmMode mode, FrequencyMapping mapping, int32_t interpolation_factor) {
    const int32_t carriers = carrier_count[mode];
    const int32_t data = data_carrier_count[mode];
    const int32_t tps = tps_carrier_count[mode];
    // Pilots at 4/3 the amplitude (EN 300 744 clause 4.5.3), 16/9 the power.
    const double pilot_power = (carriers - data - tps) * (16.0 / 9.0);
    const double base_power = pilot_power + data + tps;
    if (interpolation_factor != 2 && interpolation_factor != 4) return base_power;

    const float* taps =
        interpolation_factor == 2 ? interp_filter_2x.data() : interp_filter_4x.data();
    const int32_t tap_count = interpolation_factor == 2 ? 31 : 63;
    const double size = fft_size[mode];
    double power_gain = 0;
    for (int32_t k = 0; k < carriers; ++k) {
        // Carrier k in cycles per base-rate sample, then per output sample.
        double frequency = (k - (carriers - 1) / 2) / size;
        if (mapping == kBasebandIf) frequency += 0.5;
        const double turns_per_tap = frequency / interpolation_factor;
        double re = 0, im = 0;
        for (int32_t n = 0; n < tap_count; ++n) {
            double sine = 0, cosine = 0;
            sincos_turns(turns_per_tap * n, sine, cosine);
            re += taps[n] * cosine;
            im -= taps[n] * sine;
        }
        power_gain += re * re + im * im;
    }
    return base_power * (power_gain / carriers) /
           (static_cast<double>(interpolation_factor) * interpolation_factor);
}

int32_t sample_task_count(size_t size) {
    constexpr size_t kSamplesPerTask = 32768;
    constexpr size_t kMaxTasks = 256;
    return static_cast<int32_t>(
        std::clamp<size_t>((size + kSamplesPerTask - 1) / kSamplesPerTask, 1, kMaxTasks));
}

}  // namespace terramod
