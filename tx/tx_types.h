// The driver's types: the command-line record, the output formats, the dump
// letters and the element counts of one cycle.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "channel/channel_settings.h"
#include "dvbt/dvbt.h"
#include "io/sample_types.h"
#include "ofdm/arithmetic.h"

namespace terramod {

// The output sample formats of -F.
enum DacFormat : int32_t {
    kFormatStandard = 0,
    kFormatAgilent = 1,
    kFormatHp = 2,
    kFormatInterpolated2x = 3,
    kFormatInterpolated4x = 4
};

// The dump letters, in chain order; also the order of the dump flags.
enum DumpStage : int32_t {
    kDumpEnergyDispersal = 0,  // e
    kDumpReedSolomon,          // r
    kDumpOuterInterleaver,     // c
    kDumpConvEncoder,          // v
    kDumpPuncturer,            // p
    kDumpBitInterleaver,       // b
    kDumpSymbolInterleaver,    // s
    kDumpMapper,               // m
    kDumpPreIfft,              // f
    kDumpPostIfft,             // t
    kDumpStageCount
};
inline constexpr char kDumpLetters[] = "ercvpbsmft";
// Which dumps a run writes, indexed by DumpStage.
using DumpSelection = std::array<bool, kDumpStageCount>;
inline constexpr DumpSelection kEveryDump = {true, true, true, true, true,
                                             true, true, true, true, true};

// The one configuration record: written during start-up, read-only afterwards.
struct TxConfig {
    std::optional<std::string> input_path;
    std::optional<std::string> output_path;
    std::optional<std::string> log_path;
    OfdmMode mode = kMode2k;
    Constellation constellation = kQpsk;
    Hierarchy hierarchy = kNonHierarchical;
    GuardInterval guard_interval = kGuard1_32;
    CodeRate code_rate = kRate1_2;
    ChannelSpacing channel_spacing = kSpacing8MHz;
    InterleaverInit interleaver_init = kInitRand;
    FrequencyMapping frequency_mapping = kZeroIf;
    DacFormat dac_format = kFormatStandard;
    int32_t verbosity = 4;
    bool show_help = false;
    bool show_version = false;
    DumpSelection dump{};  // indexed by DumpStage
    // Long options.
    std::optional<SampleType> sample_type;   // --sample-type; cf32 when absent
    double backoff_db = 12.0;                // --backoff
    bool write_sigmf = true;                 // --no-sigmf clears it
    bool adapt_rate = false;                 // --adapt-rate
    bool loop = false;                       // --loop
    std::optional<std::string> device_args;  // --device: transmit through SoapySDR
    std::optional<double> frequency_hz;      // --frequency
    std::optional<double> gain_db;           // --gain
    std::optional<std::string> antenna;      // --antenna
    int32_t channel = 0;                     // --channel
    double prime_ms = 100;                   // --prime: samples ready before the device starts
    // Live inputs (udp://, srt://): the jitter buffer of a paced run, the
    // backup input and when it takes over; --realtime paces a file or
    // standard output as a device would.
    bool realtime = false;                    // --realtime
    int32_t input_buffer_ms = 200;            // --input-buffer
    std::optional<std::string> input_backup;  // --input-backup
    int32_t switch_after_ms = 1000;           // --switch-after
    // Operations: the Prometheus endpoint, the control interface and the
    // events file (or socket).
    std::optional<std::string> metrics_listen;  // --metrics-listen
    std::optional<std::string> control;         // --control
    std::optional<std::string> events;          // --events
    // Hierarchical transmission: the low-priority stream (--lp-input) and
    // its code rate (--lp-rate); -i is then the high-priority stream.
    std::optional<std::string> lp_input_path;
    CodeRate lp_code_rate = kRate1_2;
    // --bandwidth: any channel bandwidth in Hz; the sampling rate is 8/7 of
    // it (absent: -b).
    std::optional<double> bandwidth_hz;

