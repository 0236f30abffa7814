// What the SigMF metadata of a sample file says: the run's settings in words
// and as fields of the `dvbt` extension, with the facts only the output
// knows (sample type, rate, file, integer scale).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "io/sigmf.h"
#include "tx/tx_types.h"

namespace terramod {

// The scale of an integer sample type (cs16, cs8).
struct IntegerScale {
    double scale;
    double nominal_rms;
};

struct RecordingFacts {
    std::string datatype;     // SigMF core:datatype of the sample type
    double sample_rate = 0;   // Hz, at the output
    std::string sample_file;  // its path; core:dataset names the file alone
    int32_t interpolation = 1;
    double useful_bit_rate = 0;
    double lp_useful_bit_rate = 0;       // hierarchical transmission
    std::optional<int64_t> datetime_ns;  // the first sample's time, with a time base
    std::optional<IntegerScale> integer_scale;
    // --sfn: the mega-frames' period and the sample (at the output rate)
    // where the first whole one starts.
    std::optional<double> megaframe_period_ns;
    std::optional<int64_t> first_megaframe_sample;
    // --sfn: the mega-frames whose time does not follow the one before.
    std::vector<SigmfCapture> later_captures;
};

SigmfMetadata describe_recording(const TxConfig& config, const RecordingFacts& facts);

}  // namespace terramod
