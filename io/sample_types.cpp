#include "io/sample_types.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

namespace terramod {

namespace {

constexpr SampleTypeDescription kSampleTypes[] = {
    {"cf32", "cf32_le", 8, 0},
    {"cs16", "ci16_le", 4, 32767},
    {"cs8", "ci8", 2, 127},
};

// rint(value) saturated to +-full_scale; NaN gives 0. Sets `clipped` when the
// value lay beyond the range.
int32_t saturated_integer(double value, int32_t full_scale, bool& clipped) {
    if (std::isnan(value)) return 0;
    const double rounded = std::nearbyint(value);
    if (rounded > full_scale) {
        clipped = true;
        return full_scale;
    }
    if (rounded < -full_scale) {
        clipped = true;
        return -full_scale;
    }
    return static_cast<int32_t>(rounded);
}

template <typename Integer>
int64_t encode_integers(double scale, int32_t full_scale, std::span<const ComplexSample> samples,
                        uint8_t* out) {
    int64_t clipped_samples = 0;
    for (const ComplexSample& sample : samples) {
        bool clipped = false;
        const Integer pair[2] = {
            static_cast<Integer>(saturated_integer(double{sample.re} * scale, full_scale, clipped)),
            static_cast<Integer>(
                saturated_integer(double{sample.im} * scale, full_scale, clipped))};
        // Little-endian on every host: byte by byte.
        for (const Integer value : pair) {
            const auto bits = static_cast<std::make_unsigned_t<Integer>>(value);
            for (size_t byte = 0; byte < sizeof(Integer); ++byte)
                *out++ = static_cast<uint8_t>(bits >> (8 * byte));
        }
        clipped_samples += clipped;
    }
    return clipped_samples;
}

}  // namespace

const SampleTypeDescription& sample_type_description(SampleType type) {
    return kSampleTypes[type];
}

std::optional<SampleType> sample_type_named(std::string_view name) {
    for (int32_t type = kCf32; type <= kCs8; ++type)
        if (name == kSampleTypes[type].name) return static_cast<SampleType>(type);
    return std::nullopt;
}

double integer_sample_scale(SampleType type, double backoff_db, double nominal_rms) {
    return kSampleTypes[type].full_scale * std::pow(10.0, -backoff_db / 20.0) / nominal_rms;
}

int64_t encode_samples(SampleType type, double scale, std::span<const ComplexSample> samples,
                       std::span<uint8_t> encoded) {
    const size_t count =
        std::min(samples.size(), encoded.size() / kSampleTypes[type].bytes_per_sample);
    samples = samples.first(count);
    switch (type) {
        case kCf32:
            std::memcpy(encoded.data(), samples.data(), samples.size_bytes());
            return 0;
        case kCs16:
            return encode_integers<int16_t>(scale, kSampleTypes[type].full_scale, samples,
                                            encoded.data());
        case kCs8:
            return encode_integers<int8_t>(scale, kSampleTypes[type].full_scale, samples,
                                           encoded.data());
    }
    return 0;
}

}  // namespace terramod
