// Straightforward versions of the inner coding stages, written directly from
// EN 300 744 clauses 4.3.3 to 4.3.5, one bit at a time. The product stages are
// table-driven; these are the oracles they are compared with.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "tx/tx_types.h"

namespace terramod::reference {

// Rate-1/2 mother code: X = 171 octal, Y = 133 octal, over the current bit
// u(t) and the six before it.
struct Encoder {
    int history[7] = {};  // history[k] = u(t - k)

    std::vector<uint8_t> encode(const std::vector<uint8_t>& bytes) {
        std::vector<uint8_t> out;
        for (uint8_t byte : bytes) {
            for (int n = 7; n >= 0; --n) {
                for (int k = 6; k > 0; --k) history[k] = history[k - 1];
                history[0] = (byte >> n) & 1;
                int* u = history;
                out.push_back(static_cast<uint8_t>(u[0] ^ u[1] ^ u[2] ^ u[3] ^ u[6]));
                out.push_back(static_cast<uint8_t>(u[0] ^ u[2] ^ u[3] ^ u[5] ^ u[6]));
            }
        }
        return out;
    }
};

// The puncturing patterns of clause 4.3.3 written as the transmitted
// sequences: X1 Y1 / X1 Y1 Y2 / X1 Y1 Y2 X3 / X1 Y1 Y2 X3 Y4 X5 /
// X1 Y1 Y2 Y3 Y4 X5 Y6 X7, where Xj is position 2(j-1) and Yj 2(j-1)+1 of the
// period.
inline std::vector<int> transmitted_positions(CodeRate rate) {
    switch (rate) {
        case kRate1_2:
            return {0, 1};
        case kRate2_3:
            return {0, 1, 3};
        case kRate3_4:
            return {0, 1, 3, 4};
        case kRate5_6:
            return {0, 1, 3, 4, 7, 8};
        case kRate7_8:
            return {0, 1, 3, 5, 7, 8, 11, 12};
    }
    return {};
}
inline int period_of(CodeRate rate) {
    static const int kPeriods[] = {2, 4, 6, 10, 14};
    return kPeriods[rate];
}

struct Puncturer {
    CodeRate rate;
    long position = 0;  // bits seen so far

