#include "outer/energy_dispersal.h"

#include <algorithm>

namespace terramod {

namespace {

// The first 1503 output bytes of the EN 300 744 clause 4.3.1 generator:
// 1 + X^14 + X^15, stages 1..15 loaded with 100101010000000, output bit =
// stage 14 XOR stage 15 (also fed back into stage 1), first bit = MSB.
std::array<uint8_t, EnergyDispersal::kPrbsTableLength> build_prbs_table() {
    std::array<uint8_t, EnergyDispersal::kPrbsTableLength> table{};
    // Bit s-1 of the register holds stage s.
    uint32_t stages = 0b000000010101001;
    for (auto& entry : table) {
        uint8_t byte = 0;
        for (int bit = 0; bit < 8; ++bit) {
            uint32_t out = ((stages >> 13) ^ (stages >> 14)) & 1u;
            stages = ((stages << 1) | out) & 0x7FFFu;
            byte = static_cast<uint8_t>((byte << 1) | out);
        }
        entry = byte;
    }
    return table;
}

}  // namespace

const std::array<uint8_t, EnergyDispersal::kPrbsTableLength>& EnergyDispersal::prbs_table() {
    static const std::array<uint8_t, kPrbsTableLength> table = build_prbs_table();
    return table;
}

void EnergyDispersal::sync_invert(std::span<uint8_t> packets, const SyncFaultHandler& on_unsynced) {
    uint8_t* block = packets.data();
    const int32_t length = static_cast<int32_t>(packets.size());
    int32_t offset = sync_invert_offset_;
    for (; offset < length; offset += sync_group_length) {
        if (block[offset] != kSyncByte && on_unsynced) on_unsynced(offset / kPacketLength);
        block[offset] = kInvertedSyncByte;
    }
    sync_invert_offset_ = offset - length;
}

void EnergyDispersal::process(std::span<uint8_t> packets, const SyncFaultHandler& on_unsynced) {
    uint8_t* block = packets.data();
    const int32_t length = static_cast<int32_t>(packets.size());
    const std::array<uint8_t, kPrbsTableLength>& prbs = prbs_table();
    int32_t i = prbs_index_;
    int32_t j = packet_position_;
    int32_t k = 0;
    while (k < length) {
        if (j == 0) {
            // A sync byte: never randomised. At a group start the PRBS
            // restarts with the next byte; at the seven other sync bytes the
            // generator runs on with its output disabled.
            if (i == 0) {
                if (block[k] != kInvertedSyncByte && on_unsynced)
                    on_unsynced(k / sync_group_length);
                i = -1;
            }
            ++i;
            ++j;
            ++k;
            continue;
        }
        // The rest of the packet (or of the block) uses consecutive entries.
        const int32_t span = std::min(kPacketLength - j, length - k);
        const uint8_t* sequence = prbs.data() + i;
        uint8_t* bytes = block + k;
        for (int32_t n = 0; n < span; ++n) bytes[n] ^= sequence[n];
        i += span;
        j += span;
        k += span;
        if (j == kPacketLength) {
            j = 0;
            if (i == kPrbsTableLength) i = 0;
        }
    }
    prbs_index_ = i;
    packet_position_ = j;
}

}  // namespace terramod
