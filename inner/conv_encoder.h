// Inner code of EN 300 744 clause 4.3.3: the 64-state rate-1/2 mother code
// (G1 = 171, G2 = 133 octal) and its puncturing to 2/3, 3/4, 5/6 and 7/8.
// Both work on the unpacked bit stream (one byte per bit, 0 or 1).
#pragma once

#include <cstdint>

#include "tx/log.h"
#include "tx/tx_types.h"

namespace terramod {

class ConvEncoder {
  public:
    explicit ConvEncoder(Log& log);

    void conv_encoder_reset();
    // Writes 16 output bits (X1 Y1 X2 Y2 ...) per input byte, MSB first.
    void conv_encode(const uint8_t* input, uint8_t* output, int32_t length);

  private:
    Log& log_;
    uint32_t encoder_register_ = 0;
};

class Puncturer {
  public:
    Puncturer(Log& log, CodeRate rate);

    void puncturer_reset();
    // Copies the transmitted bits of `length` encoder output bits; returns the
    // number of bits written.
    int32_t puncture(const uint8_t* input, uint8_t* output, int32_t length);

  private:
    Log& log_;
    CodeRate rate_;
    int32_t puncture_index_ = 0;
};

}  // namespace terramod
