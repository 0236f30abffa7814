#include "outer/outer_interleaver.h"

#include <algorithm>

namespace terramod {

OuterInterleaver::OuterInterleaver(InterleaverInit init) {
    reset(init);
}

uint32_t OuterInterleaver::lcg_next() {
    lcg_state_ = lcg_state_ * 214013u + 2531011u;  // modulo 2^32
    return (lcg_state_ >> 16) & 0x7FFFu;
}

void OuterInterleaver::reset(InterleaverInit init) {
    branch_position_.fill(0);
    next_branch_ = 0;
    // Branch 1 first, each memory from position 0 up: with the random fill
    // this fixes which lcg_next value lands in which cell.
    for (uint8_t& cell : branch_memory_) {
        cell = init == kInitZero ? 0 : static_cast<uint8_t>(lcg_next() & 0xFFu);
    }
}

uint8_t OuterInterleaver::pass_next_branch(uint8_t byte) {
    const int32_t branch = next_branch_;
    next_branch_ = branch + 1 == kBranchCount ? 0 : branch + 1;
    return branch == 0 ? byte : pass_branch(branch, byte);
}

void OuterInterleaver::process(std::span<const uint8_t> in, std::span<uint8_t> out) {
    const uint8_t* input = in.data();
    uint8_t* output = out.data();
    const int32_t length = static_cast<int32_t>(std::min(in.size(), out.size()));
    int32_t k = 0;
    // Finish a group left open by the previous call.
    for (; k < length && next_branch_ != 0; ++k) output[k] = pass_next_branch(input[k]);
    // Whole groups: byte j of each group goes through branch j; branch 0
    // (the sync byte of every codeword among them) is not delayed.
    for (; k + kBranchCount <= length; k += kBranchCount) {
        output[k] = input[k];
        for (int32_t j = 1; j < kBranchCount; ++j) output[k + j] = pass_branch(j, input[k + j]);
    }
    // Begin a group that the next call finishes.
    for (; k < length; ++k) output[k] = pass_next_branch(input[k]);
}

}  // namespace terramod
