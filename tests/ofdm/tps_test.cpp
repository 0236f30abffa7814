#include "ofdm/tps.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace terramod {
namespace {

std::string bits(const std::array<uint8_t, 68>& word, int first, int last) {
    std::string text;
    for (int i = first; i <= last; ++i) text += static_cast<char>('0' + word[i]);
    return text;
}

DvbtSettings make_config(OfdmMode mode, Constellation constellation, Hierarchy hierarchy,
                         CodeRate rate, GuardInterval guard) {
    DvbtSettings config;
    config.mode = mode;
    config.constellation = constellation;
    config.hierarchy = hierarchy;
    config.code_rate = rate;
    config.guard_interval = guard;
    return config;
}

// Remainder of the 67-bit sequence s1..s67 (s1 the highest degree) divided
// by g(x) = x^14 + x^9 + x^8 + x^6 + x^5 + x^4 + x^2 + x + 1, by long division.
uint32_t remainder_by_generator(const std::array<uint8_t, 68>& word) {
    constexpr uint32_t generator = (1u << 14) | (1u << 9) | (1u << 8) | (1u << 6) | (1u << 5) |
                                   (1u << 4) | (1u << 2) | (1u << 1) | 1u;
    uint32_t remainder = 0;
    for (int i = 1; i <= 67; ++i) {
        remainder = (remainder << 1) | word[i];
        if (remainder & (1u << 14)) remainder ^= generator;
    }
    return remainder;
}

struct TpsExample {
    int32_t frame;
    DvbtSettings config;
    const char* info_bits;
    const char* parity_bits;
};

TEST(TpsWord, MatchesTheExampleWords) {
    const TpsExample examples[] = {
        {0, make_config(kMode2k, kQpsk, kNonHierarchical, kRate1_2, kGuard1_32),
         "00110101111011100101110000000000000000000000000000000", "01100110000100"},
        {1, make_config(kMode2k, kQpsk, kNonHierarchical, kRate1_2, kGuard1_32),
         "11001010000100010101110100000000000000000000000000000", "00110010101000"},
        {3, make_config(kMode8k, kQam64, kAlpha4, kRate7_8, kGuard1_4),
         "11001010000100010101111110011100000110100000000000000", "00000011100110"},
        {2, make_config(kMode8k, kQam16, kAlpha1, kRate3_4, kGuard1_16),
         "00110101111011100101111001001010000010100000000000000", "11011011111110"},
    };
    for (const TpsExample& example : examples) {
        TpsWord tps(example.config);
        tps.build_tps_word(example.frame);
        SCOPED_TRACE(example.frame);
        EXPECT_EQ(tps.tps_bits()[0], 0);
        EXPECT_EQ(bits(tps.tps_bits(), 1, 53), example.info_bits);
        EXPECT_EQ(bits(tps.tps_bits(), 54, 67), example.parity_bits);
    }
}

// Every setting and frame: the fields where the signalling tables put them,
// the LP code rate always 000, and s1..s67 a multiple of g(x).
TEST(TpsWord, FieldsAndBchPropertyForEverySetting) {
    const char* guard_codes[] = {"11", "10", "01", "00"};  // 1/4, 1/8, 1/16, 1/32
    const char* frame_codes[] = {"00", "01", "10", "11"};
    int words = 0;
    for (int mode = 0; mode < 2; ++mode)
        for (int constellation = 0; constellation < 3; ++constellation)
            for (int hierarchy = 0; hierarchy < 4; ++hierarchy)
                for (int rate = 0; rate < 5; ++rate)
                    for (int guard = 0; guard < 4; ++guard) {
                        TpsWord tps(make_config(
                            static_cast<OfdmMode>(mode), static_cast<Constellation>(constellation),
                            static_cast<Hierarchy>(hierarchy), static_cast<CodeRate>(rate),
                            static_cast<GuardInterval>(guard)));
                        for (int32_t frame = 0; frame < 4; ++frame) {
                            tps.build_tps_word(frame);
                            const auto& word = tps.tps_bits();
                            const std::string sync = bits(word, 1, 16);
                            EXPECT_EQ(sync,
                                      frame % 2 == 0 ? "0011010111101110" : "1100101000010001");
                            EXPECT_EQ(bits(word, 17, 22), "010111");
                            EXPECT_EQ(bits(word, 23, 24), frame_codes[frame]);
                            EXPECT_EQ(word[25] * 2 + word[26], constellation);
                            EXPECT_EQ(word[27] * 4 + word[28] * 2 + word[29], hierarchy);
                            EXPECT_EQ(word[30] * 4 + word[31] * 2 + word[32], rate);
                            EXPECT_EQ(bits(word, 33, 35), "000");
                            EXPECT_EQ(bits(word, 36, 37), guard_codes[guard]);
                            EXPECT_EQ(bits(word, 38, 39), mode == 0 ? "00" : "01");
                            EXPECT_EQ(bits(word, 40, 53), "00000000000000");
                            EXPECT_EQ(remainder_by_generator(word), 0u);
                            ++words;
                        }
                    }
    EXPECT_EQ(words, 2 * 3 * 4 * 5 * 4 * 4);
}

// The parity depends on s1..s53 alone: rebuilding a frame after others gives
// the same word (the register is cleared at every build).
TEST(TpsWord, RebuildIsIndependentOfHistory) {
    TpsWord tps(make_config(kMode8k, kQam64, kAlpha2, kRate5_6, kGuard1_8));
    tps.build_tps_word(1);
    const auto first = tps.tps_bits();
    tps.build_tps_word(2);
    tps.build_tps_word(3);
    tps.build_tps_word(1);
    EXPECT_EQ(tps.tps_bits(), first);
}

// Hierarchical transmission: s33..s35 carry the low-priority code rate (000
// for 1/2 .. 100 for 7/8), nothing else moves, and the word stays a BCH codeword.
TEST(TpsWord, SignalsTheLowPriorityCodeRate) {
    const char* lp_codes[] = {"000", "001", "010", "011", "100"};
    for (int hierarchy = 1; hierarchy < 4; ++hierarchy)
        for (int lp = 0; lp < 5; ++lp) {
            DvbtSettings settings = make_config(kMode8k, kQam64, static_cast<Hierarchy>(hierarchy),
                                                kRate2_3, kGuard1_8);
            TpsWord one_stream(settings);
            settings.two_streams = true;
            settings.lp_code_rate = static_cast<CodeRate>(lp);
            TpsWord two_streams(settings);
            one_stream.build_tps_word(2);
            two_streams.build_tps_word(2);
            const auto& word = two_streams.tps_bits();
            EXPECT_EQ(bits(word, 27, 29), bits(one_stream.tps_bits(), 27, 29));
            EXPECT_EQ(bits(word, 30, 32), "001");
            EXPECT_EQ(bits(word, 33, 35), lp_codes[lp]);
            EXPECT_EQ(bits(word, 1, 32), bits(one_stream.tps_bits(), 1, 32));
            EXPECT_EQ(bits(word, 36, 53), bits(one_stream.tps_bits(), 36, 53));
            EXPECT_EQ(remainder_by_generator(word), 0u) << hierarchy << " " << lp;
        }
}

// The systematic BCH(67,53) parity of s1..s53 by polynomial long division:
// the remainder of (s1..s53) x^14 by g(x), its highest degree first.
std::string parity_by_division(const std::string& info_bits) {
    constexpr uint32_t generator = (1u << 14) | (1u << 9) | (1u << 8) | (1u << 6) | (1u << 5) |
                                   (1u << 4) | (1u << 2) | (1u << 1) | 1u;
    uint32_t remainder = 0;
    for (size_t i = 0; i < info_bits.size() + 14; ++i) {
        const uint32_t bit = i < info_bits.size() ? static_cast<uint32_t>(info_bits[i] - '0') : 0;
        remainder = (remainder << 1) | bit;
        if (remainder & (1u << 14)) remainder ^= generator;
    }
    std::string text;
    for (int i = 13; i >= 0; --i) text += static_cast<char>('0' + ((remainder >> i) & 1));
    return text;
}

struct CellIdCase {
    int32_t frame;
    std::optional<uint16_t> cell_id;
    DvbtSettings config;
    std::string info_bits;  // s1..s53, written field by field
};

// EN 300 744 V1.4.1 on, clauses 4.6.2.3 and 4.6.2.10: with a cell
// identifier the length indicator is 011111 (31) and s40..s47 carry b15..b8
// of the cell_id in frames 1 and 3 of the superframe (frame numbers 00 and
// 10), b7..b0 in frames 2 and 4 (01 and 11), b15 or b7 in s40; s48..s53 stay
// 0. Without one the word is that of V1.1.2. Fields below: sync word, length
// indicator, frame number, constellation, hierarchy, HP rate, LP rate, guard,
// mode, s40..s47, s48..s53.
TEST(TpsWord, CarriesTheCellIdentifierByteOfEachFrame) {
    const DvbtSettings qpsk = make_config(kMode2k, kQpsk, kNonHierarchical, kRate1_2, kGuard1_32);
    const DvbtSettings qam64 = make_config(kMode8k, kQam64, kAlpha4, kRate7_8, kGuard1_4);
    const char* even = "0011010111101110";
    const char* odd = "1100101000010001";
    const auto word = [](const char* sync, const char* length, const char* frame,
                         const char* fields, const char* cell_byte) {
        return std::string(sync) + length + frame + fields + cell_byte + "000000";
    };
    // Constellation, hierarchy, HP rate, LP rate, guard, mode:
    // 00 000 000 000 00 00 (QPSK NH 1/2, 1/32, 2k) and
    // 10 011 100 000 11 01 (64QAM alpha 4 7/8, 1/4, 8k).
    const char* qpsk_fields = "000000000000000";
    const char* qam64_fields = "100111000001101";
    const CellIdCase cases[] = {
        // 0x2A5C: 00101010 01011100.
        {0, 0x2A5C, qpsk, word(even, "011111", "00", qpsk_fields, "00101010")},
        {1, 0x2A5C, qpsk, word(odd, "011111", "01", qpsk_fields, "01011100")},
        {2, 0x2A5C, qpsk, word(even, "011111", "10", qpsk_fields, "00101010")},
        {3, 0x2A5C, qpsk, word(odd, "011111", "11", qpsk_fields, "01011100")},
        // 42 = 0x002A: the high byte is zero.
        {0, 42, qam64, word(even, "011111", "00", qam64_fields, "00000000")},
        {1, 42, qam64, word(odd, "011111", "01", qam64_fields, "00101010")},
        {2, 0xFFFF, qam64, word(even, "011111", "10", qam64_fields, "11111111")},
        {3, 0x8001, qam64, word(odd, "011111", "11", qam64_fields, "00000001")},
        {0, 0x8001, qam64, word(even, "011111", "00", qam64_fields, "10000000")},
        // Cell id 0 is still signalled: length 31, both bytes 0.
        {1, 0, qpsk, word(odd, "011111", "01", qpsk_fields, "00000000")},
        // No cell id: length 23 and s40..s47 zero, as V1.1.2.
        {0, std::nullopt, qpsk, word(even, "010111", "00", qpsk_fields, "00000000")},
        {3, std::nullopt, qam64, word(odd, "010111", "11", qam64_fields, "00000000")},
    };
    for (const CellIdCase& test : cases) {
        SCOPED_TRACE(std::to_string(test.frame) + " cell id " +
                     (test.cell_id ? std::to_string(*test.cell_id) : "none"));
        ASSERT_EQ(test.info_bits.size(), 53u);
        DvbtSettings settings = test.config;
        settings.cell_id = test.cell_id;
        TpsWord tps(settings);
        tps.build_tps_word(test.frame);
        EXPECT_EQ(tps.tps_bits()[0], 0);
        EXPECT_EQ(bits(tps.tps_bits(), 1, 53), test.info_bits);
        EXPECT_EQ(bits(tps.tps_bits(), 54, 67), parity_by_division(test.info_bits));
    }
    // The division reproduces the parity of the worked examples above.
    EXPECT_EQ(parity_by_division("00110101111011100101110000000000000000000000000000000"),
              "01100110000100");
    EXPECT_EQ(parity_by_division("11001010000100010101111110011100000110100000000000000"),
              "00000011100110");
}

// The two bytes of a superframe put back together give the cell id, for
// every value (frames 1 and 3 the high byte, 2 and 4 the low one).
TEST(TpsWord, EveryCellIdentifierComesBackFromTwoFrames) {
    DvbtSettings settings = make_config(kMode2k, kQam16, kNonHierarchical, kRate2_3, kGuard1_8);
    for (uint32_t id = 0; id <= 0xFFFF; id += 97) {
        settings.cell_id = static_cast<uint16_t>(id);
        TpsWord tps(settings);
        uint32_t bytes[4] = {};
        for (int32_t frame = 0; frame < 4; ++frame) {
            tps.build_tps_word(frame);
            bytes[frame] =
                static_cast<uint32_t>(std::stoul(bits(tps.tps_bits(), 40, 47), nullptr, 2));
            ASSERT_EQ(remainder_by_generator(tps.tps_bits()), 0u);
        }
        EXPECT_EQ(bytes[0] * 256 + bytes[1], id);
        EXPECT_EQ(bytes[2] * 256 + bytes[3], id);
    }
}

}  // namespace
}  // namespace terramod
