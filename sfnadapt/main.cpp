// sfnadapt: the SFN adapter of a DVB-T single-frequency network (ETSI TS
// 101 191). It reads a transport stream already at the channel's useful
// rate, counts mega-frames from its first packet and puts one Mega-frame
// Initialization Packet (PID 0x0015) into each (sfn/mip_inserter.h), with
// the time stamp of the next mega-frame, the maximum network delay, the
// TPS parameters and the functions addressed to individual transmitters
// (time and frequency offsets, power, cell id).
//
// Exit codes: 0 complete, 1 bad options, 2 a file could not be read or
// written.
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/file_identity.h"
#include "common/utc_clock.h"
#include "sfn/megaframe.h"
#include "sfn/mip.h"
#include "sfn/mip_inserter.h"
#include "tx/config.h"
#include "tx/run_sfn.h"
#include "tx/tx_types.h"

namespace terramod {
namespace {

constexpr int kExitComplete = 0;
constexpr int kExitBadOptions = 1;
constexpr int kExitFileFailure = 2;

constexpr const char* kUsage =
    "Usage: sfnadapt -i IN -o OUT [DVB-T settings] --max-delay SECONDS\n"
    "                --time-source system|fixed:UNIX_SECONDS [--tx-offset ID:NANOSECONDS ...]\n"
    "                [--tx-frequency-offset ID:HZ ...] [--tx-power ID:DBM ...]\n"
    "                [--tx-cell-id ID:N ...]\n"
    "Puts one Mega-frame Initialization Packet (ETSI TS 101 191, PID 0x0015) into\n"
    "each mega-frame of a transport stream that is already at the channel's useful\n"
    "bit rate. Mega-frames are counted from the first packet; the MIP takes the\n"
    "place of the mega-frame's first null packet (or, when it has none, of its last\n"
    "packet, which is then delayed into the next null packet: no payload is lost).\n"
    "  -i IN                   input transport stream, a file or - (standard input)\n"
    "  -o OUT                  output transport stream, a file or - (standard output)\n"
    "DVB-T settings, as terramod takes them:\n"
    "  -2k / -8k               transmission mode (default 2k)\n"
    "  -M 4|16|64              constellation (default 4)\n"
    "  -a NH|1|2|4             hierarchy (the one stream takes every bit of a cell)\n"
    "  -p 1/2|2/3|3/4|5/6|7/8  code rate (default 1/2)\n"
    "  -D 1/4|1/8|1/16|1/32    guard interval (default 1/32)\n"
    "  -b 6|7|8                channel spacing in MHz (default 8)\n"
    "  --bandwidth HZ          any channel bandwidth, a whole number of Hz\n"
    "  --lp-rate RATE          the low-priority stream's code rate (hierarchy)\n"
    "Long options:\n"
    "  --max-delay SECONDS     maximum_delay, 0 .. 0.9999999 s in 100 ns steps\n"
    "  --time-source system|fixed:UNIX_SECONDS\n"
    "                          when the first mega-frame starts: the system clock\n"
    "                          (UTC) at the first packet, or a given time\n"
    "  --tx-offset ID:NANOSECONDS\n"
    "                          a tx_time_offset_function for transmitter ID\n"
    "                          (0 .. 65535; 0 addresses every transmitter):\n"
    "                          -3276800 .. 3276700 ns, a multiple of 100\n"
    "  --tx-frequency-offset ID:HZ\n"
    "                          a tx_frequency_offset_function for transmitter ID:\n"
    "                          -8388608 .. 8388607 Hz, a whole number\n"
    "  --tx-power ID:DBM       a tx_power_function for transmitter ID:\n"
    "                          0 .. 6553.5 dBm in steps of 0.1\n"
    "  --tx-cell-id ID:N       a cell_id_function for transmitter ID: cell_id N\n"
    "                          (0 .. 65535), wait_for_enable_flag 0\n"
    "  These four are repeatable: each transmitter ID gets one entry of the MIP's\n"
    "  individual addressing, with at most one function of each kind, in the order\n"
    "  given; a MIP holds at most 163 bytes of them (3 for each ID, 4 for a time\n"
    "  offset or a power, 5 for a frequency offset or a cell id).\n"
    "  -h, --help              this text\n";

// terramod's options that sfnadapt takes, and whether each takes a value.
const std::map<std::string_view, bool> kTerramodOptions = {
    {"-i", true},        {"-o", true},   {"-M", true},   {"-a", true},
    {"-p", true},        {"-D", true},   {"-b", true},   {"--bandwidth", true},
    {"--lp-rate", true}, {"-2k", false}, {"-8k", false},
};

struct Options {
    TxConfig config;
    uint32_t max_delay_100ns = 0;
    std::optional<int64_t> fixed_start_ns;  // nothing: the system clock
    std::vector<MipAddressing> addressing;
};

int fatal(const std::string& message, int code = kExitBadOptions) {
    std::fprintf(stderr, "FATAL ERROR: %s\n", message.c_str());
    return code;
}

template <typename Integer>
std::optional<Integer> whole_number(std::string_view text) {
    Integer value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

// A decimal number of seconds as a whole number of `unit_ns` units (at
// most 9 decimals; the value must be a whole number of units).
std::optional<int64_t> seconds_in_units(std::string_view text, int64_t unit_ns) {
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    const size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    std::string fraction(point == std::string_view::npos ? "" : text.substr(point + 1));
    if ((whole.empty() && fraction.empty()) || fraction.size() > 9) return std::nullopt;
    for (char c : fraction)
        if (c < '0' || c > '9') return std::nullopt;
    const std::optional<int64_t> seconds =
        whole.empty() ? std::optional<int64_t>(0) : whole_number<int64_t>(whole);
    if (!seconds || *seconds > 9'000'000'000) return std::nullopt;
    fraction.resize(9, '0');
    const int64_t ns = *seconds * 1'000'000'000 + *whole_number<int64_t>(fraction);
    if (ns % unit_ns != 0) return std::nullopt;
    return (negative ? -ns : ns) / unit_ns;
}

std::optional<std::string> take_max_delay(Options& options, std::string_view value) {
    const std::optional<int64_t> delay = seconds_in_units(value, 100);
    if (!delay || *delay < 0 || *delay > kMipTimeLimit)
        return "--max-delay " + std::string(value) +
               ": 0 .. 0.9999999 seconds in steps of 100 ns expected";
    options.max_delay_100ns = static_cast<uint32_t>(*delay);
    return std::nullopt;
}

std::optional<std::string> take_time_source(Options& options, std::string_view value) {
    if (value == "system") {
        options.fixed_start_ns.reset();
        return std::nullopt;
    }
    if (value.starts_with("fixed:")) {
        const std::optional<int64_t> start = seconds_in_units(value.substr(6), 1);
        if (start && *start >= 0) {
            options.fixed_start_ns = *start;
            return std::nullopt;
        }
    }
    return "--time-source " + std::string(value) +
           ": system or fixed:UNIX_SECONDS (at most 9 decimals, not negative) expected";
}

// "ID:VALUE": the transmitter ID (0 .. 65535) and the value's text, a
// leading '+' dropped; nothing when there is no ID.
std::optional<std::pair<uint16_t, std::string_view>> id_and_value(std::string_view value) {
    const size_t colon = value.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::optional<uint16_t> id = whole_number<uint16_t>(value.substr(0, colon));
    if (!id) return std::nullopt;
    std::string_view rest = value.substr(colon + 1);
    if (rest.starts_with('+')) rest.remove_prefix(1);
    return std::pair{*id, rest};
}

// Puts `function` into the addressing entry of `id` (a new one after the
// others when it has none), or says why not: `what` names the function in
// the refusal of a second one of its kind.
std::optional<std::string> add_function(Options& options, std::string_view option,
                                        std::string_view value, uint16_t id, MipFunction function,
                                        std::string_view what) {
    for (MipAddressing& entry : options.addressing) {
        if (entry.tx_identifier != id) continue;
        for (const MipFunction& given : entry.functions) {
            if (given.tag == function.tag)
                return std::string(option) + " " + std::string(value) + ": transmitter " +
                       std::to_string(id) + " was given " + std::string(what) + " already";
        }
        entry.functions.push_back(std::move(function));
        return std::nullopt;
    }
    options.addressing.push_back({id, {std::move(function)}});
    return std::nullopt;
}

std::optional<std::string> take_tx_offset(Options& options, std::string_view value) {
    const std::string refusal =
        "--tx-offset " + std::string(value) +
        ": ID:NANOSECONDS expected, ID 0 .. 65535, NANOSECONDS a multiple of 100 in "
        "-3276800 .. 3276700";
    const auto parts = id_and_value(value);
    if (!parts) return refusal;
    const std::optional<int64_t> ns = whole_number<int64_t>(parts->second);
    if (!ns || *ns % 100 != 0) return refusal;
    std::optional<MipFunction> function = tx_time_offset_function(*ns / 100);
    if (!function) return refusal;
    return add_function(options, "--tx-offset", value, parts->first, std::move(*function),
                        "an offset");
}

std::optional<std::string> take_tx_frequency_offset(Options& options, std::string_view value) {
    const std::string refusal = "--tx-frequency-offset " + std::string(value) +
                                ": ID:HZ expected, ID 0 .. 65535, HZ a whole number in "
                                "-8388608 .. 8388607";
    const auto parts = id_and_value(value);
    if (!parts) return refusal;
    const std::optional<int64_t> hz = whole_number<int64_t>(parts->second);
    if (!hz) return refusal;
    std::optional<MipFunction> function = tx_frequency_offset_function(*hz);
    if (!function) return refusal;
    return add_function(options, "--tx-frequency-offset", value, parts->first, std::move(*function),
                        "a frequency offset");
}

std::optional<std::string> take_tx_power(Options& options, std::string_view value) {
    const std::string refusal = "--tx-power " + std::string(value) +
                                ": ID:DBM expected, ID 0 .. 65535, DBM 0 .. 6553.5 in steps "
                                "of 0.1";
    const auto parts = id_and_value(value);
    if (!parts || parts->second.empty()) return refusal;
    const std::string_view text = parts->second;
    double dbm = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), dbm);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(dbm))
        return refusal;
    // A whole number of 0.1 dBm steps: the text's value within 1e-9 dBm.
    const double steps = std::round(dbm * 10.0);
    if (std::fabs(dbm - steps / 10.0) > 1e-9 || steps < 0.0 || steps > 65535.0) return refusal;
    std::optional<MipFunction> function = tx_power_function(steps / 10.0);
    if (!function) return refusal;
    return add_function(options, "--tx-power", value, parts->first, std::move(*function),
                        "a power");
}

std::optional<std::string> take_tx_cell_id(Options& options, std::string_view value) {
    const std::string refusal =
        "--tx-cell-id " + std::string(value) + ": ID:N expected, ID 0 .. 65535, N 0 .. 65535";
    const auto parts = id_and_value(value);
    if (!parts) return refusal;
    const std::optional<uint16_t> cell_id = whole_number<uint16_t>(parts->second);
    if (!cell_id) return refusal;
    return add_function(options, "--tx-cell-id", value, parts->first, cell_id_function(*cell_id),
                        "a cell id");
}

// The options that put a function into the individual addressing loop.
using FunctionOption = std::optional<std::string> (*)(Options&, std::string_view);
const std::map<std::string_view, FunctionOption> kFunctionOptions = {
    {"--tx-offset", take_tx_offset},
    {"--tx-frequency-offset", take_tx_frequency_offset},
    {"--tx-power", take_tx_power},
    {"--tx-cell-id", take_tx_cell_id},
};

// Fills `options`; returns the exit code when the run must not go on (0
// after -h).
std::optional<int> parse_options(Options& options, int argc, char** argv) {
    std::vector<std::string> terramod_args = {"sfnadapt"};
    bool max_delay_given = false;
    bool time_source_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (option == "-h" || option == "--help") {
            std::fputs(kUsage, stdout);
            return kExitComplete;
        }
        const auto function_option = kFunctionOptions.find(option);
        const bool own = option == "--max-delay" || option == "--time-source" ||
                         function_option != kFunctionOptions.end();
        const auto terramod = kTerramodOptions.find(option);
        if (!own && terramod == kTerramodOptions.end())
            return fatal("unknown option " + std::string(option) + " (sfnadapt -h lists them)");
        const bool takes_value = own || terramod->second;
        if (takes_value && i + 1 >= argc) return fatal(std::string(option) + " needs a value");
        if (!own) {
            terramod_args.emplace_back(option);
            if (takes_value) terramod_args.emplace_back(argv[++i]);
            continue;
        }
        const std::string_view value = argv[++i];
        std::optional<std::string> refusal;
        if (option == "--max-delay") {
            refusal = take_max_delay(options, value);
            max_delay_given = true;
        } else if (option == "--time-source") {
            refusal = take_time_source(options, value);
            time_source_given = true;
        } else {
            refusal = function_option->second(options, value);
        }
        if (refusal) return fatal(*refusal);
    }
    const size_t section_bytes = mip_section_bytes(Mip{.addressing = options.addressing});
    if (section_bytes > kMipMaxSectionBytes) {
        const size_t fixed_bytes = mip_section_bytes(Mip{});
        return fatal(
            "too many --tx-offset, --tx-frequency-offset, --tx-power and --tx-cell-id: "
            "their functions take " +
            std::to_string(section_bytes - fixed_bytes) +
            " bytes of individual addressing, a MIP holds at most " +
            std::to_string(kMipMaxSectionBytes - fixed_bytes) +
            " (3 for each transmitter ID, 4 for a time offset or a power, 5 for a "
            "frequency offset or a cell id)");
    }

