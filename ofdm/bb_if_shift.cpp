#include "ofdm/bb_if_shift.h"

#include <algorithm>
#include <cmath>

namespace terramod {

namespace {

// e^{j pi m / 4} for odd m = 1, 3, 5, 7, as (wr, wi) in units of sqrt(2) / 2.
constexpr int kOddEighthSigns[4][2] = {{1, 1}, {-1, 1}, {-1, -1}, {1, -1}};

// y times j^quarter_turns, exact.
ComplexSample turn(ComplexSample y, uint64_t quarter_turns) {
    switch (quarter_turns % 4) {
        case 1:
            return {-y.im, y.re};
        case 2:
            return {-y.re, -y.im};
        case 3:
            return {y.im, -y.re};
        default:
            return y;
    }
}

}  // namespace

void BasebandIfShifter::to_zero_if(std::span<const ComplexSample> bb_if,
                                   std::span<ComplexSample> zero_if) {
    const size_t count = std::min(bb_if.size(), zero_if.size());
    for (size_t n = 0; n < count; ++n, ++base_index_) {
        const ComplexSample x = bb_if[n];
        zero_if[n] = base_index_ % 2 ? ComplexSample{-x.re, -x.im} : x;
    }
}

void BasebandIfShifter::up_by_half_base_rate(std::span<ComplexSample> samples) {
    const double c = std::sqrt(2.0) / 2;
    for (ComplexSample& y : samples) {
        const uint64_t m = output_index_++;
        if (factor_ == 2) {
            y = turn(y, m);  // e^{j pi m / 2} = j^m
        } else if (m % 2 == 0) {
            y = turn(y, m / 2);  // e^{j pi m / 4} = j^(m / 2)
        } else {
            const double wr = kOddEighthSigns[(m % 8) / 2][0] * c;
            const double wi = kOddEighthSigns[(m % 8) / 2][1] * c;
            const double re = wr * y.re - wi * y.im;
            const double im = wr * y.im + wi * y.re;
            y = {static_cast<float>(re), static_cast<float>(im)};
        }
    }
}

}  // namespace terramod
