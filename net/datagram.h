// What a received UDP datagram carries: whole transport stream packets, bare
// or behind an RTP header (RFC 3550), or bytes that are neither, of which the
// whole packets that can be told are kept. Pure computation on bytes that
// come from the network, so every length in them is checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace terramod {

// Where an RTP datagram's payload lies.
struct RtpPayload {
    uint16_t sequence;
    size_t offset;
    size_t size;
};

// RFC 3550 clause 5.1: the fixed header, the CSRC list, the header extension
// (clause 5.3.1) and the padding at the end. Nothing when the version is not
// 2 or a length runs past the datagram.
std::optional<RtpPayload> parse_rtp(std::span<const uint8_t> datagram);

// A multiple of 188 bytes with a sync byte at every packet's start (not
// empty).
bool whole_packets(std::span<const uint8_t> bytes);

// What can be kept of bytes that are not whole packets: when they start with
// a sync byte, each whole packet at the packet pitch that starts with one,
// copied into `kept` (the span returned is `kept`'s bytes).
std::span<const uint8_t> salvage_packets(std::span<const uint8_t> bytes,
                                         std::vector<uint8_t>& kept);

// A datagram as the UDP input takes it.
struct DatagramContent {
    // The whole packets to hand on: into the datagram, or into the
    // `salvaged` buffer given to classify_datagram(); maybe none.
    std::span<const uint8_t> packets;
    // An RTP datagram's sequence number: its packets go through the reorder
    // buffer, and the number counts even when nothing of it was kept.
    std::optional<uint16_t> rtp_sequence;
    // Not whole packets (or cut short by the socket): counted and reported.
    bool bad = false;
};

// A datagram starting with a sync byte is packets; any other is RTP (whose
// version bits make its first byte 0x80 to 0xBF) or nothing. `truncated`:
// the socket cut it short, so nothing of it is kept.
DatagramContent classify_datagram(std::span<const uint8_t> datagram, bool truncated,
                                  std::vector<uint8_t>& salvaged);

}  // namespace terramod