    std::vector<char*> pointers;
    for (std::string& arg : terramod_args) pointers.push_back(arg.data());
    set_defaults(options.config);
    const std::string messages = parse_command_line_to_text(
        options.config, static_cast<int>(pointers.size()), pointers.data());
    std::fputs(messages.c_str(), stderr);
    if (command_line_refused(options.config, stderr)) return kExitBadOptions;
    if (!options.config.settings_not_taken.empty()) {
        for (const std::string& refused : options.config.settings_not_taken) fatal(refused);
        return kExitBadOptions;
    }
    if (!options.config.input_path) return fatal("no input: -i FILE or -i - expected");
    if (!options.config.output_path) return fatal("no output: -o FILE or -o - expected");
    if (!max_delay_given) return fatal("--max-delay SECONDS is needed");
    if (!time_source_given) return fatal("--time-source system|fixed:UNIX_SECONDS is needed");
    if (options.config.bandwidth_hz &&
        *options.config.bandwidth_hz != std::round(*options.config.bandwidth_hz))
        return fatal("--bandwidth " + std::to_string(*options.config.bandwidth_hz) +
                     ": sfnadapt needs a whole number of Hz");
    return std::nullopt;
}

class Files {
  public:
    ~Files() {
        if (in_ && in_ != stdin) std::fclose(in_);
        if (out_ && out_ != stdout) std::fclose(out_);
    }
    // Nothing, or why a file could not be opened.
    std::optional<std::string> open(const std::string& in, const std::string& out) {
        in_name_ = in == "-" ? "standard input" : "\"" + in + "\"";
        out_name_ = out == "-" ? "standard output" : "\"" + out + "\"";
        if (in != "-" && out != "-") {
            const auto in_identity = stored_file_identity(in);
            if (in_identity && in_identity == stored_file_identity(out))
                return "the output " + out_name_ + " is the input";
        }
        in_ = in == "-" ? stdin : std::fopen(in.c_str(), "rb");
        if (!in_) return "cannot open the input " + in_name_ + ": " + std::strerror(errno);
        out_ = out == "-" ? stdout : std::fopen(out.c_str(), "wb");
        if (!out_) return "cannot open the output " + out_name_ + ": " + std::strerror(errno);
        return std::nullopt;
    }
    // Bytes read into `packet` (short only at the end); -1 on a read error.
    int64_t read(TsPacket& packet) {
        const size_t got = std::fread(packet.data(), 1, packet.size(), in_);
        if (got < packet.size() && std::ferror(in_)) return -1;
        return static_cast<int64_t>(got);
    }
    bool write(const TsPacket& packet) {
        return std::fwrite(packet.data(), 1, packet.size(), out_) == packet.size();
    }
    // Flushes and closes the output; false when that fails.
    bool finish() {
        const bool flushed = std::fflush(out_) == 0;
        const bool closed = out_ == stdout || std::fclose(out_) == 0;
        out_ = nullptr;
        return flushed && closed;
    }
    const std::string& in_name() const { return in_name_; }
    const std::string& out_name() const { return out_name_; }

