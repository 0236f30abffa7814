#include "net/datagram.h"

#include "io/ts_packet.h"

namespace terramod {
namespace {

uint16_t read_be16(const uint8_t* bytes) {
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

}  // namespace

std::optional<RtpPayload> parse_rtp(std::span<const uint8_t> datagram) {
    constexpr size_t kFixedHeader = 12;
    if (datagram.size() < kFixedHeader || (datagram[0] >> 6) != 2) return std::nullopt;
    const bool padding = (datagram[0] & 0x20) != 0;
    const bool extension = (datagram[0] & 0x10) != 0;
    const size_t csrc_count = datagram[0] & 0x0F;
    size_t header = kFixedHeader + 4 * csrc_count;
    if (extension) {
        if (datagram.size() < header + 4) return std::nullopt;
        header += 4 + 4 * size_t{read_be16(&datagram[header + 2])};
    }
    if (datagram.size() < header) return std::nullopt;
    size_t padding_size = 0;
    if (padding) {
        padding_size = datagram.back();
        if (padding_size == 0 || padding_size > datagram.size() - header) return std::nullopt;
    }
    return RtpPayload{read_be16(&datagram[2]), header, datagram.size() - header - padding_size};
}

bool whole_packets(std::span<const uint8_t> bytes) {
    if (bytes.empty() || bytes.size() % ts::kPacketSize != 0) return false;
    for (size_t start = 0; start < bytes.size(); start += ts::kPacketSize) {
        if (bytes[start] != ts::kSyncByte) return false;
    }
    return true;
}

std::span<const uint8_t> salvage_packets(std::span<const uint8_t> bytes,
                                         std::vector<uint8_t>& kept) {
    kept.clear();
    if (bytes.empty() || bytes[0] != ts::kSyncByte) return {};
    for (size_t start = 0; start + ts::kPacketSize <= bytes.size(); start += ts::kPacketSize) {
        if (bytes[start] == ts::kSyncByte)
            kept.insert(kept.end(), bytes.begin() + start, bytes.begin() + start + ts::kPacketSize);
    }
    return kept;
}

DatagramContent classify_datagram(std::span<const uint8_t> datagram, bool truncated,
                                  std::vector<uint8_t>& salvaged) {
    DatagramContent content{datagram, std::nullopt, false};
    if (datagram.empty() || datagram[0] != ts::kSyncByte) {
        const std::optional<RtpPayload> rtp = parse_rtp(datagram);
        content.packets =
            rtp ? datagram.subspan(rtp->offset, rtp->size) : std::span<const uint8_t>();
        if (rtp) content.rtp_sequence = rtp->sequence;
    }
    if (truncated || !whole_packets(content.packets)) {
        content.packets =
            truncated ? std::span<const uint8_t>() : salvage_packets(content.packets, salvaged);
        content.bad = true;
    }
    return content;
}

}  // namespace terramod
