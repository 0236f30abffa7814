#include "tx/transmitter.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/stop_signals.h"
#include "common/utc_clock.h"
#include "io/sigmf.h"
#include "io/stream_source.h"
#include "io/ts_packet.h"
#include "net/input_uri.h"
#include "net/live_source.h"
#include "ops/metrics.h"
#include "ops/status_line.h"
#include "sfn/megaframe_aligner.h"
#include "tx/chain.h"
#include "tx/channel_setup.h"
#include "tx/config.h"
#include "tx/config_file.h"
#include "tx/dump_files.h"
#include "tx/input.h"
#include "tx/operations.h"
#include "tx/parameters.h"
#include "tx/progress.h"
#include "tx/run_files.h"
#include "tx/run_settings.h"
#include "tx/run_sfn.h"
#include "tx/run_sources.h"
#include "tx/sample_output.h"
#include "tx/sfn_gate.h"
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
    bool signal_to_standard_output = false;

    // The files the run creates (standard output is checked on its own).
    std::vector<std::string> file_names() const {
        std::vector<std::string> names = dumps.selected_file_names();
        if (signal_to_standard_output) return names;
        for (const std::string& name : signal.file_names()) names.push_back(name);
        return names;
    }
    bool had_failure() const { return dumps.had_failure() || signal.had_failure(); }
};

// False when another run holds the lock of an output (the fatal message is
// written).
bool open_outputs(const TxConfig& config, RunOutputs& outputs, Log& log) {
    // A device run writes no sample file: there is no file name to default.
    if (!config.output_path && config.dump[kDumpPostIfft] && !config.device_args)
        log.write(LogLevel::kProgress, "WARNING: no DAC stream file name given -> using %s.bin\n",
                  kDefaultBaseName);
    if (config.output_path && *config.output_path != kStandardStream && !config.dump[kDumpPostIfft])
        log.write(LogLevel::kWarnings, "Note: the sample file %s.bin is written only with -d t\n",
                  make_base_name(config.output_path).c_str());
    return outputs.dumps.open() && outputs.signal.open();
}

// What watches or re-times the input besides the chain.
struct InputFilters {
    RateMismatchDetector* rate_check = nullptr;  // without --adapt-rate
    bool null_padding = false;                   // --adapt-rate: pad with null packets
};

// The front of a cycle: its block read and carried through the outer stages
// and the inner ones up to the frame builder. Returns the bytes consumed, or
// -1 when the source found the stream unusable (nothing of the block is
// processed or written then).
// Muted, the block read is replaced by null packets: the signal stays valid
// and the input goes on being read, as when it is carried.
void replace_with_null_packets(std::span<uint8_t> block) {
    for (size_t at = 0; at + ts::kPacketSize <= block.size(); at += ts::kPacketSize)
        ts::write_null_packet(block.data() + at);
}

int64_t run_cycle_front(TsSource& source, LowPriorityInput* lp, TxChain& chain, RunOutputs& outputs,
                        const InputFilters& filters, Log& log, int64_t cycle, bool muted) {
    size_t obtained = 0;
    const int64_t consumed =
        read_cycle_block(source, chain.input_block(), log, &obtained, "", filters.null_padding);
    if (source.fatal()) return -1;
    if (filters.rate_check) filters.rate_check->observe(chain.input_block().data(), obtained);
    if (muted) replace_with_null_packets(chain.input_block());
    if (lp) {
        TsSource& lp_stream = lp->stream();
        size_t lp_obtained = 0;
        lp->bytes_consumed += static_cast<uint64_t>(read_cycle_block(
            lp_stream, chain.lp_input_block(), log, &lp_obtained, "LP ", lp->adapter != nullptr));
        if (lp_stream.fatal()) return -1;
        if (lp->rate_check) lp->rate_check->observe(chain.lp_input_block().data(), lp_obtained);
        if (muted) replace_with_null_packets(chain.lp_input_block());
        lp->bytes_read += lp_obtained;
        if (lp_obtained < chain.lp_input_block().size() && !lp->ended) {
            log.write(LogLevel::kProgress,
                      "LP stream ended in cycle #%" PRId64 ": padding it with %s packets\n", cycle,
                      lp->adapter ? "null" : "empty");
            lp->ended = true;
        }
    }
    chain.run_outer(log);
    outputs.dumps.write(chain, kDumpEnergyDispersal, kDumpOuterInterleaver);
    chain.run_front(log);
    return consumed;
}

// What the progress line of a cycle shows, taken when its front has run: the
// next cycle's block may be read before the line is written.
struct CycleRecord {
    int64_t number = 0;
    int64_t consumed = 0;            // bytes of the block, -1: the stream is unusable
    uint64_t bytes_consumed = 0;     // of the run, up to this cycle's block
    uint64_t bytes_taken = 0;        // from a stream, up to this cycle's block
    uint64_t lp_bytes_consumed = 0;  // the same of the LP stream
    uint64_t lp_bytes_taken = 0;
    SymbolPosition symbol;       // the last symbol built
    CycleTime time;              // when its samples are due, for the sinks
    SfnGate::ReadMark sfn_read;  // --sfn: what the input gave up to this block
};

