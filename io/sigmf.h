// SigMF metadata (a `<base>.sigmf-meta` JSON file) describing a sample file
// as a non-conforming dataset, with the transmission settings as fields of a
// `dvbt` extension.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace terramod {

// A capture after the first: where the time of the samples jumps.
struct SigmfCapture {
    int64_t sample_start = 0;  // core:sample_start
    int64_t datetime_ns = 0;   // core:datetime
    int64_t megaframe = 0;     // dvbt:megaframe, counted from the file's first
};

struct SigmfMetadata {
    std::string datatype;             // core:datatype
    double sample_rate = 0;           // core:sample_rate, Hz
    std::string recorder;             // core:recorder
    std::string description;          // core:description
    std::string dataset;              // core:dataset: the sample file's name
    std::optional<double> frequency;  // the capture's core:frequency, Hz (--frequency)
    // The capture's core:datetime: when its first sample is to leave the
    // antenna, UTC ns since 1970 (a run with a time base).
    std::optional<int64_t> datetime_ns;
    std::vector<SigmfCapture> later_captures;  // in sample order
    // dvbt:<name> fields: text values and number values, in this order.
    std::vector<std::pair<std::string, std::string>> texts;
    std::vector<std::pair<std::string, double>> numbers;
};

// ISO-8601 UTC as core:datetime writes it: "2026-12-08T23:20:00Z", with
// the fraction of the second when there is one ("...:00.000125Z").
std::string iso8601_utc(int64_t ns_since_1970);

// The metadata's JSON text.
std::string sigmf_json(const SigmfMetadata& metadata);

// Writes the JSON text to `path`; false when the file cannot be written.
bool write_sigmf_file(const std::string& path, const SigmfMetadata& metadata);

}  // namespace terramod
