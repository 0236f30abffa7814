// The sample types of the output for SDRs and files: 32-bit float I/Q pairs
// as the chain computes them, or signed 16-bit or 8-bit I/Q pairs scaled to a
// level below full scale. One row of the table in sample_types.cpp holds all
// there is to know about a type; a new type is a row there, its value here
// and its case in SampleEncoder::encode.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dvbt/dvbt.h"

namespace terramod {

enum SampleType : int32_t { kCf32 = 0, kCs16 = 1, kCs8 = 2 };

// How the chain's float samples are brought to a type.
enum class SampleScale {
    kAsComputed,      // the floats as they are
    kBelowFullScale,  // x full scale x 10^(-backoff / 20) / nominal RMS, rounded, saturated
};

struct SampleTypeDescription {
    SampleType type;
    const char* name;            // as --sample-type takes it
    const char* sigmf_datatype;  // core:datatype of SigMF
    int32_t bytes_per_sample;    // one complex sample, I and Q
    SampleScale scale_rule;
    int32_t full_scale;         // largest integer magnitude; 0 for floats
    const char* device_format;  // the SoapySDR stream format; null: not sent to a device
};

// Every row, in the order of the SampleType values.
std::span<const SampleTypeDescription> sample_type_table();
const SampleTypeDescription& sample_type_description(SampleType type);
std::optional<SampleType> sample_type_named(std::string_view name);
// The names of the types a device streams, as a message lists them: "cf32 or cs16".
std::string device_sample_type_names();
// Their stream formats: "CF32 or CS16"; whether `format` is one of them.
std::string device_stream_format_names();
bool is_device_stream_format(std::string_view format);

// The scale from the chain's floats to the type: 1 for floats, else
// k = full scale x 10^(-backoff / 20) / nominal RMS.
double sample_scale(SampleType type, double backoff_db, double nominal_rms);

// Writes the samples in the type's layout, little-endian; an integer is
// saturate(rint(value x scale)). Returns how many samples had a component
// saturated. `encoded` holds bytes_per_sample per sample.
int64_t encode_samples(SampleType type, double scale, std::span<const ComplexSample> samples,
                       std::span<uint8_t> encoded);

// Encodes cycle after cycle into a buffer of its own (a float type is handed
// out as the chain's own bytes) and counts what it encoded and clipped.
class SampleEncoder {
  public:
    // Allocates for `samples_per_cycle` samples; throws std::bad_alloc.
    SampleEncoder(SampleType type, double scale, size_t samples_per_cycle);

    // The samples in the type's layout, valid until the next call (or as
    // long as `samples` for a float type).
    std::span<const uint8_t> encode(std::span<const ComplexSample> samples);

    const SampleTypeDescription& type() const { return description_; }
    double scale() const { return scale_; }
    // A new scale for the samples encoded from now on (a backoff changed).
    void set_scale(double scale) { scale_ = scale; }
    int64_t samples_encoded() const { return samples_encoded_; }
    int64_t samples_clipped() const { return samples_clipped_; }

  private:
    const SampleTypeDescription& description_;
    double scale_;
    std::vector<uint8_t> encoded_;
    int64_t samples_encoded_ = 0;
    int64_t samples_clipped_ = 0;
};

}  // namespace terramod
