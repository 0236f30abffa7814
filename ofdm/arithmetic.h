// The arithmetic of the transform and the interpolator (--arithmetic).
#pragma once

#include <cstdint>

namespace terramod {

// exact: the radix-2 recurrence on float data with double twiddles and the
// interpolator's double sums, rounded to float where they are defined to be
// (the default); fast: both in single precision with a fixed order of
// operations (ofdm/fast_ifft.h); precise: the transform by FFTW in double
// precision (--precise), the interpolator as exact.
enum class Arithmetic : int32_t { kExact = 0, kFast = 1, kPrecise = 2 };

// Indexed by the enumeration: the values of --arithmetic.
inline constexpr const char* kArithmeticNames[] = {"exact", "fast", "precise"};

}  // namespace terramod
