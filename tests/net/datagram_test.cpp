// The classification of received datagrams on hand-built bytes: where an RTP
// payload lies (RFC 3550 5.1, 5.3.1), and which packets of a datagram are
// handed on.

#include "net/datagram.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "io/ts_packet.h"

namespace terramod {
namespace {

using Bytes = std::vector<uint8_t>;

// A packet whose byte 4 is `tag`, the rest 0xFF; `sync` its first byte.
Bytes packet(uint8_t tag, uint8_t sync = ts::kSyncByte) {
    Bytes bytes(ts::kPacketSize, 0xFF);
    bytes[0] = sync;
    bytes[1] = 0x01;
    bytes[2] = 0x00;
    bytes[3] = 0x10;
    bytes[4] = tag;
    return bytes;
}

Bytes operator+(Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// The first `size` bytes.
Bytes cut(Bytes bytes, size_t size) {
    bytes.resize(size);
    return bytes;
}

Bytes filler(size_t count, uint8_t value = 0x47) {
    return Bytes(count, value);
}

// The fixed header (RFC 3550 5.1): version 2, the P and X bits, CC, payload
// type 33, the sequence number, timestamp and SSRC.
Bytes rtp_header(uint16_t sequence, bool padding = false, bool extension = false, int csrc = 0,
                 int version = 2) {
    return {
        static_cast<uint8_t>(version << 6 | (padding ? 0x20 : 0) | (extension ? 0x10 : 0) | csrc),
        33,
        static_cast<uint8_t>(sequence >> 8),
        static_cast<uint8_t>(sequence),
        0,
        0,
        0,
        1,
        0x12,
        0x34,
        0x56,
        0x78};
}

// A header extension (5.3.1): profile bytes, its length in 32-bit words,
// then the words (sync bytes, to mislead).
Bytes extension(uint16_t words, size_t words_present) {
    return Bytes{0xBE, 0xDE, static_cast<uint8_t>(words >> 8), static_cast<uint8_t>(words)} +
           filler(4 * words_present);
}

// Padding of `count` bytes, the last one the count.
Bytes padding(uint8_t count) {
    return filler(count - 1, 0) + Bytes{count};
}

TEST(Datagram, RtpPayloadIsFoundBehindTheHeader) {
    struct Case {
        std::string what;
        Bytes datagram;
        std::optional<size_t> offset;  // nothing: not RTP
        size_t size = 0;
        uint16_t sequence = 1;
    };
    const Case cases[] = {
        {"fixed header", rtp_header(0xABCD) + packet(1), 12, 188, 0xABCD},
        {"three CSRCs", rtp_header(1, false, false, 3) + filler(12) + packet(1), 24, 188},
        {"fifteen CSRCs", rtp_header(1, false, false, 15) + filler(60) + packet(1), 72, 188},
        {"CSRC and a two-word extension",
         rtp_header(1, false, true, 1) + filler(4) + extension(2, 2) + packet(1), 28, 188},
        {"an empty extension", rtp_header(1, false, true) + extension(0, 0), 16, 0},
        {"five bytes of padding", rtp_header(1, true) + packet(1) + padding(5), 12, 188},
        {"one byte of padding", rtp_header(1, true) + packet(1) + padding(1), 12, 188},
        {"padding all of the rest", rtp_header(1, true) + padding(200), 12, 0},
        {"header alone", rtp_header(1), 12, 0},
        {"everything",
         rtp_header(1, true, true, 2) + filler(8) + extension(1, 1) + packet(1) + packet(2) +
             padding(3),
         28, 376},
        // Not RTP, or lengths running past the datagram.
        {"version 1", rtp_header(1, false, false, 0, 1) + packet(1), std::nullopt},
        {"version 3", rtp_header(1, false, false, 0, 3) + packet(1), std::nullopt},
        {"11 bytes", cut(rtp_header(1) + packet(1), 11), std::nullopt},
        {"CSRCs past the end", rtp_header(1, false, false, 15) + filler(56), std::nullopt},
        {"no room for the extension's header", rtp_header(1, false, true) + filler(3),
         std::nullopt},
        {"extension past the end", rtp_header(1, false, true) + extension(3, 2), std::nullopt},
        {"the longest extension", rtp_header(1, false, true) + extension(0xFFFF, 16) + packet(1),
         std::nullopt},
        {"padding count 0", rtp_header(1, true) + packet(1) + Bytes{0}, std::nullopt},
        {"padding reaching into the header", rtp_header(1, true) + filler(4, 0) + Bytes{13},
         std::nullopt},
        {"padding reaching into the extension",
         rtp_header(1, true, true) + extension(1, 1) + Bytes{0, 3}, std::nullopt},
    };
    for (const Case& c : cases) {
        const std::optional<RtpPayload> payload = parse_rtp(c.datagram);
        ASSERT_EQ(payload.has_value(), c.offset.has_value()) << c.what;
        if (!payload) continue;
        EXPECT_EQ(payload->sequence, c.sequence) << c.what;
        EXPECT_EQ(payload->offset, *c.offset) << c.what;
        EXPECT_EQ(payload->size, c.size) << c.what;
    }
}

TEST(Datagram, WholePacketsAreHandedOnAndTheRestSalvaged) {
    struct Case {
        std::string what;
        Bytes datagram;
        bool truncated;
        std::vector<uint8_t> tags;  // of the packets handed on, in order
        std::optional<uint16_t> sequence;
        bool bad;
    };
    const Bytes seven =
        packet(1) + packet(2) + packet(3) + packet(4) + packet(5) + packet(6) + packet(7);
    const Case cases[] = {
        {"seven packets", seven, false, {1, 2, 3, 4, 5, 6, 7}, std::nullopt, false},
        {"one packet", packet(9), false, {9}, std::nullopt, false},
        {"cut by the socket", seven, true, {}, std::nullopt, true},
        {"a tail of 100 bytes",
         packet(1) + packet(2) + filler(100),
         false,
         {1, 2},
         std::nullopt,
         true},
        {"a packet short",
         cut(seven, seven.size() - 1),
         false,
         {1, 2, 3, 4, 5, 6},
         std::nullopt,
         true},
        {"a sync byte missing",
         packet(1) + packet(2, 0x46) + packet(3),
         false,
         {1, 3},
         std::nullopt,
         true},
        // What starts with a sync byte at the packet pitch is kept: here the
        // first 188 bytes, whose byte 4 is the first packet's byte 3.
        {"shifted by a byte",
         Bytes{0x47} + packet(1) + packet(2),
         false,
         {0x10},
         std::nullopt,
         true},
        {"neither packets nor RTP", packet(1, 0x00) + packet(2), false, {}, std::nullopt, true},
        {"empty", {}, false, {}, std::nullopt, true},
        {"RTP, seven packets", rtp_header(77) + seven, false, {1, 2, 3, 4, 5, 6, 7}, 77, false},
        {"RTP behind CSRCs, an extension and padding",
         rtp_header(78, true, true, 1) + filler(4) + extension(2, 2) + packet(1) + packet(2) +
             padding(4),
         false,
         {1, 2},
         78,
         false},
        // Its number still counts: the header, at the start, came whole.
        {"RTP cut by the socket", rtp_header(79) + seven, true, {}, 79, true},
        {"RTP, a tail of 5 bytes", rtp_header(80) + packet(1) + filler(5), false, {1}, 80, true},
        {"RTP, a sync byte missing",
         rtp_header(81) + packet(1) + packet(2, 0xB8) + packet(3),
         false,
         {1, 3},
         81,
         true},
        {"RTP, no sync byte first",
         rtp_header(82) + packet(1, 0x00) + packet(2),
         false,
         {},
         82,
         true},
        {"RTP, no payload", rtp_header(83), false, {}, 83, true},
        {"RTP, padding count too large",
         rtp_header(84, true) + packet(1) + Bytes{0xFF},
         false,
         {},
         std::nullopt,
         true},
    };
    std::vector<uint8_t> salvaged;
    for (const Case& c : cases) {
        const DatagramContent content = classify_datagram(c.datagram, c.truncated, salvaged);
        ASSERT_EQ(content.packets.size() % ts::kPacketSize, 0u) << c.what;
        std::vector<uint8_t> tags;
        for (size_t at = 0; at < content.packets.size(); at += ts::kPacketSize) {
            EXPECT_EQ(content.packets[at], ts::kSyncByte) << c.what;
            tags.push_back(content.packets[at + 4]);
        }
        EXPECT_EQ(tags, c.tags) << c.what;
        EXPECT_EQ(content.rtp_sequence, c.sequence) << c.what;
        EXPECT_EQ(content.bad, c.bad) << c.what;
    }
}

}  // namespace
}  // namespace terramod
