#include "inner/symbol_interleaver.h"

#include <algorithm>
#include <stdexcept>

namespace terramod {
namespace {

// H(q) of EN 300 744 clause 4.3.4.2, from its (Nr - 1)-bit shift register
// R'(i), the bit permutation R'(i) -> R(i) and the toggling top bit.
std::vector<int32_t> build_permutation(OfdmMode mode) {
    const int32_t nr = mode == kMode2k ? 11 : 13;
    const int32_t m_max = 1 << nr;
    const int32_t n_max = data_carrier_count[mode];
    // Destination bit p(n) of R(i) for bit n of R'(i), n = 0 upwards.
    static constexpr int32_t kBitTarget2k[10] = {4, 3, 9, 6, 2, 8, 1, 5, 7, 0};
    static constexpr int32_t kBitTarget8k[12] = {7, 1, 4, 2, 9, 6, 8, 10, 0, 3, 11, 5};
    const int32_t* bit_target = mode == kMode2k ? kBitTarget2k : kBitTarget8k;

    std::vector<int32_t> table;
    table.reserve(static_cast<size_t>(n_max));
    uint32_t r_prime = 0;
    for (int32_t i = 0; i < m_max; ++i) {
        if (i < 2) {
            r_prime = 0;
        } else if (i == 2) {
            r_prime = 1;
        } else {
            uint32_t feedback =
                mode == kMode2k ? (r_prime ^ (r_prime >> 3)) & 1u
                                : (r_prime ^ (r_prime >> 1) ^ (r_prime >> 4) ^ (r_prime >> 6)) & 1u;
            r_prime = (r_prime >> 1) | (feedback << (nr - 2));
        }
        int32_t r = 0;
        for (int32_t n = 0; n < nr - 1; ++n)
            if (r_prime & (1u << n)) r |= 1 << bit_target[n];
        int32_t candidate = (i % 2) * (1 << (nr - 1)) + r;
        if (candidate < n_max) table.push_back(candidate);
    }
    return table;
}

static_assert(data_carrier_count[kMode8k] <= 65536, "cell positions fit 16 bits");

std::vector<uint16_t> narrow(const std::vector<int32_t>& positions) {
    return std::vector<uint16_t>(positions.begin(), positions.end());
}

std::vector<int32_t> invert(const std::vector<int32_t>& permutation) {
    std::vector<int32_t> inverse(permutation.size());
    for (size_t q = 0; q < permutation.size(); ++q)
        inverse[permutation[q]] = static_cast<int32_t>(q);
    return inverse;
}

}  // namespace

std::vector<int32_t> SymbolInterleaver::permutation(OfdmMode mode) {
    if (mode != kMode2k && mode != kMode8k) throw std::invalid_argument("unknown OFDM mode");
    return build_permutation(mode);
}

// H^-1, so that even symbols, y(H(q)) = y'(q), are a gather too: y(p) = y'(H^-1(p)).
SymbolInterleaver::SymbolInterleaver(OfdmMode mode, int32_t first_symbol_index)
    : mode_(mode),
      next_symbol_index_(first_symbol_index),
      gather_odd_(narrow(permutation(mode))),
      gather_even_(narrow(invert(permutation(mode)))) {}

void SymbolInterleaver::process(std::span<const uint8_t> input, std::span<uint8_t> output) {
    const size_t n_max = static_cast<size_t>(data_carrier_count[mode_]);
    const size_t length = std::min(input.size(), output.size());
    // Whole OFDM symbols only (the driver never passes a part of one).
    for (size_t start = 0; start + n_max <= length; start += n_max) {
        const uint16_t* gather =
            next_symbol_index_ % 2 == 0 ? gather_even_.data() : gather_odd_.data();
        const uint8_t* in = input.data() + start;
        uint8_t* out = output.data() + start;
        for (size_t q = 0; q < n_max; ++q) out[q] = in[gather[q]];
        next_symbol_index_ = (next_symbol_index_ + 1) % kSymbolsPerFrame;
    }
}

}  // namespace terramod