// What the progress line of a stream needs besides the source.
struct SignalRate {
    double sampling_rate;        // Hz, at the base rate
    uint64_t samples_per_cycle;  // at the base rate
};

// Each cycle's progress line: the share of a file consumed, or for a stream
// the input taken and the signal produced.
void write_progress(Log& log, const TsSource& source, const CycleRecord& cycle,
                    float progress_factor, const SignalRate& signal) {
    const SymbolPosition& symbol = cycle.symbol;
    if (source.known_length()) {
        log.write(LogLevel::kProgress, "%.1f%% done (S%02d,F%d,SF%06d)\n",
                  progress_percent(cycle.bytes_consumed, progress_factor),
                  symbol.frame_symbol_index, symbol.frame_index, symbol.superframe_index);
        return;
    }
    const uint64_t samples = static_cast<uint64_t>(cycle.number) * signal.samples_per_cycle;
    log.write(LogLevel::kProgress, "%.1f MB in, %.2f s out (S%02d,F%d,SF%06d)\n",
              input_megabytes(cycle.bytes_taken), signal_seconds(samples, signal.sampling_rate),
              symbol.frame_symbol_index, symbol.frame_index, symbol.superframe_index);
}

// A file runs until its length is consumed, a stream until it ends.
bool input_remains(TsSource& source, uint64_t bytes_consumed) {
    // After a read error the run ends with the cycle that held the last byte.
    if (source.failed()) return false;
    const std::optional<uint64_t> length = source.known_length();
    return length ? bytes_consumed < *length : source.has_more_input();
}

// Whether the run goes on with another cycle after the one that consumed
// the input up to bytes_consumed.
bool another_cycle(TsSource& source, uint64_t bytes_consumed) {
    return stop_signal() == 0 && input_remains(source, bytes_consumed);
}

struct LoopResult {
    uint64_t bytes_consumed = 0;  // whole blocks, the padding included
    bool reader_gone = false;     // standard output lost its reader
    bool input_fatal = false;     // the stream cannot be carried
    bool output_failed = false;   // the device took no more samples
    bool sfn_stopped = false;     // --mip-loss stop: MIPs were lost
};

// Whether reading the input named `path` can wait for data: a stream
// (standard input, a FIFO) can, and a network input unless the run is paced
// (its reads then never wait: null packets stand in for what has not come).
bool input_may_wait(const std::optional<std::string>& path, const TxConfig& config) {
    if (!path) return false;
    if (names_network_input(*path)) return !config.device_args && !config.realtime;
    return StreamSource::names_stream(*path);
}

// Computing the next cycle's front beside this cycle's back needs worker
// threads, and would leave the cycle's stage dumps to be overwritten. The
// front reads the next cycle's block before this cycle is written: a run
// whose samples keep a pace (a device, --realtime, a live input) overlaps
// only when that read cannot wait, so that no stalled input holds back
// samples that are due.
bool cycles_can_overlap(const TxConfig& config, const TransformOptions& options) {
    for (int stage = kDumpEnergyDispersal; stage < kDumpPostIfft; ++stage)
        if (config.dump[stage]) return false;
    if (options.threads <= 1) return false;
    const bool paced = config.device_args || config.realtime ||
                       (config.input_path && names_network_input(*config.input_path));
    const bool may_wait =
        input_may_wait(config.input_path, config) ||
        (config.hierarchical_streams() && input_may_wait(config.lp_input_path, config));
    return !(paced && may_wait);
}

// What ends the run after a cycle's samples went out; false to go on.
bool outputs_stop_run(const RunOutputs& outputs, LoopResult& result) {
    // An endless input must not be read on when nobody takes the samples.
    result.reader_gone = outputs.signal.reader_gone();
    // A device that fails a write leaves a gap on the air: stop.
    result.output_failed = outputs.signal.device_failed();
    result.sfn_stopped = outputs.signal.stopped_by_gate();
    return result.reader_gone || result.output_failed || result.sfn_stopped;
}

struct CycleLoop {
    TsSource& source;
    LowPriorityInput* lp;
    TxChain& chain;
    RunOutputs& outputs;
    const InputFilters& filters;
    const SignalRate& signal;
    Log& log;
    float progress_factor;
    RunOperations& operations;
    SfnGate* sfn_gate;  // --sfn
    // Called with the cycle's number once its samples and lines are out.
    std::function<void(int64_t)> cycle_done;

