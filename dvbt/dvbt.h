// The DVB-T constants every stage and the driver share (ETSI EN 300 744):
// the transmission settings and their names, the transport-stream packet,
// the frame structure and the mode tables.
#pragma once

#include <cstdint>
#include <optional>

namespace terramod {

// Enumerations: each value is also the index into its name table.
enum OfdmMode : int32_t { kMode2k = 0, kMode8k = 1 };
enum Constellation : int32_t { kQpsk = 0, kQam16 = 1, kQam64 = 2 };
enum Hierarchy : int32_t { kNonHierarchical = 0, kAlpha1 = 1, kAlpha2 = 2, kAlpha4 = 3 };
enum GuardInterval : int32_t { kGuard1_4 = 0, kGuard1_8 = 1, kGuard1_16 = 2, kGuard1_32 = 3 };
enum CodeRate : int32_t { kRate1_2 = 0, kRate2_3 = 1, kRate3_4 = 2, kRate5_6 = 3, kRate7_8 = 4 };
enum ChannelSpacing : int32_t { kSpacing6MHz = 0, kSpacing7MHz = 1, kSpacing8MHz = 2 };
enum InterleaverInit : int32_t { kInitZero = 0, kInitRand = 1 };
enum FrequencyMapping : int32_t { kZeroIf = 0, kBasebandIf = 1 };

// Name tables, indexed by the enumerations above.
inline constexpr const char* kModeNames[] = {"2k", "8k"};
inline constexpr const char* kConstellationNames[] = {"4QAM", "16QAM", "64QAM"};
inline constexpr const char* kHierarchyNames[] = {"NH", "1", "2", "4"};
inline constexpr const char* kGuardIntervalNames[] = {"1/4", "1/8", "1/16", "1/32"};
inline constexpr const char* kCodeRateNames[] = {"1/2", "2/3", "3/4", "5/6", "7/8"};
inline constexpr const char* kChannelSpacingNames[] = {"6 MHz", "7 MHz", "8 MHz"};
inline constexpr const char* kInterleaverInitNames[] = {"zero", "rand"};
inline constexpr const char* kFrequencyMappingNames[] = {"zero IF", "BB IF"};

// The settings the stages compute with: what the TPS signals, and how the
// outer interleaver starts and the spectrum is placed.
struct DvbtSettings {
    OfdmMode mode = kMode2k;
    Constellation constellation = kQpsk;
    Hierarchy hierarchy = kNonHierarchical;
    GuardInterval guard_interval = kGuard1_32;
    CodeRate code_rate = kRate1_2;
    InterleaverInit interleaver_init = kInitRand;
    FrequencyMapping frequency_mapping = kZeroIf;
    // Hierarchical transmission of two streams (16QAM/64QAM with alpha 1, 2
    // or 4): code_rate is the high-priority stream's, lp_code_rate the
    // low-priority one's. The TPS signal lp_code_rate in either case (000,
    // rate 1/2, for one stream).
    bool two_streams = false;
    CodeRate lp_code_rate = kRate1_2;
    // The 16-bit cell identifier the TPS carry (EN 300 744 V1.4.1 onwards,
    // clause 4.6.2.10); none: the V1.1.2 TPS, length indicator 23.
    std::optional<uint16_t> cell_id;
};

// The MPEG-2 transport stream packet (EN 300 744 clause 4.3.1).
inline constexpr int32_t kPacketLength = 188;
inline constexpr uint8_t kSyncByte = 0x47;
inline constexpr uint8_t kInvertedSyncByte = 0xB8;
// A Reed-Solomon codeword: the packet and 16 parity bytes.
inline constexpr int32_t kCodewordLength = 204;

// Frame structure (EN 300 744 clause 4.4).
inline constexpr int32_t kSymbolsPerFrame = 68;
inline constexpr int32_t kFramesPerSuperframe = 4;

// Mode constants, indexed by OfdmMode.
inline constexpr int32_t fft_size[] = {2048, 8192};
inline constexpr int32_t fft_log2[] = {11, 13};
inline constexpr int32_t carrier_count[] = {1705, 6817};
inline constexpr int32_t data_carrier_count[] = {1512, 6048};
inline constexpr int32_t continual_pilot_count[] = {45, 177};
inline constexpr int32_t tps_carrier_count[] = {17, 68};
// Indexed by Constellation.
inline constexpr int32_t bits_per_cell[] = {2, 4, 6};
// Indexed by CodeRate: the doubles nearest to 1/2, 2/3, 3/4, 5/6, 7/8.
inline constexpr double code_rate_value[] = {0.5, 0.6666666666666666, 0.75, 0.8333333333333334,
                                             0.875};
// Indexed by GuardInterval.
inline constexpr double guard_fraction[] = {0.25, 0.125, 0.0625, 0.03125};

// One complex baseband value: I then Q, 32-bit IEEE floats.
struct ComplexSample {
    float re;
    float im;
};
static_assert(sizeof(ComplexSample) == 8);

// The position of an OFDM symbol: symbol within the frame, frame within the
// superframe, superframes begun.
struct SymbolPosition {
    int32_t frame_symbol_index = 0;
    int32_t frame_index = 0;
    int32_t superframe_index = 0;
};

}  // namespace terramod
