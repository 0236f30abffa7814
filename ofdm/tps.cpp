// TPS word of EN 300 744 clause 4.6: the signalling bits s1..s53 and their
// BCH(67,53) parity s54..s67, the shortened form of BCH(127,113).
#include "ofdm/tps.h"

namespace terramod {

namespace {

// Generator g(x) = x^14 + x^9 + x^8 + x^6 + x^5 + x^4 + x^2 + x + 1,
// coefficients lowest degree first; g14 is the register's feedback itself.
constexpr std::array<uint8_t, 15> bch_generator = {1, 1, 1, 0, 1, 1, 1, 0, 1, 1, 0, 0, 0, 0, 1};

// Synchronisation word of the odd frames of the superframe (frame_index 0
// and 2); frame_index 1 and 3 send its inverse.
constexpr std::array<uint8_t, 16> kSyncWord = {0, 0, 1, 1, 0, 1, 0, 1, 1, 1, 1, 0, 1, 1, 1, 0};

// Length indicator: 23 bits in use; 31 with the cell identifier.
constexpr uint32_t kLengthIndicator = 23;
constexpr uint32_t kLengthIndicatorWithCellId = 31;

// Signalling codes indexed by the enumerations.
constexpr uint8_t kConstellationCode[] = {0, 1, 2};     // QPSK, 16QAM, 64QAM
constexpr uint8_t kHierarchyCode[] = {0, 1, 2, 3};      // NH, alpha 1, 2, 4
constexpr uint8_t kCodeRateCode[] = {0, 1, 2, 3, 4};    // 1/2 .. 7/8
constexpr uint8_t kGuardIntervalCode[] = {3, 2, 1, 0};  // 1/4, 1/8, 1/16, 1/32
constexpr uint8_t kModeCode[] = {0, 1};                 // 2k, 8k

}  // namespace

TpsWord::TpsWord(const DvbtSettings& settings)
    : constellation_(settings.constellation),
      hierarchy_(settings.hierarchy),
      code_rate_(settings.code_rate),
      lp_code_rate_(settings.lp_code_rate),
      guard_interval_(settings.guard_interval),
      mode_(settings.mode),
      cell_id_(settings.cell_id) {}

void TpsWord::put_field(int first_bit, int width, uint32_t value) {
    for (int i = 0; i < width; ++i) {
        tps_bits_[first_bit + i] = (value >> (width - 1 - i)) & 1;
    }
}

void TpsWord::build_tps_word(int32_t frame_index) {
    tps_bits_[0] = 0;
    const uint8_t sync_inversion = (frame_index & 1) ? 1 : 0;
    for (int i = 0; i < 16; ++i) tps_bits_[1 + i] = kSyncWord[i] ^ sync_inversion;
    put_field(17, 6, cell_id_ ? kLengthIndicatorWithCellId : kLengthIndicator);
    put_field(23, 2, static_cast<uint32_t>(frame_index));
    put_field(25, 2, kConstellationCode[constellation_]);
    put_field(27, 3, kHierarchyCode[hierarchy_]);
    put_field(30, 3, kCodeRateCode[code_rate_]);
    // s33..s35: the low-priority code rate; 000 when one stream is sent.
    put_field(33, 3, kCodeRateCode[lp_code_rate_]);
    put_field(36, 2, kGuardIntervalCode[guard_interval_]);
    put_field(38, 2, kModeCode[mode_]);
    for (int i = 40; i <= 53; ++i) tps_bits_[i] = 0;
    // Clause 4.6.2.10: b15..b8 of the cell_id in frames 1 and 3 of the
    // superframe (frame_index 0 and 2), b7..b0 in frames 2 and 4, the most
    // significant bit in s40. s48..s53 (DVB-H signalling) stay 0.
    if (cell_id_) {
        const uint32_t byte = (frame_index & 1) ? (*cell_id_ & 0xFFu) : (*cell_id_ >> 8);
        put_field(40, 8, byte);
    }
    append_bch_parity();
}

// Systematic BCH encoding by an LFSR divider. The 60 zero bits that shorten
// BCH(127,113) come first and leave the cleared register at zero, so only
// s1..s53 are fed, in that order.
void TpsWord::append_bch_parity() {
    std::array<uint8_t, 14> bch_register{};  // bch_register[13] is the highest stage
    for (int i = 1; i <= 53; ++i) {
        const uint8_t feedback = tps_bits_[i] ^ bch_register[13];
        for (int j = 13; j >= 1; --j)
            bch_register[j] = bch_register[j - 1] ^ (feedback & bch_generator[j]);
        bch_register[0] = feedback & bch_generator[0];
    }
    for (int i = 0; i < 14; ++i) tps_bits_[54 + i] = bch_register[13 - i];
}

}  // namespace terramod
