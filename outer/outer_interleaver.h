// Outer convolutional (Forney) interleaver of EN 300 744 clause 4.3.2:
// I = 12 branches, M = 17, memories carried across calls.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "dvbt/dvbt.h"

namespace terramod {

class OuterInterleaver {
  public:
    static constexpr int32_t kBranchCount = 12;
    static constexpr int32_t kDepthUnit = 17;
    // Branch j (1..11) holds 17 * j bytes: 17 * (1 + 2 + ... + 11) in all.
    static constexpr int32_t kMemoryLength = kDepthUnit * (kBranchCount - 1) * kBranchCount / 2;

    // Fills the branch memories with zeros or with pseudo-random bytes.
    explicit OuterInterleaver(InterleaverInit init);

    // Interleaves input.size() bytes (at most output.size()).
    void process(std::span<const uint8_t> input, std::span<uint8_t> output);

    // The generator that fills the memories: returns 0 .. 32767.
    uint32_t lcg_next();

    // Branch j's memory (17 * j bytes; empty for branch 0) and position.
    std::span<const uint8_t> branch_memory(int32_t branch) const {
        return {branch_memory_.data() + kBranchOffset[branch],
                static_cast<size_t>(kDepthUnit * branch)};
    }
    int32_t branch_position(int32_t branch) const { return branch_position_[branch]; }

  private:
    // Start of branch j's memory within branch_memory_.
    static constexpr std::array<int32_t, kBranchCount> kBranchOffset = [] {
        std::array<int32_t, kBranchCount> offsets{};
        for (int32_t j = 1; j < kBranchCount; ++j)
            offsets[j] = offsets[j - 1] + kDepthUnit * (j - 1);
        return offsets;
    }();

    void reset(InterleaverInit init);
    // One byte through branch j (1..11): read the cell, store the input in
    // it, advance the branch position.
    uint8_t pass_branch(int32_t branch, uint8_t byte) {
        uint8_t& cell = branch_memory_[kBranchOffset[branch] + branch_position_[branch]];
        const uint8_t delayed = cell;
        cell = byte;
        if (++branch_position_[branch] == kDepthUnit * branch) branch_position_[branch] = 0;
        return delayed;
    }
    // One byte through whichever branch is next; used only where a call
    // starts or ends inside a group of 12.
    uint8_t pass_next_branch(uint8_t byte);

    uint32_t lcg_state_ = 1;
    std::array<uint8_t, kMemoryLength> branch_memory_{};
    std::array<int32_t, kBranchCount> branch_position_{};
    // Branch of the next input byte. Always 0 when blocks are whole groups of
    // 12 (every block of codewords); carried so any split gives one stream.
    int32_t next_branch_ = 0;
};

}  // namespace terramod
