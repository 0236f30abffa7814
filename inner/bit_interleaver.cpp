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
    for (int32_t w = 0; w < kBlockSymbols; ++w) {
        for (int32_t e = 0; e < v; ++e) {
            const int32_t group = (w + kOffset[e]) % kBlockSymbols;
            read_position_[w * v + e] = static_cast<uint16_t>(group * v + group_bit_of[e]);
            read_group_[w * v + e] = static_cast<uint8_t>(group);
            read_shift_[w * v + e] = static_cast<uint8_t>(v - 1 - group_bit_of[e]);
        }
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

// One block: each cell's v bits first (a group), then each output symbol from
// the groups and bits the tables name.
template <int32_t V>
void interleave_packed_block(const uint8_t* packed, size_t first_bit, uint8_t* output,
                             const uint8_t* read_group, const uint8_t* read_shift) {
    uint8_t groups[kBlockSymbols];
    for (int32_t n = 0; n < kBlockSymbols; ++n)
        groups[n] = static_cast<uint8_t>(read_bits(packed, first_bit + n * V, V));
    for (int32_t w = 0; w < kBlockSymbols; ++w) {
        uint32_t symbol = 0;
        for (int32_t e = 0; e < V; ++e) {
            const int32_t i = w * V + e;
            symbol = (symbol << 1) | ((groups[read_group[i]] >> read_shift[i]) & 1u);
        }
        output[w] = static_cast<uint8_t>(symbol);
    }
}

}  // namespace

void BitInterleaver::bit_interleave_packed(std::span<const uint8_t> input, size_t first_bit,
                                           std::span<uint8_t> output) {
    const int32_t v = bits_per_cell[constellation_];
    const size_t block_bits = static_cast<size_t>(kBlockSymbols * v);
    const size_t input_bits = 8 * input.size();
    const size_t available = input_bits > first_bit ? input_bits - first_bit : 0;
    const size_t blocks = std::min(available / block_bits, output.size() / kBlockSymbols);
    for (size_t block = 0; block < blocks; ++block) {
        const size_t start = first_bit + block * block_bits;
        uint8_t* out = output.data() + block * kBlockSymbols;
        switch (v) {
            case 2:
                interleave_packed_block<2>(input.data(), start, out, read_group_.data(),
                                           read_shift_.data());
                break;
            case 4:
                interleave_packed_block<4>(input.data(), start, out, read_group_.data(),
                                           read_shift_.data());
                break;
            default:
                interleave_packed_block<6>(input.data(), start, out, read_group_.data(),
                                           read_shift_.data());
                break;
        }
    }
}

}  // namespace terramod