  private:
    std::FILE* in_ = nullptr;
    std::FILE* out_ = nullptr;
    std::string in_name_;
    std::string out_name_;
};

int run(int argc, char** argv) {
    Options options;
    if (const std::optional<int> stop = parse_options(options, argc, argv)) return *stop;
    const TxConfig& config = options.config;
    const DvbtSettings settings = dvbt_settings(config);
    const int64_t packets = packets_per_megaframe(settings);
    const int64_t bandwidth = run_bandwidth_hz(config);

    Files files;
    if (const std::optional<std::string> failure =
            files.open(*config.input_path, *config.output_path))
        return fatal(*failure, kExitFileFailure);

    Mip fields;
    fields.periodic = true;
    fields.max_delay_100ns = options.max_delay_100ns;
    fields.tps_mip = tps_mip_for(settings, mip_bandwidth_of(bandwidth));
    fields.addressing = options.addressing;

    TsPacket packet;
    int64_t got = files.read(packet);
    if (got < 0) return fatal("cannot read " + files.in_name() + ": " + std::strerror(errno), 2);
    // The time base: mega-frame 0 starts with the first packet.
    const int64_t start_ns = options.fixed_start_ns.value_or(utc_now_ns());
    const std::optional<MegaframeClock> clock =
        MegaframeClock::make(config.mode, config.guard_interval, bandwidth, start_ns);
    if (!clock) return fatal("the channel bandwidth must be above 0 Hz");
    MipInserter inserter(packets, *clock, fields);

    int64_t count = 0;
    while (got == kPacketLength) {
        if (packet[0] != kSyncByte)
            return fatal(files.in_name() + ": packet " + std::to_string(count) +
                             " has no sync byte (0x47): not a 188-byte transport stream",
                         kExitFileFailure);
        if (!files.write(inserter.next(packet)))
            return fatal("cannot write " + files.out_name() + ": " + std::strerror(errno),
                         kExitFileFailure);
        ++count;
        got = files.read(packet);
        if (got < 0)
            return fatal("cannot read " + files.in_name() + ": " + std::strerror(errno),
                         kExitFileFailure);
    }
    for (const TsPacket& delayed : inserter.delayed()) {
        if (!files.write(delayed))
            return fatal("cannot write " + files.out_name() + ": " + std::strerror(errno),
                         kExitFileFailure);
    }
    if (!files.finish())
        return fatal("cannot write " + files.out_name() + ": " + std::strerror(errno),
                     kExitFileFailure);
    if (got > 0)
        std::fprintf(stderr, "WARNING: %s ends with %lld bytes of an incomplete packet: dropped\n",
                     files.in_name().c_str(), static_cast<long long>(got));
    std::fprintf(stderr,
                 "sfnadapt: %lld packets, %lld packets a mega-frame, %lld mega-frames begun, "
                 "%lld MIPs inserted, %lld input MIPs dropped, %lld mega-frames without a null "
                 "packet, %zu payload packets delayed at the end\n",
                 static_cast<long long>(count), static_cast<long long>(packets),
                 static_cast<long long>(inserter.megaframes_begun()),
                 static_cast<long long>(inserter.mips_inserted()),
                 static_cast<long long>(inserter.input_mips_dropped()),
                 static_cast<long long>(inserter.megaframes_without_null()),
                 inserter.delayed().size());
    return kExitComplete;
}

}  // namespace
}  // namespace terramod

int main(int argc, char** argv) {
    return terramod::run(argc, argv);
}
