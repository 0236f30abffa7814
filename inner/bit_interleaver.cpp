#include "inner/bit_interleaver.h"

#include <algorithm>
#include <bit>
#include <cstring>
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
    for (int32_t e = 0; e < v; ++e)
        substream_shift_[e] = static_cast<uint8_t>(v - 1 - group_bit_of[e]);
    for (int32_t w = 0; w < kBlockSymbols; ++w) {
        for (int32_t e = 0; e < v; ++e) {
            const int32_t group = (w + kOffset[e]) % kBlockSymbols;
            read_position_[w * v + e] = static_cast<uint16_t>(group * v + group_bit_of[e]);
        }
    }
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

void BitInterleaver::process_hierarchical(std::span<const uint8_t> hp_input,
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

void BitInterleaver::process(std::span<const uint8_t> input, std::span<uint8_t> output) {
    // Whole blocks only; an incomplete trailing block (never passed by the
    // driver) is left alone rather than read past.
    const size_t block_bits = static_cast<size_t>(kBlockSymbols * bits_per_cell[constellation_]);
    const size_t blocks = std::min(input.size() / block_bits, output.size() / kBlockSymbols);
    interleave_blocks_(input.data(), output.data(), static_cast<int32_t>(blocks),
                       read_position_.data());
}

namespace {

// The v-bit value at bit `position` of a packed stream, the first bit the most
// significant.
inline uint32_t read_bits(const uint8_t* packed, size_t position, int32_t v) {
    const size_t byte = position >> 3;
    const int32_t offset = static_cast<int32_t>(position & 7);
    uint32_t window = static_cast<uint32_t>(packed[byte]) << 8;
    if (offset + v > 8) window |= packed[byte + 1];  // never past the last bit read
    return (window >> (16 - offset - v)) & ((1u << v) - 1);
}

// The block's 126 cells of V bits each (groups), from bit `first_bit` of a
// packed stream of `size` bytes: 48 bits per 64-bit load where eight bytes
// remain, one group at a time at the end.
template <int32_t V>
void read_groups(const uint8_t* packed, size_t size, size_t first_bit, uint8_t* groups) {
    constexpr int32_t kPerLoad = 48 / V;
    int32_t n = 0;
    for (; n < kBlockSymbols; n += kPerLoad) {
        const size_t position = first_bit + static_cast<size_t>(n) * V;
        if ((position >> 3) + 8 > size) break;
        uint64_t word;
        std::memcpy(&word, packed + (position >> 3), sizeof word);
        if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
        word <<= position & 7;
        const int32_t count = std::min(kPerLoad, kBlockSymbols - n);
        for (int32_t i = 0; i < count; ++i)
            groups[n + i] = static_cast<uint8_t>((word >> (64 - V * (i + 1))) & ((1u << V) - 1));
    }
    for (; n < kBlockSymbols; ++n)
        groups[n] = static_cast<uint8_t>(read_bits(packed, first_bit + n * V, V));
}

typedef uint8_t Bytes16 __attribute__((vector_size(16)));

// One block: the cells' groups, twice in a row so that every sub-stream's
// cyclic read is a plain run of bytes; then sixteen output symbols at a time,
// sub-stream e contributing bit (shift[e]) of group w + offset e as bit
// V - 1 - e of symbol w.
template <int32_t V>
void interleave_packed_block(const uint8_t* packed, size_t size, size_t first_bit, uint8_t* output,
                             const uint8_t* shift) {
    alignas(16) uint8_t groups[2 * kBlockSymbols + 4] = {};
    read_groups<V>(packed, size, first_bit, groups);
    std::memcpy(groups + kBlockSymbols, groups, kBlockSymbols);
    alignas(16) uint8_t symbols[128];
    for (int32_t w = 0; w < 128; w += 16) {
        Bytes16 symbol = {};
        for (int32_t e = 0; e < V; ++e) {
            Bytes16 bytes;
            std::memcpy(&bytes, groups + kOffset[e] + w, sizeof bytes);
            symbol |= ((bytes >> shift[e]) & 1) << (V - 1 - e);
        }
        std::memcpy(symbols + w, &symbol, sizeof symbol);
    }
    std::memcpy(output, symbols, kBlockSymbols);
}

}  // namespace

void BitInterleaver::process_packed(std::span<const uint8_t> input, size_t first_bit,
                                    std::span<uint8_t> output) {
    const int32_t v = bits_per_cell[constellation_];
    const size_t block_bits = static_cast<size_t>(kBlockSymbols * v);
    const size_t input_bits = 8 * input.size();
    const size_t available = input_bits > first_bit ? input_bits - first_bit : 0;
    const size_t blocks = std::min(available / block_bits, output.size() / kBlockSymbols);
    for (size_t block = 0; block < blocks; ++block) {
        const size_t start = first_bit + block * block_bits;
        uint8_t* out = output.data() + block * kBlockSymbols;
        const uint8_t* shift = substream_shift_.data();
        switch (v) {
            case 2:
                interleave_packed_block<2>(input.data(), input.size(), start, out, shift);
                break;
            case 4:
                interleave_packed_block<4>(input.data(), input.size(), start, out, shift);
                break;
            default:
                interleave_packed_block<6>(input.data(), input.size(), start, out, shift);
                break;
        }
    }
}

}  // namespace terramod