    // The cycle's header and the control interface's changes taken at the
    // boundary before it, made once the cycle before has gone out: a
    // change takes effect between two cycles, on the output as on the input.
    void begin(int64_t number) {
        log.write(LogLevel::kProgress, "*** Cycle #%" PRId64 " ***\n", number);
        operations.apply_changes(outputs.signal);
    }
    // The cycle's block read and its front (muted as the changes taken for
    // it say), and what its progress line will show.
    CycleRecord front(int64_t number, uint64_t bytes_consumed_before) {
        CycleRecord record;
        record.number = number;
        record.consumed =
            run_cycle_front(source, lp, chain, outputs, filters, log, number, operations.muted());
        record.bytes_consumed =
            bytes_consumed_before + static_cast<uint64_t>(std::max<int64_t>(record.consumed, 0));
        record.bytes_taken = source.bytes_taken();
        if (lp) {
            record.lp_bytes_consumed = lp->bytes_consumed;
            record.lp_bytes_taken = lp->source->bytes_taken();
        }
        record.symbol = chain.last_symbol();
        record.time = outputs.signal.cycle_time(number - 1);
        if (sfn_gate) record.sfn_read = sfn_gate->note_cycle_read();
        return record;
    }
    // The cycle's samples out and its progress lines.
    void finish(const CycleRecord& cycle) {
        outputs.dumps.write(chain, kDumpConvEncoder, kDumpPreIfft);
        if (sfn_gate) sfn_gate->cycle_going_out(cycle.sfn_read);
        outputs.signal.write(chain.output_samples(), cycle.time);
        // A device that failed has stopped the run (its fatal message is out).
        if (outputs.signal.device_failed()) return;
        operations.cycle_done(cycle.number, outputs.signal);
        write_progress(log, source, cycle, progress_factor, signal);
        if (lp && lp->length)
            log.write(LogLevel::kProgress, "LP %.1f%% done\n",
                      progress_percent(cycle.lp_bytes_consumed, lp->progress_factor));
        else if (lp)
            log.write(LogLevel::kProgress, "LP %.1f MB in\n",
                      input_megabytes(cycle.lp_bytes_taken));
        log.flush();
        if (cycle_done) cycle_done(cycle.number);
    }
};

// The cycle loop: runs until the input is consumed, or until the samples can
// no longer be delivered.
LoopResult run_cycles(CycleLoop loop) {
    LoopResult result;
    for (int64_t number = 1; another_cycle(loop.source, result.bytes_consumed); ++number) {
        loop.operations.take_changes(number);
        loop.begin(number);
        const CycleRecord cycle = loop.front(number, result.bytes_consumed);
        if (cycle.consumed < 0) {
            result.input_fatal = true;
            break;
        }
        loop.chain.start_back();
        loop.chain.finish_back(loop.log);
        result.bytes_consumed = cycle.bytes_consumed;
        loop.finish(cycle);
        if (outputs_stop_run(loop.outputs, result)) break;
    }
    return result;
}

// The same cycles with the front of each computed while the worker threads
// compute the back of the one before (the chain has two sets of the buffers
// after the mapper). The next cycle's changes are taken before its front
// (which reads muted or not as they say) and made, with its header, once
// this cycle is written; its front's messages are held back and printed
// after them: the log is the one cycle after cycle. When the output stops
// the run (a reader gone, a device failed, the SFN gate), the next cycle,
// already read, is dropped whole: nothing of it is logged or written.
LoopResult run_overlapped_cycles(CycleLoop loop) {
    LoopResult result;
    if (!another_cycle(loop.source, 0)) return result;
    loop.operations.take_changes(1);
    loop.begin(1);
    CycleRecord cycle = loop.front(1, 0);
    if (cycle.consumed < 0) {
        result.input_fatal = true;
        return result;
    }
    loop.chain.start_back();
    for (;;) {
        std::optional<CycleRecord> next;
        if (another_cycle(loop.source, cycle.bytes_consumed)) {
            loop.operations.take_changes(cycle.number + 1);
            loop.log.hold(true);
            next = loop.front(cycle.number + 1, cycle.bytes_consumed);
            loop.log.hold(false);
        }
        loop.chain.finish_back(loop.log);
        // The next back interpolates (into the one buffer of output samples)
        // only once this cycle's samples are written.
        if (next && next->consumed >= 0) loop.chain.start_back(/*hold_output=*/true);
        result.bytes_consumed = cycle.bytes_consumed;
        loop.finish(cycle);
        loop.chain.output_written();
        if (outputs_stop_run(loop.outputs, result)) {
            // The next cycle is not carried: its messages go with it.
            loop.log.discard_held();
            break;
        }
        if (!next) break;
        loop.begin(next->number);
        loop.log.release_held();
        if (next->consumed < 0) {
            result.input_fatal = true;
            break;
        }
        cycle = *next;
    }
    return result;
}