    std::vector<uint8_t> puncture(const std::vector<uint8_t>& bits) {
        std::vector<int> kept = transmitted_positions(rate);
        std::vector<uint8_t> out;
        for (uint8_t bit : bits) {
            int in_period = static_cast<int>(position++ % period_of(rate));
            for (int p : kept)
                if (p == in_period) out.push_back(bit);
        }
        return out;
    }
};

// Clause 4.3.4.1: demultiplex each group of v bits into sub-streams, then
// output word w takes bit H_e(w) of each sub-stream e.
inline std::vector<uint8_t> bit_interleave(Constellation constellation,
                                           const std::vector<uint8_t>& bits) {
    const int v = bits_per_cell[constellation];
    static const int kTargets[3][6] = {{0, 1}, {0, 2, 1, 3}, {0, 2, 4, 1, 3, 5}};
    static const int kOffsets[6] = {0, 63, 105, 42, 21, 84};
    std::vector<uint8_t> out;
    for (size_t block = 0; block + 126 * v <= bits.size(); block += 126 * v) {
        std::vector<std::vector<uint8_t>> b(v, std::vector<uint8_t>(126));
        for (int i = 0; i < 126 * v; ++i)
            b[kTargets[constellation][i % v]][i / v] = bits[block + i];
        for (int w = 0; w < 126; ++w) {
            int word = 0;
            for (int e = 0; e < v; ++e) word = word * 2 + b[e][(w + kOffsets[e]) % 126];
            out.push_back(static_cast<uint8_t>(word));
        }
    }
    return out;
}

// Clause 4.3.4.1, hierarchical case, bit by bit: group i of a block is the
// HP bits x'0 = hp[2i], x'1 = hp[2i+1] and the LP bits x''j = lp[(v-2)i + j];
// the demultiplexer writes them into b(e, i):
//   16QAM: x'0 -> b0, x'1 -> b1, x''0 -> b2, x''1 -> b3
//   64QAM: x'0 -> b0, x'1 -> b1, x''0 -> b2, x''1 -> b4, x''2 -> b3, x''3 -> b5
// and the interleavers read y(e, w) = b(e, H_e(w)) with H0(w) = w,
// H1(w) = (w + 63) mod 126, H2 = (w + 105), H3 = (w + 42), H4 = (w + 21),
// H5 = (w + 84) mod 126; the word is y0 (most significant) .. y(v-1).
inline std::vector<uint8_t> hierarchical_bit_interleave(Constellation constellation,
                                                        const std::vector<uint8_t>& hp,
                                                        const std::vector<uint8_t>& lp) {
    const int v = bits_per_cell[constellation];
    std::vector<uint8_t> out;
    for (size_t block = 0;; ++block) {
        const size_t hp_start = block * 252;
        const size_t lp_start = block * 126 * (v - 2);
        if (hp_start + 252 > hp.size() || lp_start + 126 * (v - 2) > lp.size()) break;
        uint8_t b[6][126] = {};
        for (int i = 0; i < 126; ++i) {
            const uint8_t* x_hp = &hp[hp_start + 2 * i];
            const uint8_t* x_lp = &lp[lp_start + (v - 2) * i];
            b[0][i] = x_hp[0];
            b[1][i] = x_hp[1];
            if (v == 4) {
                b[2][i] = x_lp[0];
                b[3][i] = x_lp[1];
            } else {
                b[2][i] = x_lp[0];
                b[4][i] = x_lp[1];
                b[3][i] = x_lp[2];
                b[5][i] = x_lp[3];
            }
        }
        auto h = [](int e, int w) {
            switch (e) {
                case 0:
                    return w;
                case 1:
                    return (w + 63) % 126;
                case 2:
                    return (w + 105) % 126;
                case 3:
                    return (w + 42) % 126;
                case 4:
                    return (w + 21) % 126;
                default:
                    return (w + 84) % 126;
            }
        };
        for (int w = 0; w < 126; ++w) {
            int word = 0;
            for (int e = 0; e < v; ++e) word = word * 2 + b[e][h(e, w)];
            out.push_back(static_cast<uint8_t>(word));
        }
    }
    return out;
}

// Clause 4.3.4.2: H(q) from the (Nr - 1)-bit register R'(i), its wire
// permutation into R(i) and the alternating top bit, as an array of bits.
inline std::vector<int> symbol_permutation(OfdmMode mode) {
    const int nr = mode == kMode2k ? 11 : 13;
    const int n_max = data_carrier_count[mode];
    // R(i) bit positions listed for R'(i) bits (Nr-2) .. 0, as the standard's
    // table gives them.
    static const std::vector<int> kWires2k = {0, 7, 5, 1, 8, 2, 6, 9, 3, 4};
    static const std::vector<int> kWires8k = {5, 11, 3, 0, 10, 8, 6, 9, 2, 4, 1, 7};
    const std::vector<int>& wires = mode == kMode2k ? kWires2k : kWires8k;
    std::vector<int> reg(nr - 1, 0);  // reg[j] = R'(i)[j]
    std::vector<int> h;
    for (int i = 0; i < (1 << nr); ++i) {
        if (i == 2) {
            reg.assign(nr - 1, 0);
            reg[0] = 1;
        } else if (i > 2) {
            int top = mode == kMode2k ? reg[0] ^ reg[3] : reg[0] ^ reg[1] ^ reg[4] ^ reg[6];
            for (int j = 0; j < nr - 2; ++j) reg[j] = reg[j + 1];
            reg[nr - 2] = top;
        }
        int r = 0;
        for (int j = 0; j < nr - 1; ++j) r += reg[nr - 2 - j] << wires[j];
        int candidate = (i % 2) * (1 << (nr - 1)) + r;
        if (candidate < n_max) h.push_back(candidate);
    }
    return h;
}

// Symbol number l counts up from `last_symbol` + 1 (mod 68), one per OFDM symbol.
inline std::vector<uint8_t> symbol_interleave(OfdmMode mode, int last_symbol,
                                              const std::vector<uint8_t>& cells) {
    const int n_max = data_carrier_count[mode];
    std::vector<int> h = symbol_permutation(mode);
    std::vector<uint8_t> out(cells.size());
    int l = last_symbol;
    for (size_t k = 0; (k + 1) * n_max <= cells.size(); ++k) {
        l = (l + 1) % 68;
        for (int q = 0; q < n_max; ++q) {
            if (l % 2 == 0)
                out[k * n_max + h[q]] = cells[k * n_max + q];
            else
                out[k * n_max + q] = cells[k * n_max + h[q]];
        }
    }
    return out;
}

// Clause 4.3.5 point for symbol s as exact (long double) coordinates.
struct ExactPoint {
    long double re, im;
};
inline ExactPoint exact_point(Constellation constellation, Hierarchy hierarchy, int s) {
    const int v = bits_per_cell[constellation];
    auto y = [&](int j) { return (s >> (v - 1 - j)) & 1; };
    int alpha = hierarchy == kAlpha2 ? 2 : hierarchy == kAlpha4 ? 4 : 1;
    long double energy = 2.0L;  // QPSK
    int m_i = 1, m_q = 1;
    if (constellation == kQam16) {
        static const long double kEnergy16[] = {10, 10, 20, 52};
        energy = kEnergy16[hierarchy];
        m_i = y(2) ? alpha : alpha + 2;
        m_q = y(3) ? alpha : alpha + 2;
    } else if (constellation == kQam64) {
        static const long double kEnergy64[] = {42, 42, 60, 108};
        energy = kEnergy64[hierarchy];
        auto level = [&](int a, int b) {
            return a == 0 ? (b == 0 ? alpha + 6 : alpha + 4) : (b == 1 ? alpha + 2 : alpha);
        };
        m_i = level(y(2), y(4));
        m_q = level(y(3), y(5));
    }
    long double c = 1.0L / std::sqrt(energy);
    return {(y(0) ? -1 : 1) * m_i * c, (y(1) ? -1 : 1) * m_q * c};
}

}  // namespace terramod::reference
