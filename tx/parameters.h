// Transmission parameters: the parameter report, the derived rates and the
// size of one processing cycle.
#pragma once

#include <cstdint>

#include "common/log.h"
#include "tx/tx_types.h"

namespace terramod {

struct DerivedRates {
    double sampling_rate = 0;      // Hz
    double sample_period = 0;      // s
    double useful_throughput = 0;  // bit/s of transport stream
    double nominal_bandwidth = 0;  // Hz
    // Hierarchical transmission: useful_throughput is the HP stream's.
    double lp_useful_throughput = 0;  // bit/s
};

// The output sampling rate: 8/7 of --bandwidth, else by -b.
double sampling_rate(const TxConfig& config);

// Writes the parameter report at level 2 and returns the derived values.
// (The help/version check comes first, in the caller.)
DerivedRates report_parameters(const TxConfig& config, Log& log);

// Symbols and packets per cycle, then every buffer's element count.
BlockSizes choose_block_size(const TxConfig& config);

// The bytes of one cycle's stage buffers as the summary counts them (the
// format-dependent output buffers are not counted), summed as unsigned 32-bit.
uint32_t block_buffer_bytes(const BlockSizes& sizes);

// The level-4 summary line with the memory total.
void write_block_summary(const BlockSizes& sizes, Log& log);

}  // namespace terramod
