// One cycle's block of transport stream: read from the source, the rest of a
// short block padded with empty packets.
#pragma once

#include <cstdint>
#include <span>

#include "common/log.h"
#include "io/ts_source.h"

namespace terramod {

// Fills `block` from the source and pads what the input no longer holds.
// Returns the block's length: a padded block counts as consumed whole;
// *obtained (when given) receives the bytes of real input. `label` ("" or
// "LP ") names the stream in the log texts.
int64_t read_cycle_block(TsSource& source, std::span<uint8_t> block, Log& log,
                         size_t* obtained_bytes = nullptr, const char* label = "",
                         bool null_packets = false);

// The fill of the block's tail from `start` on: whole empty packets at every
// packet boundary, the rest of a packet cut by the end of the input zeroed.
// With `null_packets` the whole packets are null packets (PID 0x1FFF), as a
// stream re-timed to the channel's rate is filled everywhere else.
void pad_block(std::span<uint8_t> block, size_t start, bool null_packets = false);

}  // namespace terramod
