// Outer convolutional (Forney) interleaver of EN 300 744 clause 4.3.2:
// I = 12 branches, M = 17, memories carried across calls.
#pragma once

#include <array>
#include <cstdint>

#include "tx/log.h"
#include "tx/tx_types.h"

namespace terramod {

class OuterInterleaver {
public:
    static constexpr int32_t kBranchCount = 12;
    static constexpr int32_t kDepthUnit = 17;

    // Fills the branch memories with zeros or with pseudo-random bytes
    // (outer_interleaver_init).
    OuterInterleaver(Log& log, InterleaverInit init);

    void outer_interleave(const uint8_t* input, uint8_t* output, int32_t length);

    // The generator that fills the memories: returns 0 .. 32767.
    uint32_t lcg_next();

private:
    Log& log_;
    uint32_t lcg_state_ = 1;
};

}  // namespace terramod
