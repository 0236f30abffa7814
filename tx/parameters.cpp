#include "tx/parameters.h"

#include <cmath>
#include <numeric>

#include "tx/channel_setup.h"
#include "tx/config.h"

namespace terramod {

namespace {

// Output sampling rate by channel spacing: the doubles nearest to 48/7 MHz,
// 8 MHz and 64/7 MHz.
constexpr double kSamplingRate[] = {6857142.857142857, 8000000.0, 9142857.142857144};

// The double nearest to 188/204: the share of a Reed-Solomon packet that is
// transport stream.
constexpr double kPayloadShare = 188.0 / 204.0;

// The double nearest to 1/1632 (1632 bits = one 204-byte packet).
constexpr double kPacketsPerBit = 0.0006127450980392157;

constexpr int32_t kMaxSymbolsPerCycle = 3000;

const char* path_or_none(const std::optional<std::string>& path) {
    return path ? path->c_str() : "NONE";
}

// Code rate k/n by CodeRate.
constexpr int64_t kRateNumerator[] = {1, 2, 3, 5, 7};
constexpr int64_t kRateDenominator[] = {2, 3, 4, 6, 8};
constexpr int64_t kBitsPerRsPacket = 8 * 204;

// Packets per OFDM symbol of one stream, as a reduced fraction.
struct PacketsPerSymbol {
    int64_t packets;
    int64_t symbols;
};

PacketsPerSymbol packets_per_symbol(int32_t data_carriers, int32_t bits_a_cell, CodeRate rate) {
    const int64_t packets = int64_t{data_carriers} * bits_a_cell * kRateNumerator[rate];
    const int64_t symbols = kRateDenominator[rate] * kBitsPerRsPacket;
    const int64_t divisor = std::gcd(packets, symbols);
    return {packets / divisor, symbols / divisor};
}

// Hierarchical transmission: the smallest number of OFDM symbols that carries
// whole packets of both streams, found exactly in integers (the least common
// multiple of the two streams' symbols per whole packet count). Both streams
// then enter and leave every cycle on packet boundaries, so each keeps its
// own stages running as the single stream does, cycle after cycle; at most
// 272 symbols (2k, a rate of 7/8), one superframe.
void choose_hierarchical_block_size(const TxConfig& config, BlockSizes& sizes) {
    const int32_t data_carriers = data_carrier_count[config.mode];
    const int32_t lp_bits = bits_per_cell[config.constellation] - 2;
    const PacketsPerSymbol hp = packets_per_symbol(data_carriers, 2, config.code_rate);
    const PacketsPerSymbol lp = packets_per_symbol(data_carriers, lp_bits, config.lp_code_rate);
    const int64_t symbols = std::lcm(hp.symbols, lp.symbols);
    sizes.symbols_per_cycle = static_cast<int32_t>(symbols);
    sizes.packets_per_cycle = static_cast<int32_t>(symbols / hp.symbols * hp.packets);
    sizes.lp_packets_per_cycle = static_cast<int32_t>(symbols / lp.symbols * lp.packets);
    sizes.punctured_bit_count = data_carriers * 2 * sizes.symbols_per_cycle;
    sizes.lp_punctured_bit_count = data_carriers * lp_bits * sizes.symbols_per_cycle;
    sizes.lp_ts_bytes = 188 * sizes.lp_packets_per_cycle;
    sizes.lp_rs_bytes = 204 * sizes.lp_packets_per_cycle;
    sizes.lp_coded_bit_count = 16 * sizes.lp_rs_bytes;
}

// One line of the parameter report: the name padded to 20 characters.
void report_field(Log& log, const char* name, const char* value) {
    log.write(LogLevel::kProgress, "\t%-20s: %s\n", name, value);
}

void write_settings(const TxConfig& config, Log& log) {
    log.write(LogLevel::kProgress,
              "%sStandard ETSI EN 300 744 V1.1.2 (1997-08)\n\nDVB-T Exciter parameters:\n"
              "----------------------------------------------------------\n",
              kBanner);
    report_field(log, "MPEG-2 TS file name", path_or_none(config.input_path));
    if (config.hierarchical_streams())
        report_field(log, "LP MPEG-2 TS file", config.lp_input_path->c_str());
    report_field(log, "DAC file name", path_or_none(config.output_path));
    report_field(log, "Mode", kModeNames[config.mode]);
    report_field(log, "Const. order", kConstellationNames[config.constellation]);
    report_field(log, "Unif. order", kHierarchyNames[config.hierarchy]);
    report_field(log, "Prefix duration", kGuardIntervalNames[config.guard_interval]);
    report_field(log, "Puncturing rate", kCodeRateNames[config.code_rate]);
    if (config.hierarchical_streams())
        report_field(log, "LP puncturing rate", kCodeRateNames[config.lp_code_rate]);
    if (config.bandwidth_hz)
        log.write(LogLevel::kProgress, "\tChannel bandwidth   : %.6f MHz\n",
                  *config.bandwidth_hz * 1e-6);
    else
        report_field(log, "Channel spacing", kChannelSpacingNames[config.channel_spacing]);
    report_field(log, "ConvInt init.", kInterleaverInitNames[config.interleaver_init]);
    report_field(log, "Frequency mapping", kFrequencyMappingNames[config.frequency_mapping]);
}

}  // namespace

double sampling_rate(const TxConfig& config) {
    if (config.bandwidth_hz) return *config.bandwidth_hz * 8 / 7;
    return kSamplingRate[config.channel_spacing];
}

// Every figure is computed left to right in double precision, in the order
// the report has always used, so the printed digits never change.
DerivedRates report_parameters(const TxConfig& config, Log& log) {
    const double fft = fft_size[config.mode];
    const double guard = guard_fraction[config.guard_interval];
    DerivedRates rates;

    write_settings(config, log);

    rates.sampling_rate = sampling_rate(config);
    log.write(LogLevel::kProgress, "\tOutput sampling rate: %.6f Msps\n",
              rates.sampling_rate * 1e-6);
    rates.sample_period = 1 / rates.sampling_rate;
    log.write(LogLevel::kProgress, "\tOutput sample time  : %.3f ns\n", rates.sample_period * 1e9);
    log.write(LogLevel::kProgress, "\tUseful symbol time  : %.3f micros\n",
              fft * rates.sample_period * 1e6);
    log.write(LogLevel::kProgress, "\tGuard interval time : %.3f micros\n",
              fft * guard * rates.sample_period * 1e6);
    log.write(LogLevel::kProgress, "\tTotal symbol time   : %.3f micros\n",
              (guard + 1) * fft * rates.sample_period * 1e6);

    const double data_share = static_cast<double>(data_carrier_count[config.mode]) / fft;
    // Hierarchical: the HP stream has 2 bits of each cell, the LP the rest.
    const int32_t bits = bits_per_cell[config.constellation];
    const int32_t hp_bits = config.hierarchical_streams() ? 2 : bits;
    rates.useful_throughput = data_share * rates.sampling_rate * kPayloadShare *
                              code_rate_value[config.code_rate] * hp_bits / (guard + 1);
    log.write(LogLevel::kProgress, "\tUseful throughput   : %.6f Mbps\n",
              rates.useful_throughput * 1e-6);
    if (config.hierarchical_streams()) {
        rates.lp_useful_throughput = data_share * rates.sampling_rate * kPayloadShare *
                                     code_rate_value[config.lp_code_rate] * (bits - 2) /
                                     (guard + 1);
        log.write(LogLevel::kProgress, "\tLP useful throughput: %.6f Mbps\n",
                  rates.lp_useful_throughput * 1e-6);
    }
    log.write(LogLevel::kProgress, "\tCarrier spacing     : %.3f kHz\n",
              rates.sampling_rate / (fft_size[config.mode] * 1000));
    rates.nominal_bandwidth = carrier_count[config.mode] * rates.sampling_rate / fft;
    log.write(LogLevel::kProgress, "\tNominal bandwidth   : %.6f MHz\n",
              rates.nominal_bandwidth * 1e-6);
    // The TPS carry a cell identifier (EN 300 744 V1.4.1 on) only when given.
    if (config.cell_id)
        log.write(LogLevel::kProgress, "\tCell id             : %u (0x%04X)\n",
                  static_cast<unsigned>(*config.cell_id), static_cast<unsigned>(*config.cell_id));
    // The channel simulator's impairments, only when asked.
    report_channel_settings(config, rates.sampling_rate, rates.nominal_bandwidth, log);
    log.write(LogLevel::kProgress, "----------------------------------------------------------\n");
    return rates;
}

// The counts that follow from the symbols per cycle alone.
static void finish_block_size(const TxConfig& config, BlockSizes& sizes) {
    const int32_t symbols = sizes.symbols_per_cycle;
    sizes.cell_count = data_carrier_count[config.mode] * symbols;
    sizes.frame_cell_count = carrier_count[config.mode] * symbols;
    const int32_t samples_per_symbol =
        static_cast<int32_t>((1 + guard_fraction[config.guard_interval]) * fft_size[config.mode]);
    sizes.sample_count = samples_per_symbol * symbols;
}

// The smallest whole number of OFDM symbols that carries a whole number of
// 204-byte packets; every buffer length follows from it.
BlockSizes choose_block_size(const TxConfig& config) {
    if (config.hierarchical_streams()) {
        BlockSizes sizes;
        choose_hierarchical_block_size(config, sizes);
        sizes.ts_bytes = 188 * sizes.packets_per_cycle;
        sizes.rs_bytes = 204 * sizes.packets_per_cycle;
        sizes.coded_bit_count = 16 * sizes.rs_bytes;
        finish_block_size(config, sizes);
        return sizes;
    }
    const int32_t data_carriers = data_carrier_count[config.mode];
    const int32_t bits = bits_per_cell[config.constellation];
    const double rate = code_rate_value[config.code_rate];

    // Packets per OFDM symbol, raised a little so that whole products land at
    // or just above the integer.
    const double packets_per_symbol = (bits * data_carriers) * rate * kPacketsPerBit + 1e-13;
    int32_t symbols = 1;
    for (;; ++symbols) {
        const double packets = symbols * packets_per_symbol;
        const double fraction = packets - std::floor(packets);
        if (std::fabs(fraction) <= 1e-7 || symbols >= kMaxSymbolsPerCycle) break;
    }

    BlockSizes sizes;
    sizes.symbols_per_cycle = symbols;
    sizes.packets_per_cycle = static_cast<int32_t>(symbols * packets_per_symbol);
    sizes.ts_bytes = 188 * sizes.packets_per_cycle;
    sizes.rs_bytes = 204 * sizes.packets_per_cycle;
    // The 1e-10 keeps products such as 1512 x 0.666... from falling just
    // below the whole number.
    sizes.coded_bit_count = static_cast<int32_t>(data_carriers * rate * bits * symbols * 2 + 1e-10);
    sizes.punctured_bit_count = data_carriers * bits * symbols;
    finish_block_size(config, sizes);
    return sizes;
}

// The low-priority stream's stage buffers (0 for one stream).
static uint32_t lp_buffer_bytes(const BlockSizes& sizes) {
    return static_cast<uint32_t>(sizes.lp_ts_bytes) +
           2u * static_cast<uint32_t>(sizes.lp_rs_bytes) +
           static_cast<uint32_t>(sizes.lp_coded_bit_count) +
           static_cast<uint32_t>(sizes.lp_punctured_bit_count);
}

uint32_t block_buffer_bytes(const BlockSizes& sizes) {
    return 8u * (static_cast<uint32_t>(sizes.sample_count) +
                 static_cast<uint32_t>(sizes.frame_cell_count) +
                 static_cast<uint32_t>(sizes.cell_count)) +
           static_cast<uint32_t>(sizes.cell_count) + static_cast<uint32_t>(sizes.cell_count) +
           static_cast<uint32_t>(sizes.punctured_bit_count) +
           static_cast<uint32_t>(sizes.coded_bit_count) + static_cast<uint32_t>(sizes.rs_bytes) +
           static_cast<uint32_t>(sizes.rs_bytes) + static_cast<uint32_t>(sizes.ts_bytes) +
           lp_buffer_bytes(sizes);
}

void write_block_summary(const BlockSizes& sizes, Log& log) {
    // The unsigned 32-bit total is converted to float and scaled by 2^-20 in
    // single precision, as the figure has always been computed.
    const float megabytes = static_cast<float>(block_buffer_bytes(sizes)) * 9.5367431640625e-07f;
    log.write(LogLevel::kMemory,
              "        Simulation buffers  : %d ppc, %d bpc\n"
              "        Total RAM           : %.3f MB\n"
              "----------------------------------------------------------\n",
              sizes.packets_per_cycle, sizes.symbols_per_cycle, static_cast<double>(megabytes));
}

}  // namespace terramod
