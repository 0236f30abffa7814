#include "tx/transmitter.h"

#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "io/file_identity.h"
#include "io/file_source.h"
#include "tx/chain.h"
#include "tx/config.h"
#include "tx/dump_files.h"
#include "tx/input.h"
#include "tx/log.h"
#include "tx/parameters.h"
#include "tx/progress.h"
#include "tx/sample_output.h"
#include "tx/tx_types.h"

namespace terramod {

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFatal = 1;
constexpr int kExitFileFailure = 2;
constexpr const char* kDefaultLogName = "test.log";

// What a run writes: the dump files and the transmitted signal.
struct RunOutputs {
    DumpFiles dumps;
    SampleOutput signal;

    std::vector<std::string> file_names() const {
        std::vector<std::string> names = dumps.selected_file_names();
        for (const std::string& name : signal.file_names()) names.push_back(name);
        return names;
    }
    bool had_failure() const { return dumps.had_failure() || signal.had_failure(); }
};

// Opening the log truncates its file: a log name that denotes the input file
// would destroy the input before it is read.
bool log_is_input(const TxConfig& config, const std::string& log_name) {
    if (!config.input_path) return false;
    const std::optional<FileIdentity> input = file_identity(*config.input_path);
    return input && file_identity(log_name) == input;
}

// Creating a file truncates it: refuse, before touching any file, a name that
// denotes the input (by any path or link) while it is being read, or the log,
// whose text would otherwise be written into the samples.
bool outputs_spare_input_and_log(const std::vector<std::string>& names, const FileIdentity& input,
                                 Log& log, const std::string& log_name) {
    const std::optional<FileIdentity> log_identity =
        log.is_open() ? stored_file_identity(log_name) : std::nullopt;
    for (const std::string& name : names) {
        const std::optional<FileIdentity> identity = file_identity(name);
        if (identity == input) {
            log.write(0, "FATAL ERROR: output file \"%s\" is the input file\n", name.c_str());
            return false;
        }
        if (identity && identity == log_identity) {
            log.write(0, "FATAL ERROR: output file \"%s\" is the log file\n", name.c_str());
            return false;
        }
    }
    return true;
}

void open_outputs(const TxConfig& config, RunOutputs& outputs, Log& log) {
    if (!config.output_path && config.dump[kDumpPostIfft])
        log.write(2, "WARNING: no DAC stream file name given -> using %s.bin\n", kDefaultBaseName);
    outputs.dumps.open();
    outputs.signal.open();
}

// One pass of the whole chain over one block; returns the bytes consumed.
int64_t run_cycle(TsSource& source, TxChain& chain, RunOutputs& outputs, Log& log) {
    const int64_t consumed = read_cycle_block(source, chain.input_block(), log);
    chain.run_outer(log);
    outputs.dumps.write(chain, kDumpEnergyDispersal, kDumpOuterInterleaver);
    chain.run_inner(log);
    outputs.dumps.write(chain, kDumpConvEncoder, kDumpPreIfft);
    outputs.signal.write(chain.output_samples());
    return consumed;
}

// The cycle loop: runs until the input is consumed; returns the bytes consumed.
uint64_t run_cycles(TsSource& source, uint64_t input_length, TxChain& chain, RunOutputs& outputs,
                    Log& log) {
    const float progress_factor = make_progress_factor(input_length);
    uint64_t bytes_consumed = 0;
    for (int64_t cycle = 1; bytes_consumed < input_length; ++cycle) {
        log.write(2, "*** Cycle #%" PRId64 " ***\n", cycle);
        bytes_consumed += static_cast<uint64_t>(run_cycle(source, chain, outputs, log));
        const SymbolPosition& symbol = chain.last_symbol();
        log.write(2, "%.1f%% done (S%02d,F%d,SF%06d)\n",
                  progress_percent(bytes_consumed, progress_factor), symbol.frame_symbol_index,
                  symbol.frame_index, symbol.superframe_index);
    }
    return bytes_consumed;
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

// The SIMD kernels: the widest this CPU runs, unless TERRAMOD_SIMD names
// another (for comparisons and tests; the output is the same on every path).
const SimdKernels& choose_kernels(Log& log) {
    const SimdKernels* kernels = kernels_from_environment();
    const char* forced = std::getenv(kSimdEnvironmentVariable);
    if (kernels == nullptr) {
        log.write(0, "WARNING: %s=\"%s\" names no SIMD path this machine runs -> using %s\n",
                  kSimdEnvironmentVariable, forced, best_kernels().name);
        return best_kernels();
    }
    if (forced != nullptr && *forced != 0)
        log.write(4, "SIMD path forced by %s: %s\n", kSimdEnvironmentVariable, kernels->name);
    return *kernels;
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
    if (config.sample_type &&
        output_format(config.dac_format).encoding != SampleEncoding::kFloatPairs) {
        log.write(0,
                  "FATAL ERROR: --sample-type applies to the standard, 2x and 4x formats only\n");
        return stop_fatal(log);
    }
    const BlockSizes sizes = choose_block_size(config);
    write_block_summary(sizes, log);

    const std::string base_name = make_base_name(config.output_path);
    std::unique_ptr<TxChain> chain;
    std::unique_ptr<RunOutputs> outputs;
    try {
        const OutputFormatDescription& format = output_format(config.dac_format);
        chain = std::make_unique<TxChain>(dvbt_settings(config), format.interpolation_factor, sizes,
                                          config.dump, choose_kernels(log));
        outputs.reset(
            new RunOutputs{DumpFiles(log, config.dump, base_name),
                           SampleOutput(log, config, base_name, chain->output_samples().size(),
                                        rates.sampling_rate, rates.useful_throughput)});
    } catch (const std::bad_alloc&) {
        log.write(0, "FATAL ERROR: not enough memory for the stage buffers\n");
        return stop_fatal(log);
    }

    std::unique_ptr<FileSource> source = FileSource::open(config.input_path, log);
    if (!source) return stop_fatal(log);
    if (!outputs_spare_input_and_log(outputs->file_names(), source->identity(), log, log_name))
        return stop_fatal(log);
    open_outputs(config, *outputs, log);

    const auto start = std::chrono::steady_clock::now();
    const uint64_t bytes_consumed =
        run_cycles(*source, *source->known_length(), *chain, *outputs, log);
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start);
    report_run(log, bytes_consumed, elapsed, rates.useful_throughput);
    outputs->signal.report_clipping();

    chain.reset();
    source.reset();
    outputs->signal.close_first();
    outputs->dumps.close_all();
    outputs->signal.close_rest();
    log.close();
    return outputs->had_failure() || log.had_write_failure() ? kExitFileFailure : kExitSuccess;
}

}  // namespace terramod
