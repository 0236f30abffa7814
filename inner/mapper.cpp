#include "inner/mapper.h"

#include <algorithm>
#include <array>
#include <stdexcept>

namespace terramod {
namespace {

// The constellation point magnitudes m * c in the order alpha, alpha + 2,
// alpha + 4, alpha + 6: each the float nearest to the exact value (with c =
// 1/sqrt(2), 1/sqrt(10), 1/sqrt(20), 1/sqrt(52), 1/sqrt(42), 1/sqrt(60) and
// 1/sqrt(108)). Written out rather than computed so that no double rounding
// can creep in.
constexpr float kQpskMagnitude = 0.707106769f;
constexpr float kQam16Magnitudes[3][2] = {
    {0.316227764f, 0.948683321f},  // alpha 1
    {0.447213590f, 0.894427180f},  // alpha 2
    {0.554700196f, 0.832050323f},  // alpha 4
};
constexpr float kQam64Magnitudes[3][4] = {
    {0.154303357f, 0.462910056f, 0.771516740f, 1.080123425f},  // alpha 1
    {0.258198887f, 0.516397774f, 0.774596691f, 1.032795548f},  // alpha 2
    {0.384900182f, 0.577350259f, 0.769800365f, 0.962250471f},  // alpha 4
};

using ConstellationTable = std::array<ComplexSample, 64>;

float with_sign(int32_t sign_bit, float magnitude) {
    return sign_bit ? -magnitude : magnitude;
}

ConstellationTable build_qpsk() {
    ConstellationTable table{};
    for (int32_t s = 0; s < 4; ++s)
        table[s] = {with_sign((s >> 1) & 1, kQpskMagnitude), with_sign(s & 1, kQpskMagnitude)};
    return table;
}

// Bits y0 y1 y2 y3 of s, y0 the most significant. y2 (I) and y3 (Q) choose
// the magnitude: 0 gives alpha + 2, 1 gives alpha.
ConstellationTable build_qam16(const float (&magnitude)[2]) {
    ConstellationTable table{};
    for (int32_t s = 0; s < 16; ++s) {
        float m_i = magnitude[((s >> 1) & 1) ? 0 : 1];
        float m_q = magnitude[(s & 1) ? 0 : 1];
        table[s] = {with_sign((s >> 3) & 1, m_i), with_sign((s >> 2) & 1, m_q)};
    }
    return table;
}

// Bits y0 .. y5 of s, y0 the most significant. The pairs (y2, y4) for I and
// (y3, y5) for Q choose the magnitude, Gray coded: (0, 0) alpha + 6,
// (0, 1) alpha + 4, (1, 1) alpha + 2, (1, 0) alpha.
ConstellationTable build_qam64(const float (&magnitude)[4]) {
    static constexpr int32_t kMagnitudeIndex[2][2] = {{3, 2}, {0, 1}};
    ConstellationTable table{};
    for (int32_t s = 0; s < 64; ++s) {
        float m_i = magnitude[kMagnitudeIndex[(s >> 3) & 1][(s >> 1) & 1]];
        float m_q = magnitude[kMagnitudeIndex[(s >> 2) & 1][s & 1]];
        table[s] = {with_sign((s >> 5) & 1, m_i), with_sign((s >> 4) & 1, m_q)};
    }
    return table;
}

// Index 0 QPSK, 1..3 16QAM alpha 1, 2, 4, 4..6 64QAM alpha 1, 2, 4.
const std::array<ConstellationTable, 7>& all_tables() {
    static const std::array<ConstellationTable, 7> tables = {
        build_qpsk(),
        build_qam16(kQam16Magnitudes[0]),
        build_qam16(kQam16Magnitudes[1]),
        build_qam16(kQam16Magnitudes[2]),
        build_qam64(kQam64Magnitudes[0]),
        build_qam64(kQam64Magnitudes[1]),
        build_qam64(kQam64Magnitudes[2]),
    };
    return tables;
}

}  // namespace

const ComplexSample* Mapper::constellation_table(Constellation constellation, Hierarchy hierarchy) {
    if (constellation < kQpsk || constellation > kQam64 || hierarchy < kNonHierarchical ||
        hierarchy > kAlpha4)
        throw std::invalid_argument("constellation or hierarchy out of range");
    if (constellation == kQpsk) return all_tables()[0].data();
    // Non-hierarchical transmission uses the uniform (alpha 1) table.
    int32_t alpha_index = hierarchy == kNonHierarchical ? 0 : hierarchy - kAlpha1;
    int32_t first = constellation == kQam16 ? 1 : 4;
    return all_tables()[first + alpha_index].data();
}

Mapper::Mapper(Constellation constellation, Hierarchy hierarchy)
    : constellation_(constellation),
      table_(constellation_table(constellation, hierarchy)),
      symbol_mask_((1 << bits_per_cell[constellation]) - 1) {}

void Mapper::process(std::span<const uint8_t> input, std::span<ComplexSample> output) {
    const size_t length = std::min(input.size(), output.size());
    // The mask only matters for bytes outside the constellation, which the
    // bit interleaver never writes; it keeps such a byte from reading past
    // the table.
    for (size_t i = 0; i < length; ++i) output[i] = table_[input[i] & symbol_mask_];
}

}  // namespace terramod
