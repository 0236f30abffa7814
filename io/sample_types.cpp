#include "io/sample_types.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <type_traits>

namespace terramod {

namespace {

constexpr SampleTypeDescription kSampleTypes[] = {
    {kCf32, "cf32", "cf32_le", 8, SampleScale::kAsComputed, 0, "CF32"},
    {kCs16, "cs16", "ci16_le", 4, SampleScale::kBelowFullScale, 32767, "CS16"},
    // Not offered to devices: 8 bits leave too little room below full scale.
    {kCs8, "cs8", "ci8", 2, SampleScale::kBelowFullScale, 127, nullptr},
};

// sample_type_description() looks a type up by its value.
constexpr bool rows_in_type_order() {
    for (size_t row = 0; row < std::size(kSampleTypes); ++row)
        if (kSampleTypes[row].type != static_cast<SampleType>(row)) return false;
    return true;
}
static_assert(rows_in_type_order());

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

std::span<const SampleTypeDescription> sample_type_table() {
    return kSampleTypes;
}

const SampleTypeDescription& sample_type_description(SampleType type) {
    return kSampleTypes[type];
}

std::optional<SampleType> sample_type_named(std::string_view name) {
    for (const SampleTypeDescription& row : kSampleTypes)
        if (name == row.name) return row.type;
    return std::nullopt;
}

namespace {

// "a, b or c"
std::string listed(const std::vector<const char*>& names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += i + 1 == names.size() ? " or " : ", ";
        text += names[i];
    }
    return text;
}

}  // namespace

std::string device_sample_type_names() {
    std::vector<const char*> names;
    for (const SampleTypeDescription& row : kSampleTypes)
        if (row.device_format) names.push_back(row.name);
    return listed(names);
}

std::string device_stream_format_names() {
    std::vector<const char*> formats;
    for (const SampleTypeDescription& row : kSampleTypes)
        if (row.device_format) formats.push_back(row.device_format);
    return listed(formats);
}

bool is_device_stream_format(std::string_view format) {
    return std::any_of(std::begin(kSampleTypes), std::end(kSampleTypes),
                       [format](const SampleTypeDescription& row) {
                           return row.device_format && format == row.device_format;
                       });
}

double sample_scale(SampleType type, double backoff_db, double nominal_rms) {
    if (kSampleTypes[type].scale_rule == SampleScale::kAsComputed) return 1;
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

SampleEncoder::SampleEncoder(SampleType type, double scale, size_t samples_per_cycle)
    : description_(sample_type_description(type)), scale_(scale) {
    if (type != kCf32) encoded_.resize(samples_per_cycle * description_.bytes_per_sample);
}

std::span<const uint8_t> SampleEncoder::encode(std::span<const ComplexSample> samples) {
    samples_encoded_ += static_cast<int64_t>(samples.size());
    // The chain's floats are the cf32 layout on a little-endian host.
    if (description_.type == kCf32)
        return {reinterpret_cast<const uint8_t*>(samples.data()), samples.size_bytes()};
    samples_clipped_ += encode_samples(description_.type, scale_, samples, encoded_);
    return std::span<const uint8_t>(encoded_).first(
        std::min(encoded_.size(), samples.size() * description_.bytes_per_sample));
}

}  // namespace terramod
