#include "tx/transmitter.h"

#include <sys/stat.h>

#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <limits>
#include <new>
#include <optional>
#include <string>

#include "inner/bit_interleaver.h"
#include "inner/conv_encoder.h"
#include "inner/mapper.h"
#include "inner/symbol_interleaver.h"
#include "ofdm/dac_output.h"
#include "ofdm/frame_builder.h"
#include "ofdm/ifft.h"
#include "outer/energy_dispersal.h"
#include "outer/outer_interleaver.h"
#include "outer/reed_solomon.h"
#include "tx/config.h"
#include "tx/input.h"
#include "tx/log.h"
#include "tx/parameters.h"
#include "tx/progress.h"
#include "tx/stage_files.h"
#include "tx/tx_types.h"

namespace terramod {

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFatal = 1;
constexpr int kExitFileFailure = 2;
constexpr const char* kDefaultLogName = "test.log";

// One object per stage of the chain. The members are constructed in the
// order of the start-up: Reed-Solomon tables, outer interleaver memories,
// encoder and puncturer, IFFT tables, interpolator, then the stages without
// a start-up step.
struct StageChain {
    StageChain(Log& log, const TxConfig& config, FrameCounters& counters)
        : reed_solomon(log),
          outer_interleaver(log, config.interleaver_init),
          conv_encoder(log),
          puncturer(log, config.code_rate),
          ifft(log, config),
          interpolator(config.dac_format),
          energy_dispersal(log),
          bit_interleaver(log, config.constellation),
          symbol_interleaver(log, config.mode, counters),
          mapper(log, config.constellation, config.hierarchy),
          frame_builder(log, config, counters),
          agilent_converter(compute_agilent_scale(config.mode)) {
        conv_encoder.conv_encoder_reset();
        puncturer.puncturer_reset();
    }

