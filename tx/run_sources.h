// What comes between the input files and the chain: the low-priority input
// of hierarchical transmission, and the filters of the main input (--loop,
// --adapt-rate, the rate check without it).
#pragma once

#include <memory>
#include <optional>

#include "common/file_identity.h"
#include "common/log.h"
#include "io/looping_source.h"
#include "io/ts_rate_adapter.h"
#include "io/ts_source.h"
#include "tx/parameters.h"
#include "tx/tx_types.h"

namespace terramod {

// The low-priority stream of hierarchical transmission: read alongside the
// high-priority one, padded once it ends; the run ends with the HP stream.
struct LowPriorityInput {
    std::unique_ptr<TsSource> source;  // a file, or a stream (standard input, a FIFO)
    FileIdentity identity;
    std::optional<uint64_t> length;  // a file's
    uint64_t bytes_consumed = 0;     // whole blocks, the padding included
    uint64_t bytes_read = 0;         // real input
    float progress_factor = 0;
    bool ended = false;                                // padding from here on
    std::unique_ptr<RateAdaptingSource> adapter;       // --adapt-rate, at the LP rate
    std::unique_ptr<RateMismatchDetector> rate_check;  // without --adapt-rate

    // What the chain reads: the stream, re-timed with --adapt-rate.
    TsSource& stream() {
        if (adapter) return *adapter;
        return *source;
    }
};

// The filters between the input and the chain.
struct SourceFilters {
    TsSource* input = nullptr;
    std::unique_ptr<LoopingSource> looping;            // --loop
    std::unique_ptr<RateAdaptingSource> adapter;       // --adapt-rate
    std::unique_ptr<RateMismatchDetector> rate_check;  // without --adapt-rate

    TsSource& source() {
        if (adapter) return *adapter;
        if (looping) return *looping;
        return *input;
    }
};

// How the LP stream fared when the HP stream ended the run.
void report_lp_end(const LowPriorityInput& lp, Log& log);

// The LP stream's re-timing or rate check, as the HP stream's, at the LP
// channel's rate.
void add_lp_filters(const TxConfig& config, LowPriorityInput& lp, const DerivedRates& rates,
                    Log& log);

// The filters the settings ask for, over the opened input.
SourceFilters make_source_filters(const TxConfig& config, TsSource& input,
                                  const DerivedRates& rates, Log& log);

}  // namespace terramod
