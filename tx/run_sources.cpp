#include "tx/run_sources.h"

#include <cinttypes>

namespace terramod {

namespace {

// The band whose settings an overflow message suggests: the run's own.
ChannelBand run_band(const TxConfig& config) {
    if (config.bandwidth_hz) return channel_band_of_bandwidth(*config.bandwidth_hz);
    return channel_band(config.channel_spacing);
}

}  // namespace

// How the LP stream fared when the HP stream ended the run.
void report_lp_end(const LowPriorityInput& lp, Log& log) {
    if (lp.ended) {
        log.write(LogLevel::kProgress,
                  "LP stream: all %" PRIu64
                  " bytes sent, "
                  "then empty packets until the HP stream ended\n",
                  lp.bytes_read);
    } else if (lp.length) {
        log.write(LogLevel::kProgress,
                  "LP stream: %" PRIu64 " of %" PRIu64
                  " bytes sent; "
                  "the run ended with the HP stream\n",
                  lp.bytes_consumed, *lp.length);
    } else {
        log.write(LogLevel::kProgress,
                  "LP stream: %" PRIu64 " bytes sent; the run ended with the HP stream\n",
                  lp.bytes_consumed);
    }
}

void add_lp_filters(const TxConfig& config, LowPriorityInput& lp, const DerivedRates& rates,
                    Log& log) {
    if (config.adapt_rate)
        lp.adapter = std::make_unique<RateAdaptingSource>(*lp.source, rates.lp_useful_throughput,
                                                          run_band(config), log, 0.0, "LP stream");
    else
        lp.rate_check =
            std::make_unique<RateMismatchDetector>(rates.lp_useful_throughput, log, "LP ");
}

SourceFilters make_source_filters(const TxConfig& config, TsSource& input,
                                  const DerivedRates& rates, Log& log) {
    SourceFilters filters;
    filters.input = &input;
    if (config.loop) {
        if (input.can_rewind())
            filters.looping = std::make_unique<LoopingSource>(input, log);
        else
            log.write(LogLevel::kWarnings,
                      "WARNING: --loop needs a file input: the stream is read once\n");
    }
    TsSource& upstream = filters.looping ? *filters.looping : input;
    if (config.adapt_rate) {
        filters.adapter = std::make_unique<RateAdaptingSource>(upstream, rates.useful_throughput,
                                                               run_band(config), log);
    } else {
        filters.rate_check = std::make_unique<RateMismatchDetector>(rates.useful_throughput, log);
    }
    return filters;
}

}  // namespace terramod
