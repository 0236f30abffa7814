// The sample types of the output for SDRs and files: 32-bit float I/Q pairs
// as the chain computes them, or signed 16-bit or 8-bit I/Q pairs scaled to a
// level below full scale.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "dvbt/dvbt.h"

namespace terramod {

enum SampleType : int32_t { kCf32 = 0, kCs16 = 1, kCs8 = 2 };

struct SampleTypeDescription {
    const char* name;            // as --sample-type takes it
    const char* sigmf_datatype;  // core:datatype of SigMF
    int32_t bytes_per_sample;    // one complex sample, I and Q
    int32_t full_scale;          // largest integer magnitude; 0 for floats
};

const SampleTypeDescription& sample_type_description(SampleType type);
std::optional<SampleType> sample_type_named(std::string_view name);

// The integer scale k = full scale x 10^(-backoff / 20) / nominal RMS.
double integer_sample_scale(SampleType type, double backoff_db, double nominal_rms);

// Writes the samples in the type's layout, little-endian; an integer is
// saturate(rint(value x scale)). Returns how many samples had a component
// saturated. `encoded` holds bytes_per_sample per sample.
int64_t encode_samples(SampleType type, double scale, std::span<const ComplexSample> samples,
                       std::span<uint8_t> encoded);

}  // namespace terramod