// The speed line and the comparison with the broadcast rate.
// A run to a device goes at the device's pace, a --realtime run at the
// signal's and a live input's at the input's: their figure is no speed.
// `pace` names what paced the run, or is null.
void report_run(Log& log, uint64_t bytes_consumed, std::chrono::microseconds elapsed_time,
                double useful_throughput, const char* pace) {
    const double elapsed = run_seconds(elapsed_time);
    const double rate = static_cast<double>(bytes_consumed) * 8 / elapsed;
    log.write(LogLevel::kWarnings, "Elapsed time = %.3f s. ", elapsed);
    log.write(LogLevel::kWarnings, "Approx. %.3f kbps.\n", rate * 0.001);
    if (pace) {
        log.write(LogLevel::kProgress, "The run went at the %s pace: %.2f times real-time\n", pace,
                  rate / useful_throughput);
    } else if (useful_throughput < rate) {
        log.write(LogLevel::kProgress, "This is %.1f times faster than real-time ;=)\n",
                  rate / useful_throughput);
    } else {
        // Nothing consumed (an empty input) is infinitely slower.
        const double factor =
            rate > 0 ? useful_throughput / rate : std::numeric_limits<double>::infinity();
        log.write(LogLevel::kProgress, "This is %.1f times slower than real-time :=(\n", factor);
    }
}

// A fatal stop: the log keeps no footer.
int stop_fatal(Log& log) {
    log.close_without_footer();
    return kExitFatal;
}

// The reader of standard output went away: the run stops at once, what the
// dump files hold is kept.
int stop_on_lost_output(RunOutputs& outputs, Log& log);

int stop_reader_gone(RunOutputs& outputs, Log& log) {
    log.fatal(
        "standard output was closed by its reader (broken pipe) -> "
        "transmission stopped\n");
    return stop_on_lost_output(outputs, log);
}

// The samples can no longer be delivered (a reader gone, a device that took
// no more samples and said why in a FATAL ERROR): the run stops at once, as a
// fatal stop without footer; the dumps are kept.
int stop_on_lost_output(RunOutputs& outputs, Log& log) {
    outputs.signal.close_first();
    outputs.signal.report_device_totals();
    outputs.dumps.close_all();
    outputs.signal.close_rest();
    log.close_without_footer();
    return kExitFileFailure;
}

int transmit(int argc, char** argv);

// A network input: it never ends, a stop signal ends its run.
bool live_input(const OpenedInput& input) {
    return dynamic_cast<const LiveSource*>(input.source.get()) != nullptr;
}

}  // namespace