    ReedSolomonEncoder reed_solomon;
    OuterInterleaver outer_interleaver;
    ConvEncoder conv_encoder;
    Puncturer puncturer;
    Ifft ifft;
    Interpolator interpolator;
    EnergyDispersal energy_dispersal;
    BitInterleaver bit_interleaver;
    SymbolInterleaver symbol_interleaver;
    Mapper mapper;
    FrameBuilder frame_builder;
    AgilentConverter agilent_converter;
};

// Opening the log truncates its file: a log name that denotes the input file
// would destroy the input before it is read.
bool log_is_input(const TxConfig& config, const std::string& log_name) {
    if (!config.input_path) return false;
    const std::optional<FileIdentity> input = file_identity(*config.input_path);
    return input && file_identity(log_name) == input;
}

// The open log's identity when it is a stored file, whose text an output file
// of the same name would overwrite. A device such as /dev/null may serve as
// log and output at once.
std::optional<FileIdentity> stored_log_identity(const Log& log, const std::string& log_name) {
    struct stat status {};
    if (!log.is_open() || ::stat(log_name.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    return FileIdentity{status.st_dev, status.st_ino};
}

// One pass of the whole chain over one block; returns the bytes consumed.
int32_t run_cycle(const TxConfig& config, const BlockSizes& sizes, TsInput& input,
                  StageChain& chain, StageBuffers& buffers, StageFiles& files) {
    uint8_t* ts = buffers.ts_buffer.data();
    const int32_t consumed = input.read_block(ts, sizes.ts_bytes);
    chain.energy_dispersal.sync_invert(ts, sizes.ts_bytes);
    chain.energy_dispersal.energy_disperse(ts, sizes.ts_bytes);
    chain.reed_solomon.rs_encode_packets(ts, buffers.rs_buffer.data(), sizes.ts_bytes);
    chain.outer_interleaver.outer_interleave(
        buffers.rs_buffer.data(), buffers.outer_interleaved_buffer.data(), sizes.rs_bytes);
    files.dump_outer_stages(buffers);

    chain.conv_encoder.conv_encode(buffers.outer_interleaved_buffer.data(),
                                   buffers.coded_buffer.data(), sizes.rs_bytes);
    chain.puncturer.puncture(buffers.coded_buffer.data(), buffers.punctured_buffer.data(),
                             sizes.coded_bit_count);
    chain.bit_interleaver.bit_interleave(buffers.punctured_buffer.data(),
                                         buffers.bit_interleaved_buffer.data(),
                                         sizes.punctured_bit_count);
    chain.symbol_interleaver.symbol_interleave(buffers.bit_interleaved_buffer.data(),
                                               buffers.symbol_interleaved_buffer.data(),
                                               sizes.cell_count);
    chain.mapper.map_symbols(buffers.symbol_interleaved_buffer.data(), buffers.mapped_buffer.data(),
                             sizes.cell_count);
    chain.frame_builder.add_pilots_and_tps(buffers.mapped_buffer.data(),
                                           buffers.frame_buffer.data(), sizes.cell_count);
    chain.ifft.ifft_and_guard(buffers.frame_buffer.data(), buffers.time_buffer.data(),
                              sizes.frame_cell_count);
    if (config.dac_format == kFormatAgilent) {
        chain.agilent_converter.convert_agilent(buffers.time_buffer.data(),
                                                buffers.dac_i_buffer.data(),
                                                buffers.dac_q_buffer.data(), sizes.sample_count);
    } else if (config.dac_format == kFormatInterpolated2x ||
               config.dac_format == kFormatInterpolated4x) {
        chain.interpolator.interpolate(buffers.time_buffer.data(),
                                       buffers.interpolated_buffer.data(), sizes.sample_count);
    }
    files.dump_inner_stages(buffers);
    return consumed;
}

// The speed line and the comparison with the broadcast rate.
void report_run(Log& log, uint64_t bytes_consumed, std::chrono::microseconds elapsed_time,
                double useful_throughput) {
    const double elapsed = run_seconds(elapsed_time);
    const double rate = static_cast<double>(bytes_consumed) * 8 / elapsed;
    log.write(1, "Elapsed time = %.3f s. ", elapsed);
    log.write(1, "Approx. %.3f kbps.\n", rate * 0.001);
    if (useful_throughput < rate) {
        log.write(2, "This is %.1f times faster than real-time ;=)\n", rate / useful_throughput);
    } else {
        // Nothing consumed (an empty input) is infinitely slower.
        const double factor =
            rate > 0 ? useful_throughput / rate : std::numeric_limits<double>::infinity();
        log.write(2, "This is %.1f times slower than real-time :=(\n", factor);
    }
}

// A fatal stop: the log keeps no footer.
int stop_fatal(Log& log) {
    log.close_without_footer();
    return kExitFatal;
}

}  // namespace

int run_transmitter(int argc, char** argv) {
    // Console write errors are ignored: a console piped into a reader that
    // quits early (terramod ... | head) must not kill the run and cut the
    // output files short. A write to a closed pipe then fails with EPIPE,
    // which the dump and output files report as a failed write.
    std::signal(SIGPIPE, SIG_IGN);

    TxConfig config;
    set_defaults(config);
    parse_command_line(config, argc, argv);

    const std::string log_name = config.log_path.value_or(kDefaultLogName);
    if (log_is_input(config, log_name)) {
        std::printf("FATAL ERROR: log file \"%s\" is the input file\n", log_name.c_str());
        return kExitFatal;
    }
    Log log(config.verbosity, stdout);
    if (!log.open(log_name))
        std::printf("WARNING: Can't create log file \"%s\" -> logging to console only\n",
                    log_name.c_str());

    if (report_help_or_version(config, log)) {
        log.close_without_footer();
        return kExitSuccess;
    }
    const DerivedRates rates = report_parameters(config, log);
    const BlockSizes sizes = choose_block_size(config);
    write_block_summary(sizes, log);

    StageBuffers buffers;
    try {
        buffers.allocate(sizes, config.dac_format);
    } catch (const std::bad_alloc&) {
        log.write(0, "FATAL ERROR: not enough memory for the stage buffers\n");
        return stop_fatal(log);
    }

    TsInput input(log);
    const std::optional<uint64_t> input_length = input.open_input(config.input_path);
    if (!input_length) return stop_fatal(log);

    FrameCounters counters;
    StageChain chain(log, config, counters);
    StageFiles files(log, config, sizes);
    if (!files.open_stage_files(input.identity(), stored_log_identity(log, log_name))) {
        input.close();
        return stop_fatal(log);
    }
    counters = FrameCounters{};
    const float progress_factor = make_progress_factor(*input_length);

    const auto start = std::chrono::steady_clock::now();
    uint64_t bytes_consumed = 0;
    for (int64_t cycle = 1; bytes_consumed < *input_length; ++cycle) {
        log.write(2, "*** Cycle #%" PRId64 " ***\n", cycle);
        bytes_consumed +=
            static_cast<uint64_t>(run_cycle(config, sizes, input, chain, buffers, files));
        log.write(2, "%.1f%% done (S%02d,F%d,SF%06d)\n",
                  progress_percent(bytes_consumed, progress_factor), counters.frame_symbol_index,
                  counters.frame_index, counters.superframe_index);
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start);
    report_run(log, bytes_consumed, elapsed, rates.useful_throughput);

    buffers = StageBuffers{};
    input.close();
    files.close_all();
    log.close();
    return files.had_failure() || log.had_write_failure() ? kExitFileFailure : kExitSuccess;
}

}  // namespace terramod
