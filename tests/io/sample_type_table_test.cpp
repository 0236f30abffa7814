// The sample-type table drives everything about a type: its name, SigMF
// datatype, element size, scale and device stream format. The expectations
// here are written from the formats themselves, not read from the table.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "io/sample_types.h"

namespace terramod {
namespace {

struct TypeCase {
    SampleType type;
    const char* name;
    const char* sigmf_datatype;  // SigMF core:datatype for interleaved complex values
    int32_t bytes_per_sample;    // I and Q
    const char* device_format;   // SoapySDR's name, or null: refused for devices
    double full_scale;           // 0: floats as computed
};

const TypeCase kCases[] = {
    {kCf32, "cf32", "cf32_le", 2 * 4, "CF32", 0},
    {kCs16, "cs16", "ci16_le", 2 * 2, "CS16", 32767},
    {kCs8, "cs8", "ci8", 2 * 1, nullptr, 127},
};

TEST(SampleTypeTable, EveryRowDescribesItsTypeAndIsFoundByName) {
    ASSERT_EQ(sample_type_table().size(), std::size(kCases));
    for (const TypeCase& c : kCases) {
        SCOPED_TRACE(c.name);
        const SampleTypeDescription& row = sample_type_description(c.type);
        EXPECT_EQ(row.type, c.type);
        EXPECT_STREQ(row.name, c.name);
        EXPECT_STREQ(row.sigmf_datatype, c.sigmf_datatype);
        EXPECT_EQ(row.bytes_per_sample, c.bytes_per_sample);
        if (c.device_format)
            EXPECT_STREQ(row.device_format, c.device_format);
        else
            EXPECT_EQ(row.device_format, nullptr);
        EXPECT_EQ(row.full_scale, c.full_scale);
        EXPECT_EQ(row.scale_rule,
                  c.full_scale > 0 ? SampleScale::kBelowFullScale : SampleScale::kAsComputed);
        EXPECT_EQ(sample_type_named(c.name), c.type);
        EXPECT_EQ(is_device_stream_format(c.device_format ? c.device_format : "CS8"),
                  c.device_format != nullptr);
    }
    EXPECT_EQ(sample_type_named("cf64"), std::nullopt);
    EXPECT_EQ(device_sample_type_names(), "cf32 or cs16");
    EXPECT_EQ(device_stream_format_names(), "CF32 or CS16");
}

// 12 dB below full scale for a nominal RMS of 0.5: full scale x 0.251188643 x 2.
TEST(SampleTypeTable, ScaleFollowsTheRowsRule) {
    for (const TypeCase& c : kCases) {
        SCOPED_TRACE(c.name);
        const double expected = c.full_scale > 0 ? c.full_scale * 0.25118864315095801 * 2 : 1;
        EXPECT_NEAR(sample_scale(c.type, 12.0, 0.5), expected, 1e-9 * expected);
    }
}

// The encoder hands out bytes_per_sample bytes per sample in the row's
// layout, little-endian, and counts samples with a clipped component.
TEST(SampleTypeTable, EncoderWritesEachRowsLayout) {
    const std::vector<ComplexSample> samples = {{0.5f, -0.25f}, {2.0f, -3.0f}, {0.0f, 1.0f}};
    struct LayoutCase {
        SampleType type;
        double scale;
        std::vector<uint8_t> bytes;
        int64_t clipped;
    };
    std::vector<uint8_t> floats(samples.size() * 8);
    std::memcpy(floats.data(), samples.data(), floats.size());
    const LayoutCase layouts[] = {
        {kCf32, 1, floats, 0},
        // x 100: 50 -25 | 200 -300 | 0 100
        {kCs16, 100, {50, 0, 0xE7, 0xFF, 200, 0, 0xD4, 0xFE, 0, 0, 100, 0}, 0},
        // x 100 saturated at +-127: 50 -25 | 127 -127 | 0 100
        {kCs8, 100, {50, 0xE7, 127, 0x81, 0, 100}, 1},
    };
    for (const LayoutCase& c : layouts) {
        SCOPED_TRACE(sample_type_description(c.type).name);
        SampleEncoder encoder(c.type, c.scale, samples.size());
        const std::span<const uint8_t> bytes = encoder.encode(samples);
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.end()), c.bytes);
        EXPECT_EQ(
            bytes.size(),
            samples.size() * static_cast<size_t>(sample_type_description(c.type).bytes_per_sample));
        encoder.encode(samples);
        EXPECT_EQ(encoder.samples_encoded(), 6);
        EXPECT_EQ(encoder.samples_clipped(), 2 * c.clipped);
    }
}

}  // namespace
}  // namespace terramod
