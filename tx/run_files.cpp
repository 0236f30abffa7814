#include "tx/run_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>

#include "common/stop_signals.h"
#include "io/file_source.h"
#include "io/stream_source.h"
#include "net/live_source.h"
#include "net/network_input.h"
#include "tx/config.h"
#include "tx/sample_output.h"
#include "tx/tx_types.h"

namespace terramod {

// What the -i value denotes on disk: standard input's file for "-". A
// character device (/dev/null, a terminal) holds nothing a log could destroy:
// it may be the input and the log at once, as before.
std::optional<FileIdentity> input_identity(const std::string& path) {
    struct stat status {};
    const int result =
        path == kStandardStream ? ::fstat(STDIN_FILENO, &status) : ::stat(path.c_str(), &status);
    if (result != 0 || S_ISCHR(status.st_mode)) return std::nullopt;
    return FileIdentity{status.st_dev, status.st_ino};
}

// Opening the log truncates its file: a log name that denotes the input file
// would destroy the input before it is read.
bool log_is_input(const std::optional<std::string>& input_path, const std::string& log_name) {
    if (!input_path) return false;
    const std::optional<FileIdentity> input = input_identity(*input_path);
    return input && file_identity(log_name) == input;
}

namespace {

// A network input (udp://, srt://) with its backup, if any: paced by a
// device or --realtime, through the jitter buffer.
std::optional<OpenedInput> open_live_input(const std::string& name,
                                           const std::optional<std::string>& backup_name,
                                           const TxConfig& config, Log& log) {
    if (backup_name && !names_network_input(*backup_name)) {
        log.fatal("--input-backup %s: a live input (udp://..., srt://...) expected\n",
                  backup_name->c_str());
        return std::nullopt;
    }
    const NetworkInputOptions options;
    std::unique_ptr<NetworkInput> main = open_network_input(name, options, log);
    if (!main) return std::nullopt;
    std::unique_ptr<NetworkInput> backup;
    if (backup_name) {
        backup = open_network_input(*backup_name, options, log);
        if (!backup) return std::nullopt;
    }
    LiveSourceSettings settings;
    settings.paced = config.device_args || config.realtime;
    settings.buffer = std::chrono::milliseconds(config.input_buffer_ms);
    // What the output takes at once at its start: a device its priming;
    // --realtime the pacer's lead, and about as much again for the cycles
    // in flight and the rate adapter's own queue (measured: 150 to 170 ms).
    settings.start_lead = config.device_args
                              ? std::chrono::milliseconds(std::lround(config.prime_ms))
                              : 2 * SampleOutput::kRealTimeLead;
    settings.switch_after = std::chrono::milliseconds(config.switch_after_ms);
    settings.wake_descriptor = stop_wake_descriptor();
    // A network input is no file: its identity matches none.
    return OpenedInput{
        std::make_unique<LiveSource>(std::move(main), std::move(backup), settings, log),
        FileIdentity{}};
}

}  // namespace

// A regular file as today; standard input, a FIFO or a character device as
// a stream of unknown length; a network input as a live source. Nothing
// (after a fatal message) on failure.
std::optional<OpenedInput> open_input(const std::optional<std::string>& path,
                                      const TxConfig& config, Log& log,
                                      const std::optional<std::string>& backup) {
    if (path && names_network_input(*path)) return open_live_input(*path, backup, config, log);
    if (backup) {
        log.fatal("--input-backup needs a live input (-i udp://... or srt://...)\n");
        return std::nullopt;
    }
    if (path && StreamSource::names_stream(*path)) {
        // A stop signal ends a wait for the stream's data.
        std::unique_ptr<StreamSource> stream =
            StreamSource::open(*path, log, stop_wake_descriptor());
        if (!stream) return std::nullopt;
        const FileIdentity identity = stream->identity();
        return OpenedInput{std::move(stream), identity};
    }
    std::unique_ptr<FileSource> file = FileSource::open(path, log);
    if (!file) return std::nullopt;
    const FileIdentity identity = file->identity();
    return OpenedInput{std::move(file), identity};
}

// Standard output redirected into the input or the log file would write the
// samples into them.
bool standard_output_spares_input_and_log(const FileIdentity& input, Log& log,
                                          const std::string& log_name) {
    const std::optional<FileIdentity> output = stored_descriptor_identity(STDOUT_FILENO);
    if (!output) return true;
    if (output == input) {
        log.fatal("standard output (-o -) is the input file\n");
        return false;
    }
    if (log.is_open() && output == stored_file_identity(log_name)) {
        log.fatal("standard output (-o -) is the log file\n");
        return false;
    }
    return true;
}

// Creating a file truncates it: refuse, before touching any file, a name that
// denotes the input (by any path or link) while it is being read, or the log,
// whose text would otherwise be written into the samples.
bool outputs_spare_input_and_log(const std::vector<std::string>& names, const FileIdentity& input,
                                 Log& log, const std::string& log_name,
                                 const std::optional<FileIdentity>& lp_input) {
    const std::optional<FileIdentity> log_identity =
        log.is_open() ? stored_file_identity(log_name) : std::nullopt;
    for (const std::string& name : names) {
        const std::optional<FileIdentity> identity = file_identity(name);
        if (identity == input) {
            log.fatal("output file \"%s\" is the input file\n", name.c_str());
            return false;
        }
        if (identity && identity == lp_input) {
            log.fatal("output file \"%s\" is the LP input file\n", name.c_str());
            return false;
        }
        if (identity && identity == log_identity) {
            log.fatal("output file \"%s\" is the log file\n", name.c_str());
            return false;
        }
    }
    return true;
}

// Two names of one run that denote one stored file (through a link) would
// write two streams into it.
bool outputs_are_distinct(const std::vector<std::string>& names, Log& log) {
    std::vector<std::optional<FileIdentity>> identities;
    for (const std::string& name : names) identities.push_back(stored_file_identity(name));
    for (size_t i = 0; i < names.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (identities[i] && identities[i] == identities[j]) {
                log.fatal("output files \"%s\" and \"%s\" are the same file\n", names[j].c_str(),
                          names[i].c_str());
                return false;
            }
        }
    }
    return true;
}

}  // namespace terramod