    bool hierarchical_streams() const { return lp_input_path.has_value(); }
    int32_t threads = 0;        // --threads; 0: every processor online
    int32_t window_length = 0;  // --window; -1 for a value that is no number
    // --arithmetic (--precise: Arithmetic::kPrecise).
    Arithmetic arithmetic = Arithmetic::kExact;

    std::optional<uint64_t> log_max_size;  // --log-max-size; none: no limit
    // --cell-id: the cell identifier the TPS carry (EN 300 744 V1.4.1
    // onwards); none: the TPS of V1.1.2.
    std::optional<uint16_t> cell_id;
    // Single-frequency network (ETSI TS 101 191): --sfn, the input carries a
    // MIP in every mega-frame; --sfn-take-settings, the MIP gives the mode,
    // constellation, hierarchy, code rates and guard interval; --tx-id, this
    // transmitter's tx_identifier; --sfn-offset, a local trim in seconds.
    bool sfn = false;
    bool sfn_take_settings = false;
    std::optional<uint16_t> tx_id;
    double sfn_offset_s = 0;
    // --time-source fixed:UNIX_SECONDS: the 1 PPS pulse before the first
    // mega-frame; none: the system clock's next whole second.
    std::optional<double> time_source_fixed_s;
    // --time-source pps: the device's PPS input gives the pulses (the system
    // clock, disciplined, names their seconds).
    bool time_source_pps = false;
    // --clock-source: the device's 10 MHz reference, as SoapySDR names it.
    std::optional<std::string> clock_source;
    // --mip-loss stop: no valid MIP for more than a mega-frame stops the
    // run; by default the transmitter mutes until MIPs return.
    bool sfn_stop_on_mip_loss = false;
    // The channel simulator (--seed, --cn, --echo-profile ...): none by
    // default.
    ChannelSettings channel_simulation;
    // What the command line did not take as given (tx/config.cpp). Unknown
    // long options and long options without their value stop every run; the
    // rest (unknown arguments, values that fell back to a default or were
    // ignored, each as "-M 65: one of 4, 16, 64 expected; 4QAM used") stops
    // a run to a device unless --lenient.
    std::vector<std::string> unknown_long_options;
    std::vector<std::string> long_options_without_value;
    std::vector<std::string> settings_not_taken;
    bool lenient = false;  // --lenient
    // --config: the settings of a TOML file (tx/config_file.h), under the
    // command line's.
    std::optional<std::string> config_path;
    // The settings the command line gave, by the name of their long option
    // ("--constellation" for -M): a configuration file leaves them as given.
    std::vector<std::string> command_line_settings;

    bool operator==(const TxConfig&) const = default;
};

// Element counts of one cycle's stage buffers.
struct BlockSizes {
    int32_t symbols_per_cycle = 0;
    int32_t packets_per_cycle = 0;
    int32_t ts_bytes = 0;
    int32_t rs_bytes = 0;
    int32_t coded_bit_count = 0;
    int32_t punctured_bit_count = 0;
    int32_t cell_count = 0;
    int32_t frame_cell_count = 0;
    int32_t sample_count = 0;
    // The low-priority stream's buffers (hierarchical transmission only; 0
    // otherwise). punctured_bit_count is then the HP stream's 2 bits a cell.
    int32_t lp_packets_per_cycle = 0;
    int32_t lp_ts_bytes = 0;
    int32_t lp_rs_bytes = 0;
    int32_t lp_coded_bit_count = 0;
    int32_t lp_punctured_bit_count = 0;
};

// The fields of the command line the stages compute with.
inline DvbtSettings dvbt_settings(const TxConfig& config) {
    DvbtSettings settings{
        config.mode,      config.constellation,    config.hierarchy,         config.guard_interval,
        config.code_rate, config.interleaver_init, config.frequency_mapping, false,
        kRate1_2,         config.cell_id};
    if (config.hierarchical_streams()) {
        settings.two_streams = true;
        settings.lp_code_rate = config.lp_code_rate;
    }
    return settings;
}

}  // namespace terramod
