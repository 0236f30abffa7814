#include "inner/bit_interleaver.h"

#include <stdexcept>

namespace terramod {
namespace {

constexpr int32_t kBlockSymbols = 126;
// Sub-stream that bit x_k of a demultiplexer group goes to, per constellation.
constexpr int32_t kDemux[3][6] = {{0, 1}, {0, 2, 1, 3}, {0, 2, 4, 1, 3, 5}};
// Read offset of sub-stream I_e: H_e(w) = (w + offset_e) mod 126.
constexpr int32_t kOffset[6] = {0, 63, 105, 42, 21, 84};

}  // namespace

BitInterleaver::BitInterleaver(Log& log, Constellation constellation)
    : log_(log), constellation_(constellation) {
    if (constellation < kQpsk || constellation > kQam64)
        throw std::invalid_argument("unknown constellation");
}

void BitInterleaver::bit_interleave(const uint8_t* input, uint8_t* output, int32_t length) {
    log_.write(3, "Bit interleaving ... ");
    const int32_t v = bits_per_cell[constellation_];
    uint8_t sub_stream[6][kBlockSymbols];
    int32_t in = 0;
    int32_t out = 0;
    while (in + kBlockSymbols * v <= length) {
        for (int32_t w = 0; w < kBlockSymbols; ++w)
            for (int32_t k = 0; k < v; ++k) sub_stream[kDemux[constellation_][k]][w] = input[in++];
        int32_t position[6];
        for (int32_t e = 0; e < v; ++e) position[e] = kOffset[e];
        for (int32_t w = 0; w < kBlockSymbols; ++w) {
            uint8_t symbol = 0;
            for (int32_t e = 0; e < v; ++e) {
                symbol = static_cast<uint8_t>((symbol << 1) | sub_stream[e][position[e]]);
                if (++position[e] == kBlockSymbols) position[e] = 0;
            }
            output[out++] = symbol;
        }
    }
    log_.write(3, "done.\n");
}

}  // namespace terramod
