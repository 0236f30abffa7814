#include "inner/conv_encoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

namespace terramod {
namespace {

constexpr uint32_t kXTaps = 0x4F;  // G1 = 171 octal: u(t), u(t-1), u(t-2), u(t-3), u(t-6)
constexpr uint32_t kYTaps = 0x6D;  // G2 = 133 octal: u(t), u(t-2), u(t-3), u(t-5), u(t-6)

// Entry v is the XOR of the eight bits of v (only entries 0..127 are reached).
constexpr std::array<uint8_t, 256> parity_table = [] {
    std::array<uint8_t, 256> table{};
    for (uint32_t v = 0; v < table.size(); ++v) {
        uint32_t bits = v ^ (v >> 4);
        bits ^= bits >> 2;
        bits ^= bits >> 1;
        table[v] = static_cast<uint8_t>(bits & 1u);
    }
    return table;
}();

// Encoding a whole byte at once: entry (state << 8 | byte), state being the six
// previous input bits (bit 0 the latest), holds the 16 output bits X1 Y1 ...
// X8 Y8 of that byte, X1 in bit 15. The state after the byte is its low six
// bits, so the table needs no next-state column.
const uint16_t* byte_code_table() {
    static const auto table = [] {
        std::array<uint16_t, 64 * 256> code{};
        for (uint32_t entry = 0; entry < code.size(); ++entry) {
            uint32_t encoder_register = entry >> 8;
            uint32_t bits = 0;
            for (int n = 7; n >= 0; --n) {
                encoder_register = (encoder_register << 1) | ((entry >> n) & 1u);
                bits = (bits << 2) | (parity_table[encoder_register & kXTaps] << 1) |
                       parity_table[encoder_register & kYTaps];
            }
            code[entry] = static_cast<uint16_t>(bits);
        }
        return code;
    }();
    return table.data();
}

// The eight bits of a byte unpacked, most significant first, one byte each.
using UnpackedByte = std::array<uint8_t, 8>;
const UnpackedByte* unpack_table() {
    static const auto table = [] {
        std::array<UnpackedByte, 256> unpacked{};
        for (int value = 0; value < 256; ++value)
            for (int i = 0; i < 8; ++i) unpacked[value][i] = (value >> (7 - i)) & 1;
        return unpacked;
    }();
    return table.data();
}

constexpr int32_t kRateCount = 5;
constexpr int32_t puncture_period[kRateCount] = {2, 4, 6, 10, 14};
constexpr int32_t puncture_pattern[kRateCount][14] = {
    {1, 1},
    {1, 1, 0, 1},
    {1, 1, 0, 1, 1, 0},
    {1, 1, 0, 1, 1, 0, 0, 1, 1, 0},
    {1, 1, 0, 1, 0, 1, 0, 1, 1, 0, 0, 1, 1, 0},
};

// A pattern row as the positions it transmits within one period.
struct TransmittedPositions {
    int32_t count = 0;
    std::array<int32_t, 8> position{};
};
constexpr TransmittedPositions transmitted_positions(int32_t rate) {
    TransmittedPositions kept;
    for (int32_t i = 0; i < puncture_period[rate]; ++i)
        if (puncture_pattern[rate][i] == 1) kept.position[kept.count++] = i;
    return kept;
}

// Copies the transmitted bits of `periods` whole puncturing periods; the rate
// is a template argument so that the inner loop is a fixed list of copies.
template <int32_t Rate>
uint8_t* puncture_whole_periods(const uint8_t* input, uint8_t* output, int32_t periods) {
    constexpr TransmittedPositions kept = transmitted_positions(Rate);
    constexpr int32_t period = puncture_period[Rate];
    for (int32_t p = 0; p < periods; ++p) {
        for (int32_t j = 0; j < kept.count; ++j) output[j] = input[kept.position[j]];
        input += period;
        output += kept.count;
    }
    return output;
}

// Rate 1/2 transmits everything. No copy at all for zero periods: an empty
// call may pass null buffers, which memcpy must not see even for 0 bytes.
uint8_t* copy_whole_periods(const uint8_t* input, uint8_t* output, int32_t periods) {
    if (periods <= 0) return output;
    std::memcpy(output, input, static_cast<size_t>(periods) * 2);
    return output + static_cast<size_t>(periods) * 2;
}

// The packed puncturer's unit: the fewest whole input bytes that are whole
// periods and give whole output bytes (2/3: 4 -> 3, 3/4: 3 -> 2, 5/6: 5 -> 3,
// 7/8: 7 -> 4). Every byte of a chunk starts at a fixed pattern position and
// keeps a fixed number of bits, whatever its value.
struct PackedChunk {
    int32_t input_bytes = 0;
    int32_t output_bytes = 0;
    std::array<int32_t, 8> start{};  // pattern position at input byte i
    std::array<int32_t, 8> kept{};   // bits input byte i keeps
};
constexpr PackedChunk packed_chunk(int32_t rate) {
    const int32_t period = puncture_period[rate];
    PackedChunk chunk;
    for (int32_t bytes = 1; bytes <= 8; ++bytes) {
        if (8 * bytes % period != 0) continue;
        const int32_t kept_bits = 8 * bytes / period * transmitted_positions(rate).count;
        if (kept_bits % 8 != 0) continue;
        chunk.input_bytes = bytes;
        chunk.output_bytes = kept_bits / 8;
        for (int32_t i = 0; i < bytes; ++i) {
            chunk.start[i] = 8 * i % period;
            for (int32_t n = 0; n < 8; ++n)
                chunk.kept[i] += puncture_pattern[rate][(chunk.start[i] + n) % period];
        }
        return chunk;
    }
    return chunk;
}

// Whole chunks from pattern position 0 with no bits pending; `table` as
// Puncturer::packed_table_. Returns the output end.
template <int32_t Rate>
uint8_t* puncture_packed_chunks(const uint8_t* input, uint8_t* output, size_t chunks,
                                const uint16_t* table) {
    constexpr PackedChunk chunk = packed_chunk(Rate);
    for (size_t c = 0; c < chunks; ++c) {
        uint64_t bits = 0;
        for (int32_t i = 0; i < chunk.input_bytes; ++i)
            bits = (bits << chunk.kept[i]) | (table[chunk.start[i] * 256 + input[i]] & 0xFFu);
        for (int32_t o = 0; o < chunk.output_bytes; ++o)
            output[o] = static_cast<uint8_t>(bits >> (8 * (chunk.output_bytes - 1 - o)));
        input += chunk.input_bytes;
        output += chunk.output_bytes;
    }
    return output;
}

}  // namespace

void ConvEncoder::reset() {
    encoder_register_ = 0;
}

void ConvEncoder::process(std::span<const uint8_t> bytes, std::span<uint8_t> bits) {
    const uint8_t* input = bytes.data();
    uint8_t* output = bits.data();
    const size_t length = std::min(bytes.size(), bits.size() / 16);
    const uint16_t* byte_code = byte_code_table();
    const UnpackedByte* unpacked = unpack_table();
    uint32_t encoder_register = encoder_register_;
    for (size_t i = 0; i < length; ++i) {
        // The register as if shifted one bit at a time through this byte.
        encoder_register = (encoder_register << 8) | input[i];
        uint32_t code = byte_code[encoder_register & 0x3FFF];
        std::memcpy(output, unpacked[code >> 8].data(), 8);
        std::memcpy(output + 8, unpacked[code & 0xFF].data(), 8);
        output += 16;
    }
    encoder_register_ = encoder_register;
}

void ConvEncoder::process_packed(std::span<const uint8_t> bytes, std::span<uint8_t> packed) {
    const size_t length = std::min(bytes.size(), packed.size() / 2);
    const uint16_t* byte_code = byte_code_table();
    uint32_t encoder_register = encoder_register_;
    for (size_t i = 0; i < length; ++i) {
        encoder_register = (encoder_register << 8) | bytes[i];
        const uint32_t code = byte_code[encoder_register & 0x3FFF];
        packed[2 * i] = static_cast<uint8_t>(code >> 8);
        packed[2 * i + 1] = static_cast<uint8_t>(code);
    }
    encoder_register_ = encoder_register;
}

Puncturer::Puncturer(CodeRate rate) : rate_(rate) {
    static constexpr PeriodPuncturer kByRate[kRateCount] = {
        copy_whole_periods, puncture_whole_periods<1>, puncture_whole_periods<2>,
        puncture_whole_periods<3>, puncture_whole_periods<4>};
    if (rate < kRate1_2 || rate > kRate7_8) throw std::invalid_argument("unknown code rate");
    puncture_periods_ = kByRate[rate];
    const int32_t period = puncture_period[rate];
    packed_table_.resize(static_cast<size_t>(period) * 256);
    for (int32_t start = 0; start < period; ++start) {
        for (uint32_t byte = 0; byte < 256; ++byte) {
            uint32_t bits = 0, count = 0;
            for (int32_t n = 0; n < 8; ++n) {
                if (puncture_pattern[rate][(start + n) % period] == 0) continue;
                bits = (bits << 1) | ((byte >> (7 - n)) & 1u);
                ++count;
            }
            packed_table_[start * 256 + byte] = static_cast<uint16_t>(count << 8 | bits);
        }
    }
}

void Puncturer::reset() {
    puncture_index_ = 0;
    pending_bits_ = 0;
    pending_count_ = 0;
}

int32_t Puncturer::process(std::span<const uint8_t> coded, std::span<uint8_t> punctured) {
    const uint8_t* input = coded.data();
    uint8_t* output = punctured.data();
    const int32_t length = static_cast<int32_t>(coded.size());
    const int32_t period = puncture_period[rate_];
    int32_t i = 0;
    uint8_t* out = output;
    // Finish the period that an earlier call left open.
    while (puncture_index_ != 0 && i < length) out = puncture_one_bit(input[i++], out);
    // A length below zero (outside the driver's contract) punctures nothing.
    const int32_t periods = length > i ? (length - i) / period : 0;
    out = puncture_periods_(input + i, out, periods);
    i += periods * period;
    // Start the period that the next call finishes.
    while (i < length) out = puncture_one_bit(input[i++], out);
    return static_cast<int32_t>(out - output);
}

int32_t Puncturer::process_packed(std::span<const uint8_t> coded, std::span<uint8_t> punctured) {
    if (rate_ == kRate1_2 && pending_count_ == 0) {  // every bit transmitted
        const size_t length = std::min(coded.size(), punctured.size());
        if (length > 0) std::memcpy(punctured.data(), coded.data(), length);
        return static_cast<int32_t>(8 * length);
    }
    const uint16_t* table = packed_table_.data();
    if (pending_count_ == 0 && puncture_index_ == 0) {
        // Aligned (as every driver cycle is): whole chunks at a time, the
        // rest byte by byte below.
        static constexpr int32_t kChunkBytes[kRateCount] = {
            0, packed_chunk(1).input_bytes, packed_chunk(2).input_bytes,
            packed_chunk(3).input_bytes, packed_chunk(4).input_bytes};
        using ChunkPuncturer = uint8_t* (*)(const uint8_t*, uint8_t*, size_t, const uint16_t*);
        static constexpr ChunkPuncturer kByRate[kRateCount] = {
            nullptr, puncture_packed_chunks<1>, puncture_packed_chunks<2>,
            puncture_packed_chunks<3>, puncture_packed_chunks<4>};
        const size_t chunks = coded.size() / kChunkBytes[rate_];
        uint8_t* end = kByRate[rate_](coded.data(), punctured.data(), chunks, table);
        const size_t used = chunks * kChunkBytes[rate_];
        const int32_t written = static_cast<int32_t>(8 * (end - punctured.data()));
        return written +
               process_packed_bytes(coded.subspan(used), punctured.subspan(end - punctured.data()));
    }
    return process_packed_bytes(coded, punctured);
}

int32_t Puncturer::process_packed_bytes(std::span<const uint8_t> coded,
                                        std::span<uint8_t> punctured) {
    const int32_t period = puncture_period[rate_];
    const int32_t step = 8 % period;  // pattern positions a byte moves on
    const uint16_t* table = packed_table_.data();
    uint8_t* out = punctured.data();
    uint32_t bits = pending_bits_;
    int32_t count = pending_count_;
    int32_t index = puncture_index_;
    for (const uint8_t byte : coded) {
        const uint32_t entry = table[index * 256 + byte];
        const int32_t kept = static_cast<int32_t>(entry >> 8);
        bits = (bits << kept) | (entry & 0xFFu);
        count += kept;
        if (count >= 8) {
            count -= 8;
            *out++ = static_cast<uint8_t>(bits >> count);
        }
        index += step;
        if (index >= period) index -= period;
    }
    pending_bits_ = bits & ((1u << count) - 1);
    pending_count_ = count;
    puncture_index_ = index;
    return static_cast<int32_t>(8 * (out - punctured.data()));
}

uint8_t* Puncturer::puncture_one_bit(uint8_t bit, uint8_t* output) {
    int32_t flag = puncture_pattern[rate_][puncture_index_++];
    if (flag == 1) *output++ = bit;
    if (puncture_index_ == puncture_period[rate_]) puncture_index_ = 0;
    return output;
}

}  // namespace terramod
