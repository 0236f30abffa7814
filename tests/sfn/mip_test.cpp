// The MIP codec of sfn/ (ETSI TS 101 191), the mega-frame tables and the
// SFN adapter's packet rule. Expected values are typed in from the
// standards: the CRC_32 check value of the MPEG-2 CRC, EN 300 744's packets
// per super-frame, the TPS coding.
#include "sfn/mip.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sfn/megaframe.h"
#include "sfn/mip_inserter.h"

namespace terramod {
namespace {

using Packet = std::array<uint8_t, kPacketLength>;

TEST(MpegCrc32, CheckValueOfTheCatalogue) {
    // CRC-32/MPEG-2 of "123456789" is 0x0376E6E7.
    const std::string text = "123456789";
    const std::vector<uint8_t> bytes(text.begin(), text.end());
    EXPECT_EQ(mpeg_crc32(bytes), 0x0376E6E7u);
}

TEST(MipEncode, FixedFieldsAtTheirBytes) {
    Mip mip;
    mip.pointer = 0x0123;
    mip.periodic = true;
    mip.sts_100ns = 0x0A0B0C;
    mip.max_delay_100ns = 0x010203;
    mip.tps_mip = 0x00060000;
    const std::optional<Packet> packet = encode_mip(mip, 5);
    ASSERT_TRUE(packet);
    const std::vector<uint8_t> expected = {
        0x47, 0x60, 0x15, 0x15,              // header: PUSI, priority, PID 0x0015, CC 5
        0x00, 0x13,                          // synchronization_id, section_length 19
        0x01, 0x23, 0x80, 0x00,              // pointer, periodic_flag, future_use
        0x0A, 0x0B, 0x0C, 0x01, 0x02, 0x03,  // STS, maximum_delay
        0x00, 0x06, 0x00, 0x00, 0x00};       // tps_mip, individual_addressing_length
    EXPECT_EQ(std::vector<uint8_t>(packet->begin(), packet->begin() + 21), expected);
    // CRC_32 over synchronization_id .. the last addressing byte, then 0xFF.
    const uint32_t crc = mpeg_crc32(std::span<const uint8_t>(packet->data() + 4, 17));
    EXPECT_EQ((*packet)[21], crc >> 24);
    EXPECT_EQ((*packet)[24], crc & 0xFF);
    for (size_t i = 25; i < kPacketLength; ++i) ASSERT_EQ((*packet)[i], 0xFF) << i;
}

TEST(MipEncode, AddressingLoopAtItsBytes) {
    Mip mip;
    mip.addressing = {{0x0203, {*tx_time_offset_function(-2)}}};
    const std::optional<Packet> packet = encode_mip(mip, 0);
    ASSERT_TRUE(packet);
    // section_length 26; individual_addressing_length 7; tx_identifier,
    // function_loop_length 4; function_tag 0x00, function_length 4 (tag and
    // length bytes included), time_offset -2.
    EXPECT_EQ((*packet)[5], 26);
    const std::vector<uint8_t> expected = {0x07, 0x02, 0x03, 0x04, 0x00, 0x04, 0xFF, 0xFE};
    EXPECT_EQ(std::vector<uint8_t>(packet->begin() + 20, packet->begin() + 28), expected);
}

Mip with_addressing(std::vector<MipAddressing> addressing, bool periodic = true) {
    Mip mip;
    mip.pointer = 2015;
    mip.periodic = periodic;
    mip.sts_100ns = kMipTimeLimit;
    mip.max_delay_100ns = 1;
    mip.tps_mip = 0x8A960000;
    mip.addressing = std::move(addressing);
    return mip;
}

TEST(MipEncode, RoundTrips) {
    const std::vector<Mip> cases = {
        Mip{},
        with_addressing({}, false),
        with_addressing({{1, {*tx_time_offset_function(-15)}}}),
        with_addressing({{0, {}}, {65535, {{kTxPowerFunction, {0x01, 0xF4}}}}}),
        with_addressing({{7,
                          {{kTxFrequencyOffsetFunction, {0xFF, 0xFF, 0x9C}},
                           {kCellIdFunction, {0x12, 0x34, 0x80}},
                           {kPrivateDataFunction, {}},
                           *tx_time_offset_function(32767)}}}),
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::optional<Packet> packet = encode_mip(cases[i], static_cast<uint8_t>(i));
        ASSERT_TRUE(packet) << i;
        MipError error = MipError::kBadCrc;
        const std::optional<Mip> parsed = parse_mip(*packet, &error);
        ASSERT_TRUE(parsed) << i << ": " << mip_error_name(error);
        EXPECT_EQ(error, MipError::kNone);
        EXPECT_EQ(*parsed, cases[i]) << i;
    }
}

TEST(MipEncode, RefusesWhatDoesNotFit) {
    Mip late;
    late.sts_100ns = kMipTimeLimit + 1;
    EXPECT_FALSE(encode_mip(late, 0));
    Mip delayed;
    delayed.max_delay_100ns = 10'000'000;
    EXPECT_FALSE(encode_mip(delayed, 0));
    // 21 fixed bytes + 23 transmitters of 7 bytes = 182 fits; 24 do not.
    Mip full;
    for (uint16_t id = 0; id < 23; ++id)
        full.addressing.push_back({id, {*tx_time_offset_function(id)}});
    EXPECT_EQ(mip_section_bytes(full), 182u);
    EXPECT_TRUE(encode_mip(full, 0));
    full.addressing.push_back({99, {*tx_time_offset_function(1)}});
    EXPECT_FALSE(encode_mip(full, 0));
}

// Re-seals a changed packet's CRC_32, so that a length error is seen as one.
void reseal(Packet& packet) {
    const size_t end = 4 + 2 + packet[5];
    const uint32_t crc = mpeg_crc32(std::span<const uint8_t>(packet.data() + 4, end - 8));
    for (int i = 0; i < 4; ++i) packet[end - 4 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
}

TEST(MipParse, DetectsDamage) {
    const Packet good = *encode_mip(with_addressing({{3, {*tx_time_offset_function(-2)}}}), 0);
    // index within the packet, XOR mask, reseal the CRC, expected error.
    struct Case {
        size_t at;
        uint8_t mask;
        bool reseal;
        MipError error;
    };
    const std::vector<Case> cases = {
        {0, 0x01, false, MipError::kNotMip},  // sync byte
        {2, 0x01, false, MipError::kNotMip},  // PID 0x0014
        {3, 0x30, false, MipError::kNotMip},  // adaptation field only... (01 -> 10)
        {4, 0x01, false, MipError::kBadSyncId},
        {6, 0x02, false, MipError::kBadCrc},          // pointer
        {10, 0x80, false, MipError::kBadCrc},         // STS
        {16, 0x01, false, MipError::kBadCrc},         // tps_mip
        {26, 0x10, false, MipError::kBadCrc},         // time_offset
        {29, 0x01, false, MipError::kBadCrc},         // CRC_32 itself
        {5, 0x01, false, MipError::kBadLength},       // section_length
        {20, 0x01, false, MipError::kBadLength},      // individual_addressing_length
        {23, 0x07, true, MipError::kBadLength},       // function_loop_length past the end
        {25, 0x07, true, MipError::kBadLength},       // function_length past its loop
        {25, 0x05, true, MipError::kBadLength},       // function_length 1: below its header
        {10, 0x01, true, MipError::kTimeOutOfRange},  // 0x99967F
    };
    for (const Case& c : cases) {
        Packet damaged = good;
        damaged[c.at] ^= c.mask;
        if (c.reseal) reseal(damaged);
        MipError error = MipError::kNone;
        EXPECT_FALSE(parse_mip(damaged, &error)) << c.at;
        EXPECT_EQ(error, c.error) << c.at << ": " << mip_error_name(error);
    }
}

TEST(TxTimeOffset, SignedHundredNanosecondSteps) {
    struct Case {
        int64_t offset_100ns;
        uint8_t high, low;
    };
    const std::vector<Case> cases = {{0, 0x00, 0x00},    {1, 0x00, 0x01},     {-1, 0xFF, 0xFF},
                                     {-15, 0xFF, 0xF1},  {32767, 0x7F, 0xFF}, {-32768, 0x80, 0x00},
                                     {10000, 0x27, 0x10}};  // 1 ms
    for (const Case& c : cases) {
        const std::optional<MipFunction> function = tx_time_offset_function(c.offset_100ns);
        ASSERT_TRUE(function) << c.offset_100ns;
        EXPECT_EQ(function->tag, 0x00);
        EXPECT_EQ(function->body, (std::vector<uint8_t>{c.high, c.low}));
        Mip mip;
        mip.addressing = {{9, {{kTxPowerFunction, {1, 2}}, *function}}};
        const std::optional<Mip> parsed = parse_mip(*encode_mip(mip, 0));
        ASSERT_TRUE(parsed);
        EXPECT_EQ(tx_time_offset_of(*parsed, 9), c.offset_100ns);
        EXPECT_FALSE(tx_time_offset_of(*parsed, 8));  // nothing for every transmitter
    }
    EXPECT_FALSE(tx_time_offset_function(32768));
    EXPECT_FALSE(tx_time_offset_function(-32769));
}

TEST(MipFunctions, FieldsAtTheirBits) {
    // Body bytes worked out by hand from each function's field widths.
    struct Case {
        std::optional<MipFunction> function;
        uint8_t tag;
        std::vector<uint8_t> body;
    };
    const std::vector<Case> cases = {
        {tx_frequency_offset_function(-100), 0x01, {0xFF, 0xFF, 0x9C}},
        {tx_frequency_offset_function(8'388'607), 0x01, {0x7F, 0xFF, 0xFF}},
        {tx_frequency_offset_function(-8'388'608), 0x01, {0x80, 0x00, 0x00}},
        {tx_frequency_offset_function(1'000'000), 0x01, {0x0F, 0x42, 0x40}},
        {tx_power_function(50.0), 0x02, {0x01, 0xF4}},  // 500 x 0.1 dBm
        {tx_power_function(0.04), 0x02, {0x00, 0x00}},
        {tx_power_function(6553.5), 0x02, {0xFF, 0xFF}},
        {cell_id_function(0x1234), 0x04, {0x12, 0x34, 0x00}},
        {cell_id_function(0xFFFF, true), 0x04, {0xFF, 0xFF, 0x80}},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        ASSERT_TRUE(cases[i].function) << i;
        EXPECT_EQ(cases[i].function->tag, cases[i].tag) << i;
        EXPECT_EQ(cases[i].function->body, cases[i].body) << i;
    }
    EXPECT_FALSE(tx_frequency_offset_function(8'388'608));
    EXPECT_FALSE(tx_frequency_offset_function(-8'388'609));
    EXPECT_FALSE(tx_power_function(-0.1));
    EXPECT_FALSE(tx_power_function(6553.6));
}

TEST(MipFunctions, OwnIdentifierOverridesEveryTransmitters) {
    Mip mip;
    mip.addressing = {
        {5, {*tx_time_offset_function(-7), *tx_power_function(40.0)}},
        {0, {*tx_time_offset_function(3), *tx_frequency_offset_function(-100)}},
        {9, {cell_id_function(0x0102), {kTxPowerFunction, {0x01}}}},  // power body too short
    };
    const std::optional<Mip> parsed = parse_mip(*encode_mip(mip, 0));
    ASSERT_TRUE(parsed);
    struct Case {
        std::optional<uint16_t> id;
        MipTransmitterFunctions expected;
    };
    const std::vector<Case> cases = {
        {5, {-7, -100, 400, std::nullopt}},
        {9, {3, -100, std::nullopt, 0x0102}},
        {7, {3, -100, std::nullopt, std::nullopt}},
        {std::nullopt, {3, -100, std::nullopt, std::nullopt}},
        {0, {3, -100, std::nullopt, std::nullopt}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(functions_for(*parsed, c.id), c.expected) << c.id.value_or(65535);
    EXPECT_EQ(functions_for(Mip{}, 5), MipTransmitterFunctions{});
}

TEST(MegaFrame, PacketsFromEn300744Table) {
    // EN 300 744 Table (Reed-Solomon packets per super-frame), rates 1/2,
    // 2/3, 3/4, 5/6, 7/8, for QPSK, 16-QAM, 64-QAM; 2k then 8k.
    const int64_t k2[3][5] = {
        {252, 336, 378, 420, 441}, {504, 672, 756, 840, 882}, {756, 1008, 1134, 1260, 1323}};
    const int64_t k8[3][5] = {{1008, 1344, 1512, 1680, 1764},
                              {2016, 2688, 3024, 3360, 3528},
                              {3024, 4032, 4536, 5040, 5292}};
    for (int c = 0; c < 3; ++c)
        for (int r = 0; r < 5; ++r)
            for (int g = 0; g < 4; ++g) {
                DvbtSettings s;
                s.constellation = static_cast<Constellation>(c);
                s.code_rate = static_cast<CodeRate>(r);
                s.guard_interval = static_cast<GuardInterval>(g);
                s.mode = kMode2k;
                EXPECT_EQ(packets_per_superframe(s), k2[c][r]);
                EXPECT_EQ(packets_per_megaframe(s), k2[c][r] * 8);
                s.mode = kMode8k;
                EXPECT_EQ(packets_per_superframe(s), k8[c][r]);
                EXPECT_EQ(packets_per_megaframe(s), k8[c][r] * 2);
            }
    // Hierarchical 64-QAM: HP as QPSK at its rate, LP as 16-QAM at its own.
    DvbtSettings h;
    h.mode = kMode8k;
    h.constellation = kQam64;
    h.hierarchy = kAlpha2;
    h.code_rate = kRate2_3;
    h.lp_code_rate = kRate3_4;
    // One stream (terramod without --lp-input): every bit of the cell.
    EXPECT_EQ(packets_per_megaframe(h), 4032 * 2);
    h.two_streams = true;
    EXPECT_EQ(packets_per_megaframe(h), 1344 * 2);
    EXPECT_EQ(packets_per_megaframe(h, true), 3024 * 2);
}

TEST(MegaFrame, DurationsAndTimeStamps) {
    struct Case {
        OfdmMode mode;
        GuardInterval guard;
        int64_t bandwidth_hz;
        int64_t duration_ns;
    };
    const std::vector<Case> cases = {
        {kMode2k, kGuard1_32, 8'000'000, 502'656'000},  // 4 595 712 samples at 64/7 MHz
        {kMode8k, kGuard1_32, 8'000'000, 502'656'000}, {kMode8k, kGuard1_4, 8'000'000, 609'280'000},
        {kMode2k, kGuard1_4, 7'000'000, 696'320'000},  // 8 MHz sampling
        {kMode8k, kGuard1_8, 6'000'000, 731'136'000},  // 48/7 MHz
    };
    for (const Case& c : cases) {
        const auto clock = MegaframeClock::make(c.mode, c.guard, c.bandwidth_hz, 0);
        ASSERT_TRUE(clock);
        EXPECT_EQ(clock->duration_ns(), c.duration_ns);
        EXPECT_EQ(clock->start_of(1000), 1000 * c.duration_ns);
    }
    // 5 MHz, 2k 1/32: 4 595 712 x 7 / 40 us = 804 249.6 us: not whole ns
    // steps, so the starts are rounded down from the exact times.
    const auto five = MegaframeClock::make(kMode2k, kGuard1_32, 5'000'000, 0);
    EXPECT_EQ(five->start_of(1), 804'249'600);
    EXPECT_EQ(five->start_of(3), 2'412'748'800);
    // STS: the next mega-frame's start modulo 1 s, in 100 ns.
    const auto clock = MegaframeClock::make(kMode2k, kGuard1_32, 8'000'000, 1'900'000'000);
    EXPECT_EQ(clock->sts_100ns_for(0), 4'026'560u);  // 2.402656 s
    EXPECT_EQ(clock->sts_100ns_for(1), 9'053'120u);  // 2.905312 s
    EXPECT_EQ(clock->sts_100ns_for(2), 4'079'680u);  // 3.407968 s
    EXPECT_FALSE(MegaframeClock::make(kMode2k, kGuard1_32, 0, 0));
}

TEST(TpsMip, Bits) {
    DvbtSettings s;  // 2k QPSK NH 1/2 1/32
    EXPECT_EQ(tps_mip_for(s, kMipBandwidth8MHz), 0x00060000u);
    s.mode = kMode8k;
    s.constellation = kQam64;
    s.code_rate = kRate7_8;
    s.guard_interval = kGuard1_4;
    // 10 000 100 11 01 00 1 ...: constellation, hierarchy, rate, guard, mode,
    // bandwidth 7 MHz, priority.
    EXPECT_EQ(tps_mip_for(s, kMipBandwidth7MHz), 0x84D20000u);
    s.hierarchy = kAlpha4;
    s.code_rate = kRate1_2;
    s.lp_code_rate = kRate5_6;
    s.guard_interval = kGuard1_16;
    EXPECT_EQ(tps_mip_for(s, kMipBandwidth6MHz, true), 0x9B580000u);
    const std::optional<TpsMipFields> fields = tps_mip_fields(0x9B580000u);
    ASSERT_TRUE(fields);
    EXPECT_EQ(fields->code_rate, kRate5_6);
    EXPECT_EQ(fields->guard_interval, kGuard1_16);
    EXPECT_EQ(fields->bandwidth, kMipBandwidth6MHz);
    EXPECT_FALSE(fields->high_priority);
    EXPECT_FALSE(tps_mip_fields(0xC0000000u));  // constellation 11: reserved
    EXPECT_EQ(mip_bandwidth_of(8'000'000), kMipBandwidth8MHz);
    EXPECT_EQ(mip_bandwidth_of(5'000'000), kMipBandwidthOther);
}

// The inserter over streams of 'P' (payload), 'N' (null) and 'M' (a MIP of
// the input), 4 packets a mega-frame; the output written as the payload
// numbers, 'N' and the MIPs as "M<pointer>".
std::string insert(const std::string& input) {
    MipInserter inserter(4, *MegaframeClock::make(kMode2k, kGuard1_32, 8'000'000, 0), Mip{});
    std::string out;
    int payload = 0;
    const auto describe = [&out](const Packet& packet) {
        if (!out.empty()) out += ' ';
        const uint16_t pid = packet_pid(packet);
        if (pid == kNullPid) {
            out += 'N';
        } else if (pid == kMipPid) {
            const std::optional<Mip> mip = parse_mip(packet);
            out += mip ? 'M' : '?';
            if (mip) out += std::to_string(mip->pointer);
        } else {
            out += std::to_string(packet[4]);
        }
    };
    for (char c : input) {
        Packet packet{};
        packet[0] = kSyncByte;
        const uint16_t pid = c == 'P' ? 0x100 : c == 'N' ? kNullPid : kMipPid;
        packet[1] = static_cast<uint8_t>(pid >> 8);
        packet[2] = static_cast<uint8_t>(pid);
        packet[3] = 0x10;
        packet[4] = static_cast<uint8_t>(c == 'P' ? ++payload : 0);
        describe(inserter.next(packet));
    }
    for (const Packet& delayed : inserter.delayed()) describe(delayed);
    return out;
}

TEST(MipInserter, OneMipEachMegaFrameNoPayloadLost) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"PNPP", "1 M2 2 3"},
        {"NNNN", "M3 N N N"},
        {"PNPN"
         "NPPP",
         "1 M2 2 N M3 3 4 5"},
        // No null in mega-frame 1: its MIP in the last place, payload 7
        // delayed into the next null.
        {"PNPP"
         "PPPP"
         "NNPP",
         "1 M2 2 3 4 5 6 M0 M3 7 8 9"},
        // Two mega-frames without a null: the delayed packets queue.
        {"PPPP"
         "PPPP"
         "NPNN",
         "1 2 3 M0 4 5 6 M0 M3 7 8 9"},
        // A MIP of the input is dropped; its place is free.
        {"MPPP"
         "PMNP",
         "M3 1 2 3 4 M2 N 5"},
        // The input ends with payload still delayed: written after it.
        {"PPPP"
         "PP",
         "1 2 3 M0 4 5 6"},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(insert(input), expected) << input;
}

TEST(MipInserter, TimeStampAndContinuity) {
    Mip fields;
    fields.max_delay_100ns = 1234;
    MipInserter inserter(2, *MegaframeClock::make(kMode2k, kGuard1_32, 8'000'000, 0), fields);
    Packet null{};
    null[0] = kSyncByte;
    null[1] = 0x1F;
    null[2] = 0xFF;
    for (int k = 0; k < 20; ++k) {
        const Packet out = inserter.next(null);
        inserter.next(null);
        const std::optional<Mip> mip = parse_mip(out);
        ASSERT_TRUE(mip) << k;
        EXPECT_EQ(out[3] & 0x0F, k % 16);
        EXPECT_EQ(mip->max_delay_100ns, 1234u);
        EXPECT_EQ(mip->sts_100ns, (int64_t{k + 1} * 502'656'000 % 1'000'000'000) / 100);
    }
    EXPECT_EQ(inserter.mips_inserted(), 20);
}

}  // namespace
}  // namespace terramod
