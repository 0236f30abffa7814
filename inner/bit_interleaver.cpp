#include "inner/bit_interleaver.h"

#include <algorithm>
#include <stdexcept>

namespace terramod {
namespace {

constexpr int32_t kBlockSymbols = 126;
// Sub-stream that bit x_k of a demultiplexer group goes to, per constellation.
constexpr int32_t kDemux[3][6] = {{0, 1}, {0, 2, 1, 3}, {0, 2, 4, 1, 3, 5}};
// Read offset of sub-stream I_e: H_e(w) = (w + offset_e) mod 126.
constexpr int32_t kOffset[6] = {0, 63, 105, 42, 21, 84};

// Packs each output symbol from the v block positions the table lists for it
// (sub-stream I0 first, as the most significant bit). V is a template argument
// so that the inner loop unrolls.
template <int32_t V>
void interleave_blocks(const uint8_t* input, uint8_t* output, int32_t blocks,
                       const uint16_t* read_position) {
    for (int32_t block = 0; block < blocks; ++block) {
        for (int32_t w = 0; w < kBlockSymbols; ++w) {
            const uint16_t* from = read_position + w * V;
            uint32_t symbol = 0;
            for (int32_t e = 0; e < V; ++e) symbol = (symbol << 1) | input[from[e]];
            output[w] = static_cast<uint8_t>(symbol);
        }
        input += kBlockSymbols * V;
        output += kBlockSymbols;
    }
}

}  // namespace

BitInterleaver::BitInterleaver(Constellation constellation) : constellation_(constellation) {
    static constexpr BlockInterleaver kByConstellation[3] = {
        interleave_blocks<2>, interleave_blocks<4>, interleave_blocks<6>};
    if (constellation < kQpsk || constellation > kQam64)
        throw std::invalid_argument("unknown constellation");
    interleave_blocks_ = kByConstellation[constellation];
    build_read_positions();
}

// Demultiplexing and the cyclic read of each sub-stream compose into one
// index per output bit: a(e, w) = I_e[(w + offset_e) mod 126], and entry n of
// I_e is bit x_k of group n, the k that the demultiplexer sends to I_e.
void BitInterleaver::build_read_positions() {
    const int32_t v = bits_per_cell[constellation_];
    int32_t group_bit_of[6] = {};
    for (int32_t k = 0; k < v; ++k) group_bit_of[kDemux[constellation_][k]] = k;
    for (int32_t w = 0; w < kBlockSymbols; ++w)
        for (int32_t e = 0; e < v; ++e)
            read_position_[w * v + e] =
                static_cast<uint16_t>(((w + kOffset[e]) % kBlockSymbols) * v + group_bit_of[e]);
}

void BitInterleaver::bit_interleave(std::span<const uint8_t> input, std::span<uint8_t> output) {
    // Whole blocks only; an incomplete trailing block (never passed by the
    // driver) is left alone rather than read past.
    const size_t block_bits = static_cast<size_t>(kBlockSymbols * bits_per_cell[constellation_]);
    const size_t blocks = std::min(input.size() / block_bits, output.size() / kBlockSymbols);
    interleave_blocks_(input.data(), output.data(), static_cast<int32_t>(blocks),
                       read_position_.data());
}

}  // namespace terramod