// Memory runs out at start-up in the handler around the chain and its
// buffers; anywhere else (a log line, a file name) it still ends the run
// with the fatal message and exit code 1, never with an abort.
int run_transmitter(int argc, char** argv) {
    try {
        return transmit(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs("FATAL ERROR: not enough memory\n", stderr);
        return kExitFatal;
    }
}

namespace {

// One run, from the command line to the exit code. run() is the sequence;
// each step is a member of its own.
class Transmission {
  public:
    Transmission(int argc, char** argv) : argc_(argc), argv_(argv) {}
    int run();

  private:
    std::optional<int> read_command_line_and_open_log();
    bool open_sfn_input();
    void set_sfn_time_base();
    void start_sfn_gate();
    bool check_settings();
    bool build_chain_and_outputs();
    bool open_inputs();
    bool open_outputs_and_device();
    void start_operations();
    int transmit_all();
    void start_status_line();
    void show_status();
    void end_status_line();
    int shut_down(const LoopResult& loop, std::chrono::microseconds elapsed);
    std::string stop_reason(int exit_code) const;

    int argc_;
    char** argv_;
    bool to_standard_output_ = false;
    std::FILE* console_ = stdout;
    TxConfig config_;
    std::string log_name_;
    // A paced run's status line while its cycles run; declared before the
    // log, which may call it until its end.
    std::unique_ptr<StatusLine> status_;
    std::unique_ptr<Log> log_;
    DerivedRates rates_;
    BlockSizes sizes_;
    std::unique_ptr<TxChain> chain_;
    bool overlap_cycles_ = false;
    std::unique_ptr<RunOutputs> outputs_;
    std::optional<OpenedInput> input_;
    std::unique_ptr<LowPriorityInput> lp_;
    SourceFilters filters_;
    std::unique_ptr<RunOperations> operations_;
    // --sfn: the input from the first mega-frame on, and the MIP that
    // pointed to it.
    std::unique_ptr<MegaframeAligner> aligner_;
    std::optional<Mip> first_mip_;
    std::unique_ptr<SfnGate> sfn_gate_;
};

int Transmission::run() {
    const int exit_code = transmit_all();
    if (operations_) operations_->stop(exit_code, stop_reason(exit_code));
    return exit_code;
}

// What the "stop" event says ended the run.
std::string Transmission::stop_reason(int exit_code) const {
    if (const int signal_number = stop_signal())
        return std::string("stopped by ") + stop_signal_name(signal_number);
    switch (exit_code) {
        case kExitSuccess:
            return "complete";
        case kExitFatal:
            return "fatal error";
        default:
            return "an output or file failed";
    }
}

int Transmission::transmit_all() {
    // Console write errors are ignored: a console piped into a reader that
    // quits early (terramod ... | head) must not kill the run and cut the
    // output files short. A write to a closed pipe then fails with EPIPE,
    // which the dump and output files report as a failed write.
    std::signal(SIGPIPE, SIG_IGN);
    install_stop_signals();
    install_log_reopen_signal();

    if (const std::optional<int> exit_code = read_command_line_and_open_log()) return *exit_code;
    Log& log = *log_;
    if (report_help_or_version(config_, log)) {
        log.close_without_footer();
        return kExitSuccess;
    }
    operations_ = std::make_unique<RunOperations>(config_, log);
    if (!clock_offset_fits_the_run(config_, log) || (config_.sfn && !open_sfn_input()) ||
        !check_settings() || !operations_->prepare() || !build_chain_and_outputs() ||
        !open_inputs() || !open_outputs_and_device())
        return stop_fatal(log);
    start_operations();

    const auto start = std::chrono::steady_clock::now();
    const SignalRate signal{rates_.sampling_rate, static_cast<uint64_t>(sizes_.sample_count)};
    const InputFilters filters{filters_.rate_check.get(), filters_.adapter != nullptr};
    TsSource& source = filters_.source();
    const CycleLoop cycles{source,
                           lp_.get(),
                           *chain_,
                           *outputs_,
                           filters,
                           signal,
                           log,
                           make_progress_factor(source.known_length().value_or(0)),
                           *operations_,
                           sfn_gate_.get(),
                           [this](int64_t) { show_status(); }};
    start_status_line();
    const LoopResult loop = overlap_cycles_ ? run_overlapped_cycles(cycles) : run_cycles(cycles);
    end_status_line();
    if (loop.reader_gone) {
        operations_->output_failed("standard output was closed by its reader");
        return stop_reader_gone(*outputs_, log);
    }
    if (loop.output_failed) {
        operations_->output_failed("the SDR device took no more samples");
        return stop_on_lost_output(*outputs_, log);
    }
    if (loop.sfn_stopped) {
        sfn_gate_->report_end();
        stop_on_lost_output(*outputs_, log);
        return kExitFatal;
    }
    if (loop.input_fatal) return stop_fatal(log);
    if (sfn_gate_) sfn_gate_->report_end();
    return shut_down(loop, std::chrono::duration_cast<std::chrono::microseconds>(
                               std::chrono::steady_clock::now() - start));
}

// The command line, then the log; an exit code when the run ends here.
std::optional<int> Transmission::read_command_line_and_open_log() {
    // With the samples on standard output, every console text goes to
    // standard error: the parser's messages are held until the parse and
    // the configuration file have said where the samples go (the command
    // line is parsed once; the file takes the settings it did not give).
    set_defaults(config_);
    const std::string messages = parse_command_line_to_text(config_, argc_, argv_);
    const std::vector<std::string> file_errors =
        config_.config_path ? take_config_file(config_, *config_.config_path)
                            : std::vector<std::string>{};
    to_standard_output_ = config_.output_path == kStandardStream;
    console_ = to_standard_output_ ? stderr : stdout;
    std::fputs(messages.c_str(), console_);
    const bool refused = command_line_refused(config_, console_);
    for (const std::string& error : file_errors)
        std::fprintf(console_, "FATAL ERROR: %s\n", error.c_str());
    if (refused || !file_errors.empty()) return kExitFatal;
    // Samples for standard output or a device imply the letter t.
    if (to_standard_output_ || config_.device_args) config_.dump[kDumpPostIfft] = true;

    log_name_ = config_.log_path.value_or(kDefaultLogName);
    if (log_is_input(config_.input_path, log_name_) ||
        (config_.hierarchical_streams() && log_is_input(config_.lp_input_path, log_name_))) {
        std::fprintf(console_, "FATAL ERROR: log file \"%s\" is the input file\n",
                     log_name_.c_str());
        return kExitFatal;
    }
    log_ = std::make_unique<Log>(config_.verbosity, console_);
    if (!log_->open(log_name_) && log_->in_use()) {
        std::fprintf(console_, "FATAL ERROR: log file \"%s\" is in use by another run\n",
                     log_name_.c_str());
        return kExitFatal;
    }
    if (!log_->is_open())
        std::fprintf(console_, "WARNING: Can't create log file \"%s\" -> logging to console only\n",
                     log_name_.c_str());
    if (config_.log_max_size) log_->set_max_size(*config_.log_max_size);
    return std::nullopt;
}

// The parameter report and the block sizing, and every combination of
// settings that cannot run refused (the fatal message written).
bool Transmission::check_settings() {
    Log& log = *log_;
    if (!device_run_settings_taken(config_, log)) return false;
    if (to_standard_output_ && config_.dac_format == kFormatAgilent) {
        log.fatal(
            "-F agi writes two files (I and Q) and cannot go to standard "
            "output (-o -)\n");
        return false;
    }
    rates_ = report_parameters(config_, log);
    if (config_.sample_type &&
        output_format(config_.dac_format).encoding != SampleEncoding::kFloatPairs) {
        log.fatal("--sample-type applies to the standard, 2x and 4x formats only\n");
        return false;
    }
    if (config_.device_args && !device_settings_usable(config_, to_standard_output_, log))
        return false;
    if (!hierarchical_settings_valid(config_, log) || !check_transform_options(config_, log) ||
        !check_channel_options(config_, rates_, log))
        return false;
    sizes_ = choose_block_size(config_);
    write_block_summary(sizes_, log);
    if (config_.threads > 0) log.write(LogLevel::kMemory, "Threads: %d\n", config_.threads);
    return true;
}

// Every stage's tables and buffers and the outputs' own buffers, allocated
// once, before anything is read or written.
bool Transmission::build_chain_and_outputs() {
    Log& log = *log_;
    // Dumps beside samples on standard output take the default base name.
    const std::string base_name =
        make_base_name(to_standard_output_ ? std::nullopt : config_.output_path);
    const SampleDestination destination = config_.device_args   ? SampleDestination::kDevice
                                          : to_standard_output_ ? SampleDestination::kStandardOutput
                                                                : SampleDestination::kFile;
    try {
        const OutputFormatDescription& format = output_format(config_.dac_format);
        TransformOptions options = transform_options(config_, choose_kernels(log), rates_);
        overlap_cycles_ = options.overlap_cycles = cycles_can_overlap(config_, options);
        chain_ = std::make_unique<TxChain>(dvbt_settings(config_), format.interpolation_factor,
                                           sizes_, options);
        outputs_.reset(
            new RunOutputs{DumpFiles(log, config_.dump, base_name, chain_->two_streams()),
                           SampleOutput(log, config_, base_name, chain_->output_samples().size(),
                                        rates_.sampling_rate, rates_.useful_throughput, destination,
                                        rates_.lp_useful_throughput),
                           to_standard_output_});
    } catch (const std::bad_alloc&) {
        log.fatal("not enough memory for the stage buffers\n");
        return false;
    } catch (const std::runtime_error& error) {
        log.fatal("%s\n", error.what());
        return false;
    }
    return true;
}

// The input (and the LP input of hierarchical transmission), checked against
// every output before any output is created.
bool Transmission::open_inputs() {
    Log& log = *log_;
    if (!input_) input_ = open_input(config_.input_path, config_, log, config_.input_backup);
    if (!input_) return false;
    if (config_.hierarchical_streams()) {
        lp_ = std::make_unique<LowPriorityInput>();
        std::optional<OpenedInput> lp_input = open_input(config_.lp_input_path, config_, log);
        if (!lp_input) return false;
        lp_->source = std::move(lp_input->source);
        lp_->identity = lp_input->identity;
        log.flush();
        lp_->source->skip_to_first_packet();
        add_lp_filters(config_, *lp_, rates_, log);
        if (lp_->adapter && lp_->adapter->fatal()) return false;
        lp_->length = lp_->stream().known_length();
        lp_->progress_factor = make_progress_factor(lp_->length.value_or(0));
    }
    const std::vector<std::string> names = outputs_->file_names();
    if (!outputs_spare_input_and_log(
            names, input_->identity, log, log_name_,
            lp_ ? std::optional<FileIdentity>(lp_->identity) : std::nullopt))
        return false;
    if (to_standard_output_ &&
        !standard_output_spares_input_and_log(input_->identity, log, log_name_))
        return false;
    return outputs_are_distinct(names, log);
}

// The dump and sample files, the filters between the input and the chain,
// and the device, set up and streaming before the first cycle.
bool Transmission::open_outputs_and_device() {
    Log& log = *log_;
    if (aligner_) set_sfn_time_base();
    if (!open_outputs(config_, *outputs_, log)) return false;
    log.flush();
    if (!aligner_) input_->source->skip_to_first_packet();
    filters_ = make_source_filters(
        config_, aligner_ ? static_cast<TsSource&>(*aligner_) : *input_->source, rates_, log);
    if (filters_.adapter && filters_.adapter->fatal()) return false;
    if (config_.device_args) {
        std::unique_ptr<SampleSink> device =
            open_device(config_, rates_.sampling_rate * chain_->interpolation_factor(), log);
        if (!device) return false;
        outputs_->signal.attach_device(std::move(device));
        // While an input stalls, the device's underflows are warned of as
        // they come.
        const auto watch_device = [this] { outputs_->signal.poll_device(); };
        input_->source->set_idle_task(watch_device);
        if (lp_) lp_->source->set_idle_task(watch_device);
    }
    if (aligner_) start_sfn_gate();
    return true;
}

// --sfn: the input opened before the settings are reported, read up to the
// first mega-frame a valid MIP points to, and the settings checked against
// (or taken from) that MIP.
bool Transmission::open_sfn_input() {
    Log& log = *log_;
    if (!sfn_settings_usable(config_, log)) return false;
    input_ = open_input(config_.input_path, config_, log, config_.input_backup);
    if (!input_) return false;
    log.flush();
    input_->source->skip_to_first_packet();
    aligner_ = std::make_unique<MegaframeAligner>(*input_->source, log);
    // Without --sfn-take-settings the settings give the mega-frame's size.
    const int64_t limit = config_.sfn_take_settings
                              ? sfn_search_limit()
                              : 2 * packets_per_megaframe(dvbt_settings(config_));
    first_mip_ = aligner_->find_start(limit);
    if (!first_mip_) {
        log.fatal(
            "--sfn: no valid MIP (PID 0x0015) in the first 2 mega-frames of the input: "
            "it needs a stream from an SFN adapter\n");
        return false;
    }
    if (!check_or_take_mip_settings(config_, *first_mip_, log)) return false;
    // The cell id the MIP addresses to this transmitter goes into the TPS
    // unless --cell-id gave one.
    const std::optional<uint16_t> cell_id = functions_for(*first_mip_, config_.tx_id).cell_id;
    if (cell_id && !config_.cell_id) {
        config_.cell_id = cell_id;
        log.write(LogLevel::kProgress, "SFN: cell id %u from the MIP\n",
                  static_cast<unsigned>(*cell_id));
    }
    return true;
}

// --sfn: the first sample (mega-frame 0's) leaves the antenna at the
// emission time its MIP gives; the SigMF metadata records it.
void Transmission::set_sfn_time_base() {
    Log& log = *log_;
    const DvbtSettings settings = dvbt_settings(config_);
    aligner_->set_megaframe_packets(packets_per_megaframe(settings));
    const int64_t first = first_emission_ns(config_, *first_mip_, utc_now_ns());
    const int64_t bandwidth_hz = run_bandwidth_hz(config_);
    outputs_->signal.set_time_base(first);
    // The samples of a mega-frame at 8/7 of the bandwidth; the file starts
    // with a whole one.
    const double samples =
        static_cast<double>(megaframe_samples(config_.mode, config_.guard_interval));
    outputs_->signal.set_megaframes(samples * 7e9 / (8.0 * static_cast<double>(bandwidth_hz)), 0);
    const std::optional<MegaframeClock> clock =
        MegaframeClock::make(config_.mode, config_.guard_interval, bandwidth_hz, first);
    if (config_.tx_id && !tx_time_offset_of(*first_mip_, *config_.tx_id))
        log.write(LogLevel::kProgress, "SFN: the MIP addresses no time offset to --tx-id %u\n",
                  static_cast<unsigned>(*config_.tx_id));
    log.write(LogLevel::kProgress,
              "SFN: %" PRId64 " packets a mega-frame; STS %u, maximum delay %u (100 ns)\n",
              packets_per_megaframe(settings), static_cast<unsigned>(first_mip_->sts_100ns),
              static_cast<unsigned>(first_mip_->max_delay_100ns));
    for (int64_t megaframe = 0; clock && megaframe < 3; ++megaframe)
        log.write(LogLevel::kProgress, "SFN: mega-frame %" PRId64 " emitted at %s\n", megaframe,
                  iso8601_utc(clock->start_of(megaframe)).c_str());
}

// --sfn: each mega-frame goes out at its time, or not, as the gate decides;
// what the first MIP addresses to this transmitter is set on the device.
void Transmission::start_sfn_gate() {
    MegaframeScheduleSettings settings;
    settings.mode = config_.mode;
    settings.guard_interval = config_.guard_interval;
    settings.bandwidth_hz = run_bandwidth_hz(config_);
    settings.first_emission_ns = *outputs_->signal.cycle_time(0).transmit_time_ns;
    settings.pulse_origin_ns =
        config_.time_source_fixed_s ? std::llround(*config_.time_source_fixed_s * 1e9) : 0;
    settings.tx_id = config_.tx_id;
    settings.local_offset_ns = std::llround(config_.sfn_offset_s * 1e9);
    settings.tps_mip = tps_mip_for_run(config_);
    settings.stop_on_mip_loss = config_.sfn_stop_on_mip_loss;
    const std::optional<MegaframeSchedule> schedule = MegaframeSchedule::make(settings);
    if (!schedule) return;
    sfn_gate_ = std::make_unique<SfnGate>(*schedule, *aligner_, outputs_->signal, config_, *log_,
                                          operations_->events());
    outputs_->signal.set_megaframe_gate(
        sfn_gate_.get(),
        megaframe_samples(config_.mode, config_.guard_interval) * chain_->interpolation_factor());
    sfn_gate_->start(*first_mip_);
    operations_->set_sfn_gate(sfn_gate_.get());
}

// The control interface, the metrics endpoint and the events of the live
// inputs, once everything is ready for the first cycle.
void Transmission::start_operations() {
    auto* live = dynamic_cast<LiveSource*>(input_->source.get());
    if (live) live->set_event_sink(operations_->events());
    if (lp_)
        if (auto* lp_live = dynamic_cast<LiveSource*>(lp_->source.get()))
            lp_live->set_event_sink(operations_->events());
    const MetricSources sources{&filters_.source(), filters_.adapter.get(), live};
    const CycleSize size{chain_->input_block().size() / ts::kPacketSize,
                         chain_->output_samples().size(),
                         rates_.sampling_rate * chain_->interpolation_factor()};
    operations_->start(outputs_->signal, sources, size);
}

// A paced run (a device, --realtime) shows its status line while its cycles
// run (from -v 1 on), and the console then takes the warnings and errors
// only; the cycle, progress and stage lines go to the log file alone.
void Transmission::start_status_line() {
    if (!config_.device_args && !config_.realtime) return;
    log_->set_console_limit(LogLevel::kWarnings);
    if (config_.verbosity < static_cast<int>(LogLevel::kWarnings)) return;
    const int descriptor = fileno(console_);
    StatusLineOptions options;
    options.terminal = descriptor >= 0 && ::isatty(descriptor) == 1;
    options.live_input = live_input(*input_);
    status_ = std::make_unique<StatusLine>(console_, options);
    log_->set_console_line(
        [this] {
            if (status_) status_->clear();
        },
        [this] {
            if (status_) status_->redraw();
        });
}

void Transmission::show_status() {
    // Not over a message whose line is not complete yet.
    if (status_ && log_->console_at_line_start())
        status_->update(operations_->metrics().snapshot());
}

// The console as before for the run report.
void Transmission::end_status_line() {
    log_->clear_console_limit();
    log_->set_console_line({}, {});
    if (status_) status_->finish(operations_->metrics().snapshot());
    status_.reset();
}

// The run report, then every file closed in the order the log has always
// shown; the exit code.
int Transmission::shut_down(const LoopResult& loop, std::chrono::microseconds elapsed) {
    Log& log = *log_;
    const int stopped_by = stop_signal();
    if (stopped_by != 0) {
        log.write(LogLevel::kErrors,
                  "WARNING: %s stopped the run after %" PRIu64 " bytes of input\n",
                  stop_signal_name(stopped_by), loop.bytes_consumed);
    }
    const char* pace = config_.device_args   ? "SDR device's"
                       : config_.realtime    ? "signal's (--realtime)"
                       : live_input(*input_) ? "live input's"
                                             : nullptr;
    report_run(log, loop.bytes_consumed, elapsed, rates_.useful_throughput, pace);
    if (lp_) report_lp_end(*lp_, log);
    outputs_->signal.write_last_samples();  // counted in the clipping
    outputs_->signal.report_clipping();
    chain_->report_unsynced_packets(log);
    if (filters_.adapter) filters_.adapter->write_report(log);
    if (lp_ && lp_->adapter) lp_->adapter->write_report(log);
    if (const auto* live = dynamic_cast<const LiveSource*>(input_->source.get()))
        live->write_report(log);
    if (lp_)
        if (const auto* live = dynamic_cast<const LiveSource*>(lp_->source.get()))
            live->write_report(log);

    const bool input_failed = filters_.source().failed();
    const bool from_live_input = live_input(*input_);

    chain_.reset();
    lp_.reset();
    outputs_->signal.close_first();  // a device drains its buffers here
    outputs_->signal.report_device_totals();
    outputs_->dumps.close_all();
    outputs_->signal.close_rest();
    filters_ = SourceFilters{};
    input_.reset();
    // A run a signal stopped is not complete: no footer, exit 128 + signal.
    // Transmitting to a device, or from a live input (which never ends),
    // SIGINT and SIGTERM are how the user ends the transmission: a complete
    // run.
    const bool stop_asked_for =
        (config_.device_args || from_live_input) && (stopped_by == SIGINT || stopped_by == SIGTERM);
    if (stopped_by != 0 && !stop_asked_for) {
        log.close_without_footer();
        return 128 + stopped_by;
    }
    log.close();
    // Samples lost on the air (underflows, late bursts) fail the run too.
    const bool failed = outputs_->had_failure() || input_failed ||
                        outputs_->signal.device_lost_samples() || log.had_write_failure();
    return failed ? kExitFileFailure : kExitSuccess;
}

int transmit(int argc, char** argv) {
    return Transmission(argc, argv).run();
}

}  // namespace

}  // namespace terramod
