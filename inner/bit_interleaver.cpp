#include "inner/bit_interleaver.h"

#include <algorithm>
#include <stdexcept>

namespace terramod {
namespace {

constexpr int32_t kBlockSymbols = 126;
// Sub-stream that bit x_k of a demultiplexer group goes to, per constellation.
constexpr int32_t kDemux[3][6] = {{0, 1}, {0, 2, 1, 3}, {0, 2, 4, 1, 3, 5}};
// Hierarchical demultiplexing (16QAM, 64QAM): sub-stream of the group bits
// x'0, x'1 (high priority), then x''0 .. x''(v-3) (low priority).
constexpr int32_t kHierarchicalDemux[3][6] = {{}, {0, 1, 2, 3}, {0, 1, 2, 4, 3, 5}};
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
    if (constellation != kQpsk) build_hierarchical_read_positions();
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

// As above, with the hierarchical demultiplexer, over a block merged group by
// group: group n holds x'0, x'1 (HP bits 2n, 2n + 1) then x''0 .. x''(v-3)
// (LP bits (v - 2) n ..), so that group bit k of group n is position n v + k.
void BitInterleaver::build_hierarchical_read_positions() {
    const int32_t v = bits_per_cell[constellation_];
    int32_t group_bit_of[6] = {};
    for (int32_t k = 0; k < v; ++k) group_bit_of[kHierarchicalDemux[constellation_][k]] = k;
    for (int32_t w = 0; w < kBlockSymbols; ++w)
        for (int32_t e = 0; e < v; ++e)
            hierarchical_read_position_[w * v + e] =
                static_cast<uint16_t>(((w + kOffset[e]) % kBlockSymbols) * v + group_bit_of[e]);
}

void BitInterleaver::bit_interleave_hierarchical(std::span<const uint8_t> hp_input,
                                                 std::span<const uint8_t> lp_input,
                                                 std::span<uint8_t> output) {
    if (constellation_ == kQpsk)
        throw std::logic_error("hierarchical bit interleaving needs 16QAM or 64QAM");
    const int32_t v = bits_per_cell[constellation_];
    const int32_t lp_bits = v - 2;
    const size_t hp_block = 2 * kBlockSymbols;
    const size_t lp_block = static_cast<size_t>(lp_bits * kBlockSymbols);
    const size_t blocks = std::min(
        {hp_input.size() / hp_block, lp_input.size() / lp_block, output.size() / kBlockSymbols});
    std::array<uint8_t, 126 * 6> merged;
    for (size_t block = 0; block < blocks; ++block) {
        const uint8_t* hp = hp_input.data() + block * hp_block;
        const uint8_t* lp = lp_input.data() + block * lp_block;
        for (int32_t n = 0; n < kBlockSymbols; ++n) {
            uint8_t* group = merged.data() + n * v;
            group[0] = hp[2 * n];
            group[1] = hp[2 * n + 1];
            std::copy_n(lp + n * lp_bits, lp_bits, group + 2);
        }
        interleave_blocks_(merged.data(), output.data() + block * kBlockSymbols, 1,
                           hierarchical_read_position_.data());
    }
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
