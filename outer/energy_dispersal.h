// Transport multiplex adaptation and randomisation for energy dispersal,
// EN 300 744 clause 4.3.1: sync-byte inversion of every eighth packet and the
// PRBS (1 + X^14 + X^15) over all other bytes. Works in place, carrying its
// position across calls so any block split gives the same stream.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>

#include "dvbt/dvbt.h"

namespace terramod {

class EnergyDispersal {
  public:
    static constexpr int32_t sync_group_length = 1504;  // 8 x 188
    static constexpr int32_t kPrbsTableLength = 1503;

    // Told the block-relative number of each packet found out of sync.
    using SyncFaultHandler = std::function<void(int32_t number)>;

    // Sets the sync byte of packets 0, 8, 16, ... of the stream to 0xB8;
    // a packet among them that did not start with 0x47 goes to the handler
    // (its number within the block).
    void sync_invert(std::span<uint8_t> block, const SyncFaultHandler& on_unsynced = {});
    // XORs every non-sync byte with the PRBS, restarting after each 0xB8; a
    // group start that is not 0xB8 goes to the handler (its group number
    // within the block).
    void process(std::span<uint8_t> block, const SyncFaultHandler& on_unsynced = {});

    static const std::array<uint8_t, kPrbsTableLength>& prbs_table();

    // Carried state, for tests.
    int32_t sync_invert_offset() const { return sync_invert_offset_; }
    int32_t prbs_index() const { return prbs_index_; }

  private:
    int32_t sync_invert_offset_ = 0;
    int32_t prbs_index_ = 0;
    // Byte position within the current packet where the next call starts.
    // Always 0 when blocks are whole packets; carried so that a block that
    // ends inside a packet cannot push prbs_index_ past the table.
    int32_t packet_position_ = 0;
};

}  // namespace terramod
