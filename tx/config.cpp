#include "tx/config.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "common/version.h"

namespace terramod {

namespace {
const std::string kBannerText = std::string("Terramod v. ") + kVersion +
                                " Win32   - Beta (2004/08/23)\n"
                                "terramod developers\n"
                                "https://terramod.example.org\n";
}  // namespace

const char* const kBanner = kBannerText.c_str();

namespace {

constexpr int kMaxVerbosity = 4;

// The whole help text; "%d" is filled with the highest verbosity level.
constexpr char kHelpText[] =
    "\n"
    "Current available options are:\n"
    "\n"
    "-i\tMPEG-2 transport stream file name\n"
    "-o\tDAC output file name\n"
    "-l\tlog file name\n"
    "-2k\t2048 carriers OFDM\n"
    "-8k\t8192 carriers OFDM\n"
    "-M\tconstellation order (4, 16, 64)\n"
    "-a\tuniformity order (NH, 1, 2, 4)\n"
    "-D\tcircular prefix duration (1/32, 1/16, 1/8, 1/4)\n"
    "-p\tpuncturing rate (1/2, 2/3, 3/4, 5/6, 7/8)\n"
    "-b\tchannel spacing (6, 7, 8)\n"
    "-c\tconv. interleaver initialization (0, rand)\n"
    "-f\tfrequency mapping method (0, BBIF)\n"
    "-v\tverbosity level (0 to %d)\n"
    "-V\tprint version number and exit\n"
    "-d\tdump level (ercvpbsmft)\n"
    "  \te - Energy disperser\n"
    "  \tr - Reed-Solomon encoder\n"
    "  \tc - Convolutional interleaver\n"
    "  \tv - Convolutional encoder\n"
    "  \tp - Puncturer\n"
    "  \tb - Bit interleaver\n"
    "  \ts - Symbol interleaver\n"
    "  \tm - Mapper\n"
    "  \tf - Pre-IFFT\n"
    "  \tt - Post-IFFT (alone or with -F)\n"
    "-F\tPost-IFFT format (agi, HP, 2x, 4x)\n";

constexpr double kDefaultBackoffDb = 12.0;
constexpr double kMaxBackoffDb = 60.0;
// --bandwidth: below 100 kHz the rates and times stop making sense (a
// channel rate of 0 bit/s); 10 MHz is the widest the interpolators handle.
constexpr double kMinBandwidthHz = 100e3;
constexpr double kMaxBandwidthHz = 10e6;

// One row per long option: its name, the name of its value (none for a
// flag), its help text (lines after the first are indented in -h) and how
// it is stored. Parsing, the -h section and the suggestions for a misspelt
// option all read this table.
class CommandLineParser;
struct LongOption {
    std::string_view name;
    const char* value_name;
    const char* help;
    void (*take)(CommandLineParser& parser);
};

const LongOption* find_long_option(std::string_view name);

// The single-letter settings and the long option of each: the same setting,
// which a configuration file then leaves as the command line gave it.
struct LetterSetting {
    std::string_view letter;
    std::string_view name;
};
constexpr LetterSetting kLetterSettings[] = {{"-i", "--input"},
                                             {"-o", "--output"},
                                             {"-l", "--log"},
                                             {"-2k", "--mode"},
                                             {"-8k", "--mode"},
                                             {"-M", "--constellation"},
                                             {"-a", "--alpha"},
                                             {"-D", "--guard"},
                                             {"-p", "--code-rate"},
                                             {"-b", "--channel-spacing"},
                                             {"-c", "--interleaver-init"},
                                             {"-f", "--frequency-mapping"},
                                             {"-v", "--verbosity"},
                                             {"-d", "--dump"},
                                             {"-F", "--format"}};

// Returns the index of `value` among `accepted`, or -1.
template <size_t N>
int find_value(std::string_view value, const char* const (&accepted)[N]) {
    for (size_t index = 0; index < N; ++index) {
        if (value == accepted[index]) return static_cast<int>(index);
    }
    return -1;
}

// "one of 4, 16, 64 expected": the accepted values of a choice.
template <size_t N>
std::string one_of(const char* const (&accepted)[N]) {
    std::string text = "one of ";
    for (size_t index = 0; index < N; ++index)
        text.append(index ? ", " : "").append(accepted[index]);
    return text + " expected";
}

// Decimal text to integer the way the C library's atoi reads it (leading white
// space, optional sign, digits up to the first other character, no digits
// gives 0), but saturating instead of overflowing. `whole` tells whether the
// text was digits to its end.
int64_t decimal_prefix_value(std::string_view text, bool* whole = nullptr) {
    size_t position = 0;
    while (position < text.size() &&
           std::string_view(" \t\n\v\f\r").find(text[position]) != std::string_view::npos) {
        ++position;
    }
    bool negative = false;
    if (position < text.size() && (text[position] == '+' || text[position] == '-')) {
        negative = text[position] == '-';
        ++position;
    }
    constexpr int64_t kSaturation = int64_t{1} << 40;
    int64_t magnitude = 0;
    const size_t first_digit = position;
    for (; position < text.size() && text[position] >= '0' && text[position] <= '9'; ++position) {
        magnitude = magnitude * 10 + (text[position] - '0');
        if (magnitude > kSaturation) magnitude = kSaturation;
    }
    if (whole) *whole = position > first_digit && position == text.size();
    return negative ? -magnitude : magnitude;
}

// The whole text as a decimal number, or nothing. White space is no part of
// a number (strtod would skip it at the start).
std::optional<double> decimal_value(std::optional<std::string_view> value) {
    if (!value || value->empty() || std::isspace(static_cast<unsigned char>(value->front())))
        return std::nullopt;
    const std::string text(*value);
    char* end = nullptr;
    const double number = std::strtod(text.c_str(), &end);
    if (*end != '\0') return std::nullopt;
    return number;
}

// --log-max-size: digits with an optional k, M or G (powers of 1024, either
// case), from 64 KiB to 1 TiB; nothing for any other text.
constexpr uint64_t kMinLogSize = uint64_t{64} << 10;
constexpr uint64_t kMaxLogSize = uint64_t{1} << 40;
constexpr const char* kLogSizeRange = "64k to 1024G bytes (k = 1024, M = 1024k, G = 1024M)";
std::optional<uint64_t> log_size_value(std::string_view text) {
    size_t digits = 0;
    uint64_t count = 0;
    for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
        count = count * 10 + static_cast<uint64_t>(text[digits] - '0');
        if (count > kMaxLogSize) return std::nullopt;
    }
    const std::string_view suffix = text.substr(digits);
    const std::string_view units = "kmg";
    const size_t unit =
        suffix.size() == 1
            ? units.find(static_cast<char>(std::tolower(static_cast<unsigned char>(suffix[0]))))
            : std::string_view::npos;
    if (digits == 0 || (!suffix.empty() && unit == std::string_view::npos)) return std::nullopt;
    const int shift = suffix.empty() ? 0 : 10 * (static_cast<int>(unit) + 1);
    if (count > (kMaxLogSize >> shift)) return std::nullopt;
    const uint64_t bytes = count << shift;
    if (bytes < kMinLogSize) return std::nullopt;
    return bytes;
}

// The channel simulator's values (--seed, --phase-noise, --iq-imbalance,
// --echo-profile, --echoes): the text of each range, and the whole value
// read as it says or nothing.
constexpr const char* kSeedRange = "a whole number from 0 to 18446744073709551615";
constexpr const char* kPhaseNoiseRange =
    "DBC_PER_HZ@OFFSET_HZ, -200 to 0 dBc/Hz at an offset above 0 Hz (e.g. -80@10000)";
constexpr const char* kIqImbalanceRange =
    "GAIN_DB,PHASE_DEG, a gain of -6 to 6 dB and a phase of -45 to 45 degrees (e.g. 0.5,2)";
constexpr const char* kEchoProfileRange = "F1 or P1";
constexpr const char* kEchoesRange =
    "DELAY_US:GAIN_DB:PHASE_DEG[:DOPPLER_HZ],... (1 to 32 paths; delay 0 to 1000 us, gain -60 "
    "to 20 dB, Doppler -2000 to 2000 Hz)";
constexpr size_t kMaxEchoes = 32;

// Decimal digits only, up to 2^64 - 1.
std::optional<uint64_t> seed_value(std::string_view text) {
    if (text.empty()) return std::nullopt;
    uint64_t seed = 0;
    for (const char digit : text) {
        if (digit < '0' || digit > '9') return std::nullopt;
        const uint64_t value = static_cast<uint64_t>(digit - '0');
        if (seed > (UINT64_MAX - value) / 10) return std::nullopt;
        seed = seed * 10 + value;
    }
    return seed;
}

// The text cut at each `separator`.
std::vector<std::string_view> split_text(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    for (size_t start = 0;;) {
        const size_t end = text.find(separator, start);
        pieces.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) return pieces;
        start = end + 1;
    }
}

// A decimal number within [low, high] (finite), or nothing.
std::optional<double> number_within(std::string_view text, double low, double high) {
    const std::optional<double> number = decimal_value(text);
    if (!number || !(*number >= low && *number <= high)) return std::nullopt;
    return number;
}

std::optional<PhaseNoiseSpec> phase_noise_value(std::string_view text) {
    const std::vector<std::string_view> pieces = split_text(text, '@');
    if (pieces.size() != 2) return std::nullopt;
    const std::optional<double> level = number_within(pieces[0], -200, 0);
    const std::optional<double> offset =
        number_within(pieces[1], 0, std::numeric_limits<double>::max());
    if (!level || !offset || *offset <= 0) return std::nullopt;
    return PhaseNoiseSpec{*level, *offset};
}

std::optional<IqImbalanceSpec> iq_imbalance_value(std::string_view text) {
    const std::vector<std::string_view> pieces = split_text(text, ',');
    if (pieces.size() != 2) return std::nullopt;
    const std::optional<double> gain = number_within(pieces[0], -6, 6);
    const std::optional<double> phase = number_within(pieces[1], -45, 45);
    if (!gain || !phase) return std::nullopt;
    return IqImbalanceSpec{*gain, *phase};
}

std::optional<EchoProfile> echo_profile_value(std::string_view text) {
    if (text == "F1") return EchoProfile::kFixedF1;
    if (text == "P1") return EchoProfile::kPortableP1;
    return std::nullopt;
}

std::optional<std::vector<EchoTap>> echoes_value(std::string_view text) {
    const std::vector<std::string_view> paths = split_text(text, ',');
    if (paths.size() > kMaxEchoes) return std::nullopt;
    std::vector<EchoTap> taps;
    for (const std::string_view path : paths) {
        const std::vector<std::string_view> fields = split_text(path, ':');
        if (fields.size() != 3 && fields.size() != 4) return std::nullopt;
        constexpr double kAny = std::numeric_limits<double>::max();
        const std::optional<double> delay = number_within(fields[0], 0, 1000);
        const std::optional<double> gain = number_within(fields[1], -60, 20);
        const std::optional<double> phase = number_within(fields[2], -kAny, kAny);
        const std::optional<double> doppler =
            fields.size() == 4 ? number_within(fields[3], -2000, 2000) : std::optional(0.0);
        if (!delay || !gain || !phase || !doppler) return std::nullopt;
        taps.push_back({*delay, *gain, *phase, *doppler});
    }
    return taps;
}

// A number option's accepted values, for its messages.
struct NumberRange {
    const char* what;  // as the message names the setting
    double low;
    double high;
    bool whole;        // whole numbers only
    const char* text;  // "-200 to 200 dB"
};

// One walk over the arguments; `next` is the index of the argument to read.
class CommandLineParser {
  public:
    CommandLineParser(TxConfig& config, int argc, char** argv, std::FILE* console,
                      bool from_file = false)
        : config_(config), argc_(argc), argv_(argv), console_(console), from_file_(from_file) {}

    // Why the last value was not taken as given ("one of 4, 16, 64
    // expected"); empty when it was.
    const std::string& refusal() const { return refusal_; }

    void run() {
        next_ = 1;
        while (next_ < argc_) {
            option_ = argv_[next_++];
            value_.reset();
            if (option_.starts_with("--"))
                handle_long(option_);
            else
                handle(option_);
        }
    }

  private:
    void print(const char* format, const char* text) {
        if (console_) std::fprintf(console_, format, text);
    }

    // Records the option being handled as not taken as given, with its value,
    // what it takes (`expected`: "one of 4, 16, 64 expected") and what was
    // done instead (`outcome`: "4QAM used"); either may be empty.
    void not_taken(const std::string& expected, const std::string& outcome) {
        std::string entry(option_);
        if (value_)
            entry.append(" ").append(*value_);
        else
            entry.append(" without a value");
        entry.append(": ").append(expected);
        if (!expected.empty() && !outcome.empty()) entry.append("; ");
        config_.settings_not_taken.push_back(entry.append(outcome));
        refusal_ = expected.empty() ? outcome : expected;
    }

    // Takes the next argument as the option's value; nullopt when the option
    // was the last argument.
    std::optional<std::string_view> take_value() {
        if (next_ < argc_) value_ = std::string_view(argv_[next_++]);
        return value_;
    }

    // The index of the option's value among `accepted`, or -1 when the value
    // is missing or not one of them.
    template <size_t N>
    int take_choice(const char* const (&accepted)[N]) {
        std::optional<std::string_view> value = take_value();
        return value ? find_value(*value, accepted) : -1;
    }

    // For the options whose message names their default: an unrecognised or
    // missing value puts the field back to that default, so the message holds.
    template <typename Field, size_t N>
    void choose(Field& field, const char* const (&accepted)[N], Field fallback, const char* message,
                const char* const* names) {
        int index = take_choice(accepted);
        if (index >= 0) {
            field = static_cast<Field>(index);
            return;
        }
        field = fallback;
        print(message, names[fallback]);
        not_taken(one_of(accepted), std::string(names[fallback]) + " used");
    }

    void handle(std::string_view option) {
        for (const LetterSetting& letter : kLetterSettings)
            if (option == letter.letter) given(letter.name);
        if (option == "-i") {
            take_path(config_.input_path);
        } else if (option == "-o") {
            take_path(config_.output_path);
        } else if (option == "-l") {
            take_path(config_.log_path);
        } else if (option == "-2k") {
            config_.mode = kMode2k;
        } else if (option == "-8k") {
            config_.mode = kMode8k;
        } else if (option == "-M") {
            take_constellation();
        } else if (option == "-a") {
            take_hierarchy();
        } else if (option == "-D") {
            take_guard_interval();
        } else if (option == "-p") {
            take_code_rate();
        } else if (option == "-b") {
            take_channel_spacing();
        } else if (option == "-c") {
            take_interleaver_init();
        } else if (option == "-f") {
            take_frequency_mapping();
        } else if (option == "-h") {
            config_.show_help = true;
        } else if (option == "-V") {
            config_.show_version = true;
        } else if (option == "-v") {
            take_verbosity();
        } else if (option == "-d") {
            take_dump_letters();
        } else if (option == "-F") {
            take_dac_format();
        } else {
            print("Unknown argument %s.\n", std::string(option).c_str());
            config_.settings_not_taken.push_back("unknown argument " + std::string(option));
        }
    }

    // The command line's settings are recorded by their long option's name
    // (a configuration file leaves them as they are); a file's are not.
    void given(std::string_view name) {
        if (!from_file_) config_.command_line_settings.emplace_back(name);
    }

    // An unknown long option and one given last without its value are
    // recorded (they stop the run); the option then takes its value, or
    // handles the missing one, as before.
    void handle_long(std::string_view option) {
        const LongOption* known = find_long_option(option);
        if (!known) {
            print("Unknown argument %s.\n", std::string(option).c_str());
            config_.unknown_long_options.emplace_back(option);
            return;
        }
        if (known->value_name && next_ >= argc_)
            config_.long_options_without_value.emplace_back(option);
        given(known->name);
        known->take(*this);
    }

  public:
    TxConfig& config() { return config_; }

    // The settings of the single letters, shared with their long options.
    void take_input() { take_path(config_.input_path); }
    void take_output() { take_path(config_.output_path); }
    void take_log() { take_path(config_.log_path); }
    void take_config() { take_path(config_.config_path); }
    void take_constellation() {
        static constexpr const char* kValues[] = {"4", "16", "64"};
        choose(config_.constellation, kValues, kQpsk,
               "Invalid constellation order: defaulting to %s.\n", kConstellationNames);
    }
    void take_hierarchy() {
        static constexpr const char* kValues[] = {"NH", "1", "2", "4"};
        choose(config_.hierarchy, kValues, kNonHierarchical,
               "Invalid hierarchy order: defaulting to %s.\n", kHierarchyNames);
    }
    void take_guard_interval() {
        choose(config_.guard_interval, kGuardIntervalNames, kGuard1_32,
               "Invalid prefix duration: defaulting to %s.\n", kGuardIntervalNames);
    }
    void take_code_rate() {
        choose(config_.code_rate, kCodeRateNames, kRate1_2,
               "Invalid puncturing rate: defaulting to %s.\n", kCodeRateNames);
    }
    void take_channel_spacing() {
        static constexpr const char* kValues[] = {"6", "7", "8"};
        choose(config_.channel_spacing, kValues, kSpacing8MHz,
               "Invalid channel spacing: defaulting to %s.\n", kChannelSpacingNames);
    }
    void take_interleaver_init() {
        static constexpr const char* kValues[] = {"0", "rand"};
        // This message has no line end: the next console text follows it.
        choose(config_.interleaver_init, kValues, kInitRand,
               "Invalid interleaver initialization: defaulting to %s", kInterleaverInitNames);
    }
    // --mode: what -2k and -8k set; another value keeps the mode.
    void take_mode() {
        const int index = take_choice(kModeNames);
        if (index >= 0) {
            config_.mode = static_cast<OfdmMode>(index);
            return;
        }
        const char* kept = kModeNames[config_.mode];
        if (console_) {
            std::fprintf(console_, "Invalid mode %s: keeping %s.\n",
                         value_ ? std::string(*value_).c_str() : "(none)", kept);
        }
        not_taken(one_of(kModeNames), std::string(kept) + " kept");
    }

    void take_device() { take_text(config_.device_args, "device arguments"); }
    void take_antenna() { take_text(config_.antenna, "antenna name"); }
    void take_frequency() {
        take_number(config_.frequency_hz, {"frequency", 1.0, 1e12, false, "1 to 1e12 Hz"});
    }
    void take_gain() {
        take_number(config_.gain_db, {"gain", -200.0, 200.0, false, "-200 to 200 dB"});
    }
    void take_channel() {
        std::optional<double> channel;
        take_number(channel, {"channel", 0.0, 1024.0, true, "a whole number from 0 to 1024"});
        config_.channel = channel ? static_cast<int32_t>(*channel) : 0;
    }
    void take_prime() {
        std::optional<double> prime;
        take_number(prime, {"prime", 0.0, 10000.0, false, "0 to 10000 ms"});
        config_.prime_ms = prime.value_or(100.0);
    }
    void take_lp_input() { take_path(config_.lp_input_path); }
    void take_input_buffer() {
        std::optional<double> buffer;
        take_number(buffer,
                    {"input-buffer", 10.0, 10000.0, true, "a whole number from 10 to 10000 ms"});
        config_.input_buffer_ms = buffer ? static_cast<int32_t>(*buffer) : 200;
    }
    void take_input_backup() { take_text(config_.input_backup, "backup input"); }
    void take_metrics_listen() { take_text(config_.metrics_listen, "metrics address"); }
    void take_control() { take_text(config_.control, "control address"); }
    void take_events() { take_text(config_.events, "events file"); }
    void take_switch_after() {
        std::optional<double> after;
        take_number(after,
                    {"switch-after", 10.0, 600000.0, true, "a whole number from 10 to 600000 ms"});
        config_.switch_after_ms = after ? static_cast<int32_t>(*after) : 1000;
    }
    // --arithmetic and --precise set the same thing: the command line's
    // either one overrides a configuration file's either one.
    void take_arithmetic() {
        const std::optional<std::string_view> value = take_value();
        const int index = value ? find_value(*value, kArithmeticNames) : -1;
        given("--precise");
        if (index >= 0) {
            config_.arithmetic = static_cast<Arithmetic>(index);
            return;
        }
        config_.arithmetic = Arithmetic::kExact;
        print("Invalid arithmetic %s: exact used.\n",
              value ? std::string(*value).c_str() : "(none)");
        print_range("exact, fast or precise");
        not_taken(one_of(kArithmeticNames), "exact used");
    }
    void take_precise() {
        config_.arithmetic = Arithmetic::kPrecise;
        given("--arithmetic");
    }
    void take_threads() {
        std::optional<double> threads;
        take_number(threads, {"threads", 1.0, 256.0, true, "a whole number from 1 to 256"});
        config_.threads = threads ? static_cast<int32_t>(*threads) : 0;
    }
    void take_cell_id() {
        std::optional<double> cell_id;
        take_number(cell_id, {"cell id", 0.0, 65535.0, true, "a whole number from 0 to 65535"});
        config_.cell_id =
            cell_id ? std::optional<uint16_t>(static_cast<uint16_t>(*cell_id)) : std::nullopt;
    }
    void take_tx_id() {
        std::optional<double> id;
        take_number(
            id, {"transmitter identifier", 0.0, 65535.0, true, "a whole number from 0 to 65535"});
        config_.tx_id = id ? std::optional<uint16_t>(static_cast<uint16_t>(*id)) : std::nullopt;
    }
    void take_sfn_offset() {
        std::optional<double> offset;
        take_number(offset, {"SFN offset", -1.0, 1.0, false, "seconds from -1 to 1"});
        config_.sfn_offset_s = offset.value_or(0);
    }
    void take_time_source() {
        const std::optional<std::string_view> value = take_value();
        config_.time_source_fixed_s.reset();
        config_.time_source_pps = false;
        if (value && *value == "system") return;
        if (value && *value == "pps") {
            config_.time_source_pps = true;
            return;
        }
        if (value && value->starts_with("fixed:")) {
            const std::optional<double> seconds =
                decimal_value(std::optional<std::string_view>(value->substr(6)));
            if (seconds && *seconds >= 0 && *seconds < 9.2e9) {
                config_.time_source_fixed_s = seconds;
                return;
            }
        }
        print("Invalid time source %s: using the system clock.\n",
              value ? std::string(*value).c_str() : "(none)");
        print_range("system, pps or fixed:UNIX_SECONDS");
        not_taken("system, pps or fixed:UNIX_SECONDS expected", "system used");
    }
    void take_mip_loss() {
        const std::optional<std::string_view> value = take_value();
        if (value && (*value == "mute" || *value == "stop")) {
            config_.sfn_stop_on_mip_loss = *value == "stop";
            return;
        }
        print("Invalid MIP loss action %s: mute used.\n",
              value ? std::string(*value).c_str() : "(none)");
        print_range("mute or stop");
        not_taken("mute or stop expected", "mute used");
        config_.sfn_stop_on_mip_loss = false;
    }
    void take_clock_source() {
        const std::optional<std::string_view> value = take_value();
        if (value && !value->empty()) {
            config_.clock_source = std::string(*value);
            return;
        }
        print("Invalid clock source %s: ignored.\n", "(none)");
        not_taken("a clock source name expected", "ignored");
    }
    void take_log_max_size() {
        const std::optional<std::string_view> value = take_value();
        config_.log_max_size = value ? log_size_value(*value) : std::nullopt;
        if (config_.log_max_size) return;
        print("Invalid log size %s: ignored.\n", value ? std::string(*value).c_str() : "(none)");
        print_range(kLogSizeRange);
        not_taken(std::string(kLogSizeRange) + " expected", "ignored");
    }

    void take_frequency_mapping() {
        static constexpr const char* kValues[] = {"0", "BBIF"};
        int index = take_choice(kValues);
        if (index >= 0) {
            config_.frequency_mapping = static_cast<FrequencyMapping>(index);
            return;
        }
        const char* kept = kFrequencyMappingNames[config_.frequency_mapping];
        print("Invalid frequency mapping: keeping %s.\n", kept);
        std::string outcome = std::string(kept) + " kept";
        // -f 474e6 was meant for --frequency.
        if (decimal_value(value_).value_or(0) != 0)
            outcome += " (the centre frequency is --frequency " + std::string(*value_) + ")";
        not_taken(one_of(kValues), outcome);
    }

    void take_verbosity() {
        std::optional<std::string_view> value = take_value();
        if (!value) {
            if (console_) std::fputs("No verbosity level given.\n", console_);
            reject_verbosity();
            return;
        }
        bool whole = false;
        int64_t level = decimal_prefix_value(*value, &whole);
        if (level < 0 || level > kMaxVerbosity) {
            reject_verbosity();
            return;
        }
        config_.verbosity = static_cast<int32_t>(level);
        if (!whole) {
            not_taken("", "read as " + std::to_string(level));
            refusal_ = "0 to " + std::to_string(kMaxVerbosity) + " expected";
        }
    }

    // Every dump letter found anywhere in the value sets its flag; flags are
    // only ever set, so several -d options accumulate. Other characters are
    // named once each and ignored; a missing value sets nothing.
    void take_dump_letters() {
        std::optional<std::string_view> value = take_value();
        if (!value) {
            not_taken("", "ignored");
            return;
        }
        for (int stage = 0; stage < kDumpStageCount; ++stage) {
            if (value->find(kDumpLetters[stage]) != std::string_view::npos) {
                config_.dump[stage] = true;
            }
        }
        std::string unknown;
        for (char letter : *value) {
            if (std::string_view(kDumpLetters).find(letter) == std::string_view::npos &&
                unknown.find(letter) == std::string::npos) {
                unknown += letter;
            }
        }
        if (!unknown.empty()) {
            if (console_)
                std::fprintf(console_, "Invalid dump level \"%s\": ignoring %s.\n",
                             std::string(*value).c_str(), unknown.c_str());
            not_taken("letters of " + std::string(kDumpLetters) + " expected",
                      "\"" + unknown + "\" ignored");
        }
    }

    // An unknown format leaves the setting unchanged and says so; a missing
    // one leaves it unchanged silently.
    void take_dac_format() {
        struct Spelling {
            const char* text;
            DacFormat format;
        };
        // "HP" is how the help text writes "hp".
        static constexpr Spelling kSpellings[] = {{"agi", kFormatAgilent},
                                                  {"hp", kFormatHp},
                                                  {"HP", kFormatHp},
                                                  {"2x", kFormatInterpolated2x},
                                                  {"4x", kFormatInterpolated4x}};
        static constexpr const char* kFormatNames[] = {"standard", "agi", "HP", "2x", "4x"};
        static constexpr const char* kValues[] = {"agi", "HP", "2x", "4x"};
        std::optional<std::string_view> value = take_value();
        if (!value) {
            not_taken("", "ignored");
            return;
        }
        for (const Spelling& spelling : kSpellings) {
            if (*value == spelling.text) {
                config_.dac_format = spelling.format;
                return;
            }
        }
        const char* kept = kFormatNames[config_.dac_format];
        if (console_) {
            std::fprintf(console_, "Invalid post-IFFT format \"%s\": keeping %s.\n",
                         std::string(*value).c_str(), kept);
        }
        not_taken(one_of(kValues), std::string(kept) + " kept");
    }

    void take_sample_type() {
        std::optional<std::string_view> value = take_value();
        std::optional<SampleType> type = value ? sample_type_named(*value) : std::nullopt;
        if (type) {
            config_.sample_type = type;
            return;
        }
        config_.sample_type.reset();
        print("Invalid sample type %s: using cf32.\n", value ? std::string(*value).c_str() : "");
        std::string names;
        for (const SampleTypeDescription& row : sample_type_table())
            names.append(names.empty() ? "" : ", ").append(row.name);
        not_taken("one of " + names + " expected", "cf32 used");
    }

    // A level in dB from 0 to 60; anything else keeps the default.
    void take_backoff() {
        std::optional<std::string_view> value = take_value();
        const double level = decimal_value(value).value_or(-1);
        if (level >= 0 && level <= kMaxBackoffDb) {
            config_.backoff_db = level;
            return;
        }
        config_.backoff_db = kDefaultBackoffDb;
        print("Invalid backoff %s: using 12 dB.\n", value ? std::string(*value).c_str() : "");
        print_range("0 to 60 dB");
        not_taken("0 to 60 dB expected", "12 dB used");
    }

    void take_lp_rate() {
        std::optional<std::string_view> value = take_value();
        const int index = value ? find_value(*value, kCodeRateNames) : -1;
        if (index >= 0) {
            config_.lp_code_rate = static_cast<CodeRate>(index);
            return;
        }
        config_.lp_code_rate = kRate1_2;
        print("Invalid LP code rate %s: using 1/2.\n", value ? std::string(*value).c_str() : "");
        not_taken(one_of(kCodeRateNames), "1/2 used");
    }

    // A number of Hz from 100 kHz to 10 MHz; anything else keeps -b.
    void take_bandwidth() {
        std::optional<std::string_view> value = take_value();
        const double hz = decimal_value(value).value_or(-1);
        if (hz >= kMinBandwidthHz && hz <= kMaxBandwidthHz) {
            config_.bandwidth_hz = hz;
            return;
        }
        config_.bandwidth_hz.reset();
        print("Invalid bandwidth %s: using -b.\n", value ? std::string(*value).c_str() : "");
        print_range("100000 to 10000000 Hz");
        not_taken("100000 to 10000000 Hz expected", "-b used");
    }

    // A whole number of samples; anything else is -1, which the start-up
    // refuses with the limits (they depend on the guard interval, which may
    // come later on the command line).
    void take_window_length() {
        std::optional<std::string_view> value = take_value();
        config_.window_length = -1;
        // The start-up refuses it with the limits; a configuration file at once.
        refusal_ = "a whole number of samples expected";
        if (!value || value->empty() || value->size() > 6) return;
        int32_t length = 0;
        for (char digit : *value) {
            if (digit < '0' || digit > '9') return;
            length = length * 10 + (digit - '0');
        }
        config_.window_length = length;
        refusal_.clear();
    }

    // The channel simulator: --seed, --cn, --echo-profile, --echoes,
    // --doppler, --freq-offset, --phase-noise, --iq-imbalance, --clock-offset.
    void take_seed() {
        const std::optional<std::string_view> value = take_value();
        const std::optional<uint64_t> seed = value ? seed_value(*value) : std::nullopt;
        channel().seed = seed.value_or(1);
        if (seed) return;
        print("Invalid seed %s: using 1.\n", value ? std::string(*value).c_str() : "(none)");
        print_range(kSeedRange);
        not_taken(std::string(kSeedRange) + " expected", "1 used");
    }
    void take_cn() { take_number(channel().cn_db, {"C/N", -10.0, 60.0, false, "-10 to 60 dB"}); }
    void take_doppler() {
        take_number(channel().doppler_hz,
                    {"Doppler frequency", 0.0, 2000.0, false, "0 to 2000 Hz"});
    }
    void take_frequency_offset() {
        constexpr double kAny = std::numeric_limits<double>::max();
        take_number(channel().frequency_offset_hz,
                    {"frequency offset", -kAny, kAny, false,
                     "a number of Hz (at most half the output sample rate either way)"});
    }
    void take_clock_offset() {
        constexpr double kAny = std::numeric_limits<double>::max();
        take_number(channel().clock_offset_ppm, {"clock offset", -kAny, kAny, false,
                                                 "a number of ppm (at most 1000 either way)"});
    }
    void take_phase_noise() {
        take_parsed(channel().phase_noise, phase_noise_value, "phase noise", kPhaseNoiseRange);
    }
    void take_iq_imbalance() {
        take_parsed(channel().iq_imbalance, iq_imbalance_value, "I/Q imbalance", kIqImbalanceRange);
    }
    void take_echo_profile() {
        std::optional<EchoProfile> profile;
        take_parsed(profile, echo_profile_value, "echo profile", kEchoProfileRange);
        channel().echo_profile = profile.value_or(EchoProfile::kNone);
    }
    void take_echoes() {
        std::optional<std::vector<EchoTap>> taps;
        take_parsed(taps, echoes_value, "echoes", kEchoesRange);
        channel().echoes = taps.value_or(std::vector<EchoTap>{});
    }

  private:
    ChannelSettings& channel() { return config_.channel_simulation; }

    // A value `parse` reads whole, or nothing: anything else leaves the
    // field unset and says so.
    template <typename Value>
    void take_parsed(std::optional<Value>& field, std::optional<Value> (*parse)(std::string_view),
                     const char* what, const char* range) {
        const std::optional<std::string_view> value = take_value();
        field = value ? parse(*value) : std::nullopt;
        if (field) return;
        if (console_)
            std::fprintf(console_, "Invalid %s %s: ignored.\n", what,
                         value ? std::string(*value).c_str() : "(none)");
        print_range(range);
        not_taken(std::string(range) + " expected", "ignored");
    }

    void reject_verbosity() {
        config_.verbosity = kMaxVerbosity;
        if (console_) {
            std::fprintf(console_, "Invalid verbosity level: defaulting to %d.\n", kMaxVerbosity);
        }
        const std::string highest = std::to_string(kMaxVerbosity);
        not_taken("0 to " + highest + " expected", highest + " used");
    }

    void take_text(std::optional<std::string>& field, const char* what) {
        std::optional<std::string_view> value = take_value();
        if (value) {
            field = std::string(*value);
            return;
        }
        field.reset();
        print("No %s given.\n", what);
    }

    // The line after an invalid number's message: what the option takes.
    void print_range(const char* range) {
        if (console_)
            std::fprintf(console_, "  %s takes %s.\n", std::string(option_).c_str(), range);
    }

    // A decimal number within `range` (a whole number where it says so);
    // anything else leaves the field unset and says so.
    void take_number(std::optional<double>& field, const NumberRange& range) {
        std::optional<std::string_view> value = take_value();
        field.reset();
        const std::optional<double> number = decimal_value(value);
        const bool whole = !range.whole || (number && *number == std::floor(*number));
        if (number && *number >= range.low && *number <= range.high && whole) {
            field = number;
            return;
        }
        if (console_) {
            std::fprintf(console_, "Invalid %s %s: ignored.\n", range.what,
                         value ? std::string(*value).c_str() : "(none)");
        }
        print_range(range.text);
        not_taken(std::string(range.text) + " expected", "ignored");
    }

    // As the last argument, the option leaves the name unset.
    void take_path(std::optional<std::string>& path) {
        std::optional<std::string_view> value = take_value();
        if (value) {
            path = std::string(*value);
        } else {
            path.reset();
        }
    }

    TxConfig& config_;
    int argc_;
    char** argv_;
    std::FILE* console_;
    bool from_file_;  // a configuration file's setting, not the command line's
    std::string refusal_;
    int next_ = 1;
    // The option being handled and the value it took.
    std::string_view option_;
    std::optional<std::string_view> value_;
};

// The table itself, after the parser whose members store the values.
constexpr LongOption kLongOptions[] = {
    {"--sample-type", "T",
     "Post-IFFT sample type for the standard, 2x and 4x formats:\n"
     "cf32 (32-bit float I/Q, default), cs16 (16-bit), cs8 (8-bit)",
     [](CommandLineParser& parser) { parser.take_sample_type(); }},
    {"--backoff", "DB", "cs16/cs8: nominal RMS level in dB below full scale (default 12)",
     [](CommandLineParser& parser) { parser.take_backoff(); }},
    {"--no-sigmf", nullptr, "no SigMF metadata file beside the output file",
     [](CommandLineParser& parser) { parser.config().write_sigmf = false; }},
    {"--adapt-rate", nullptr,
     "re-time the stream to the channel's useful bit rate (null packets\n"
     "added or dropped, PCRs restamped)",
     [](CommandLineParser& parser) { parser.config().adapt_rate = true; }},
    {"--device", "ARGS", "transmit through SoapySDR to the device ARGS names (driver=hackrf)",
     [](CommandLineParser& parser) { parser.take_device(); }},
    {"--frequency", "HZ", "centre frequency of the transmission (required with --device)",
     [](CommandLineParser& parser) { parser.take_frequency(); }},
    {"--gain", "DB", "device gain (default the device's minimum)",
     [](CommandLineParser& parser) { parser.take_gain(); }},
    {"--channel", "N", "device channel (default 0)",
     [](CommandLineParser& parser) { parser.take_channel(); }},
    {"--antenna", "NAME", "device antenna",
     [](CommandLineParser& parser) { parser.take_antenna(); }},
    {"--prime", "MS",
     "device: milliseconds of samples made before its stream starts\n"
     "(default 100; 0 starts it before the first sample)",
     [](CommandLineParser& parser) { parser.take_prime(); }},
    {"--loop", nullptr, "start a file input again at its beginning when it ends",
     [](CommandLineParser& parser) { parser.config().loop = true; }},
    {"--realtime", nullptr,
     "write the samples to a file or standard output at the signal's\n"
     "rate, as a device takes them (a live input is then buffered)",
     [](CommandLineParser& parser) { parser.config().realtime = true; }},
    {"--input-buffer", "MS",
     "live input (udp://, srt://) in a paced run: the jitter buffer,\n"
     "filled before transmission starts (default 200)",
     [](CommandLineParser& parser) { parser.take_input_buffer(); }},
    {"--input-backup", "URI",
     "live input to switch to after --switch-after of loss on -i, and\n"
     "back once -i has been clean for 5 s",
     [](CommandLineParser& parser) { parser.take_input_backup(); }},
    {"--switch-after", "MS", "loss on -i before the backup input takes over (default 1000)",
     [](CommandLineParser& parser) { parser.take_switch_after(); }},
    {"--lp-input", "FILE",
     "hierarchical transmission (with -M 16|64 and -a 1|2|4): FILE is\n"
     "the low-priority stream, -i the high-priority one",
     [](CommandLineParser& parser) { parser.take_lp_input(); }},
    {"--lp-rate", "R", "low-priority code rate (1/2, 2/3, 3/4, 5/6, 7/8; default 1/2)",
     [](CommandLineParser& parser) { parser.take_lp_rate(); }},
    {"--bandwidth", "HZ",
     "any channel bandwidth up to 10 MHz (e.g. 500000, 1.7e6, 5e6):\n"
     "sampling rate 8/7 of it; the samples do not change",
     [](CommandLineParser& parser) { parser.take_bandwidth(); }},
    {"--threads", "N", "threads that compute side by side (default: every processor)",
     [](CommandLineParser& parser) { parser.take_threads(); }},
    {"--precise", nullptr, "exact transform in double precision (FFTW), rounded to float once",
     [](CommandLineParser& parser) { parser.take_precise(); }},
    {"--arithmetic", "A",
     "transform and interpolator: exact (default), fast (single\n"
     "precision: faster, more accurate, the same bytes on every machine)\n"
     "or precise (as --precise)",
     [](CommandLineParser& parser) { parser.take_arithmetic(); }},
    {"--window", "N",
     "raised-cosine transition of N samples between symbols, inside the\n"
     "guard interval (0 = off, default; at most a quarter of the guard)",
     [](CommandLineParser& parser) { parser.take_window_length(); }},
    {"--cell-id", "N",
     "cell identifier 0 to 65535 in the TPS (EN 300 744 V1.4.1 on:\n"
     "length indicator 31, one byte of it a frame; default: none)",
     [](CommandLineParser& parser) { parser.take_cell_id(); }},
    {"--sfn", nullptr,
     "single-frequency network (ETSI TS 101 191): the input carries MIPs;\n"
     "start at the mega-frame the first one points to, emit at its time",
     [](CommandLineParser& parser) { parser.config().sfn = true; }},
    {"--sfn-take-settings", nullptr,
     "with --sfn: take mode, constellation, hierarchy, code rates and\n"
     "guard interval from the MIP instead of checking them against it",
     [](CommandLineParser& parser) { parser.config().sfn_take_settings = true; }},
    {"--tx-id", "N", "with --sfn: this transmitter's identifier in the MIP (0 to 65535)",
     [](CommandLineParser& parser) { parser.take_tx_id(); }},
    {"--sfn-offset", "SECONDS", "with --sfn: a local trim of the emission time (-1 to 1)",
     [](CommandLineParser& parser) { parser.take_sfn_offset(); }},
    {"--time-source", "SOURCE",
     "with --sfn: the 1 PPS pulses, system (default), pps (the device's PPS\n"
     "input, the seconds from the system clock) or fixed:UNIX_SECONDS (the\n"
     "pulse before the first mega-frame, then as the stream advances)",
     [](CommandLineParser& parser) { parser.take_time_source(); }},
    {"--mip-loss", "ACTION",
     "with --sfn: no valid MIP for more than a mega-frame: mute (silence\n"
     "until MIPs return, default) or stop (the run ends, exit code 1)",
     [](CommandLineParser& parser) { parser.take_mip_loss(); }},
    {"--clock-source", "NAME",
     "with --device: the 10 MHz reference, as the device names it\n"
     "(internal, external, gpsdo ...; default: as the device is)",
     [](CommandLineParser& parser) { parser.take_clock_source(); }},
    {"--log-max-size", "BYTES",
     "log file at most BYTES (k, M, G: KiB, MiB, GiB; at least 64k): when\n"
     "full it becomes NAME.1 and a new one starts (default: no limit)",
     [](CommandLineParser& parser) { parser.take_log_max_size(); }},
    {"--lenient", nullptr,
     "with --device: transmit although an argument was unknown or a value\n"
     "fell back to a default or was ignored (refused without it)",
     [](CommandLineParser& parser) { parser.config().lenient = true; }},
    {kConfigOption, "FILE",
     "read settings from the TOML file FILE: each long option is a key\n"
     "(gain = 0, realtime = true); the command line overrides it",
     [](CommandLineParser& parser) { parser.take_config(); }},
    {"--input", "FILE", "as -i: MPEG-2 transport stream file name",
     [](CommandLineParser& parser) { parser.take_input(); }},
    {"--output", "NAME", "as -o: DAC output file name",
     [](CommandLineParser& parser) { parser.take_output(); }},
    {"--log", "FILE", "as -l: log file name", [](CommandLineParser& parser) { parser.take_log(); }},
    {"--mode", "M", "as -2k and -8k: 2k or 8k (2048 or 8192 carriers OFDM)",
     [](CommandLineParser& parser) { parser.take_mode(); }},
    {"--constellation", "N", "as -M: constellation order (4, 16, 64)",
     [](CommandLineParser& parser) { parser.take_constellation(); }},
    {"--alpha", "A", "as -a: uniformity order (NH, 1, 2, 4)",
     [](CommandLineParser& parser) { parser.take_hierarchy(); }},
    {"--guard", "G", "as -D: circular prefix duration (1/32, 1/16, 1/8, 1/4)",
     [](CommandLineParser& parser) { parser.take_guard_interval(); }},
    {"--code-rate", "R", "as -p: puncturing rate (1/2, 2/3, 3/4, 5/6, 7/8)",
     [](CommandLineParser& parser) { parser.take_code_rate(); }},
    {"--channel-spacing", "MHZ", "as -b: channel spacing (6, 7, 8)",
     [](CommandLineParser& parser) { parser.take_channel_spacing(); }},
    {"--interleaver-init", "I", "as -c: conv. interleaver initialization (0, rand)",
     [](CommandLineParser& parser) { parser.take_interleaver_init(); }},
    {"--frequency-mapping", "M", "as -f: frequency mapping method (0, BBIF)",
     [](CommandLineParser& parser) { parser.take_frequency_mapping(); }},
    {"--verbosity", "N", "as -v: verbosity level (0 to 4)",
     [](CommandLineParser& parser) { parser.take_verbosity(); }},
    {"--dump", "LETTERS", "as -d: dump level (ercvpbsmft)",
     [](CommandLineParser& parser) { parser.take_dump_letters(); }},
    {"--format", "F", "as -F: Post-IFFT format (agi, HP, 2x, 4x)",
     [](CommandLineParser& parser) { parser.take_dac_format(); }},
    {"--metrics-listen", "ADDRESS",
     "serve Prometheus metrics at http://ADDRESS/metrics; ADDRESS is\n"
     "[HOST:]PORT (loopback unless a host is given)",
     [](CommandLineParser& parser) { parser.take_metrics_listen(); }},
    {"--control", "ENDPOINT",
     "remote control while transmitting: unix:PATH or tcp:[ADDRESS:]PORT\n"
     "(loopback unless an address is given); see terramod-ctl",
     [](CommandLineParser& parser) { parser.take_control(); }},
    {"--events", "TARGET",
     "alarms and state changes as JSON lines, appended to the file\n"
     "TARGET or sent to the datagram socket unix:PATH",
     [](CommandLineParser& parser) { parser.take_events(); }},
    {"--seed", "N",
     "the channel simulator's random numbers: the same N gives the same\n"
     "bytes on every machine and thread count (0 to 2^64-1, default 1)",
     [](CommandLineParser& parser) { parser.take_seed(); }},
    {"--cn", "DB",
     "add white Gaussian noise at this C/N (-10 to 60): C the nominal\n"
     "signal power, N the noise within the occupied bandwidth",
     [](CommandLineParser& parser) { parser.take_cn(); }},
    {"--echo-profile", "PROFILE",
     "echoes of EN 300 744 Annex B: F1 (fixed reception, Ricean) or P1\n"
     "(portable reception, Rayleigh)",
     [](CommandLineParser& parser) { parser.take_echo_profile(); }},
    {"--echoes", "LIST",
     "echo paths DELAY_US:GAIN_DB:PHASE_DEG[:DOPPLER_HZ], comma separated\n"
     "(up to 32; delay 0 to 1000 us, gain -60 to 20 dB)",
     [](CommandLineParser& parser) { parser.take_echoes(); }},
    {"--doppler", "HZ", "the echo paths' maximum Doppler frequency (0 to 2000)",
     [](CommandLineParser& parser) { parser.take_doppler(); }},
    {"--freq-offset", "HZ",
     "shift the output by HZ (at most half the output sample rate\n"
     "either way)",
     [](CommandLineParser& parser) { parser.take_frequency_offset(); }},
    {"--phase-noise", "DBC_PER_HZ@OFFSET_HZ",
     "random-walk phase noise of the oscillator: DBC_PER_HZ\n"
     "dBc/Hz (-200 to 0) at OFFSET_HZ from the carrier (e.g. -80@10000)",
     [](CommandLineParser& parser) { parser.take_phase_noise(); }},
    {"--iq-imbalance", "GAIN_DB,PHASE_DEG",
     "the modulator's I/Q errors: gain of I over Q\n"
     "(-6 to 6 dB) and quadrature phase (-45 to 45 degrees), e.g. 0.5,2",
     [](CommandLineParser& parser) { parser.take_iq_imbalance(); }},
    {"--clock-offset", "PPM",
     "resample the output as a sampling clock PPM parts per million fast\n"
     "(-1000 to 1000, negative slow), after every other impairment",
     [](CommandLineParser& parser) { parser.take_clock_offset(); }},
};

const LongOption* find_long_option(std::string_view name) {
    for (const LongOption& option : kLongOptions)
        if (option.name == name) return &option;
    return nullptr;
}

// The -h section of the long options, from the table: the name and value,
// a tab (two when they are shorter than a tab stop), the help text, its
// further lines after "  \t".
std::string long_options_help() {
    std::string text = "\nLong options:\n\n";
    for (const LongOption& option : kLongOptions) {
        std::string head(option.name);
        if (option.value_name) head.append(" ").append(option.value_name);
        text.append(head).append(head.size() < 8 ? "\t\t" : "\t");
        for (const char* line = option.help; *line != 0;) {
            const char* end = std::strchr(line, '\n');
            const size_t length = end ? static_cast<size_t>(end - line) : std::strlen(line);
            text.append(line, length).append("\n");
            if (!end) break;
            text.append("  \t");
            line = end + 1;
        }
    }
    return text;
}

// The edit distance of `a` and `b` (insertions, deletions, substitutions and
// swaps of neighbours, each one edit), letters compared without case.
size_t edit_distance(std::string_view a, std::string_view b) {
    auto same = [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    };
    // Three rows of the distance table: two rows back (for swaps), the row
    // before and the current one.
    std::vector<size_t> before_last(b.size() + 1), last(b.size() + 1), current(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) last[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        current[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t substitution = last[j - 1] + (same(a[i - 1], b[j - 1]) ? 0 : 1);
            current[j] = std::min({last[j] + 1, current[j - 1] + 1, substitution});
            if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1]))
                current[j] = std::min(current[j], before_last[j - 2] + 1);
        }
        before_last.swap(last);
        last.swap(current);
    }
    return last[b.size()];
}

// What an unknown long option was probably meant to be: "--gain 60" for
// "--gain=60", the option a name begins (at least three letters), or the
// option within a few edits (one for names up to seven letters, then one
// more for every four); nothing when no option is close.
std::optional<std::string> closest_long_option(std::string_view unknown) {
    if (unknown == "--help") return "-h";
    if (unknown == "--version") return "-V";
    const size_t equals = unknown.find('=');
    if (equals != std::string_view::npos && find_long_option(unknown.substr(0, equals)))
        return std::string(unknown.substr(0, equals)) + " " +
               std::string(unknown.substr(equals + 1));

    const std::string_view typed = unknown.substr(2);
    std::vector<const LongOption*> begun;
    for (const LongOption& option : kLongOptions)
        if (typed.size() >= 3 && option.name.substr(2).starts_with(typed)) begun.push_back(&option);
    // Of several (--freq begins --frequency, --frequency-mapping and
    // --freq-offset), the one that begins the most of the others (--frequency
    // begins --frequency-mapping); none when two begin as many.
    const LongOption* beginning = nullptr;
    std::ptrdiff_t most = -1;
    bool tied = false;
    for (const LongOption* candidate : begun) {
        const std::ptrdiff_t begins =
            std::count_if(begun.begin(), begun.end(), [candidate](const LongOption* other) {
                return other != candidate && other->name.starts_with(candidate->name);
            });
        if (begins > most) {
            beginning = candidate;
            most = begins;
            tied = false;
        } else if (begins == most) {
            tied = true;
        }
    }
    if (beginning && !tied) return std::string(beginning->name);

    const size_t allowed = typed.size() < 8 ? 1 : 1 + (typed.size() - 4) / 4;
    const LongOption* closest = nullptr;
    size_t closest_distance = allowed + 1;
    for (const LongOption& option : kLongOptions) {
        const size_t distance = edit_distance(typed, option.name.substr(2));
        if (distance < closest_distance) {
            closest = &option;
            closest_distance = distance;
        }
    }
    if (!closest) return std::nullopt;
    return std::string(closest->name);
}

}  // namespace

void set_defaults(TxConfig& config) {
    // The mode tables are constant data (tx_types.h); only the record is reset.
    config = TxConfig{};
}

void parse_command_line(TxConfig& config, int argc, char** argv, std::FILE* console) {
    CommandLineParser(config, argc, argv, console).run();
}

std::string parse_command_line_to_text(TxConfig& config, int argc, char** argv) {
    char* text = nullptr;
    size_t size = 0;
    std::FILE* messages = ::open_memstream(&text, &size);
    if (!messages) throw std::bad_alloc();
    parse_command_line(config, argc, argv, messages);
    std::fclose(messages);
    std::string result(text, size);
    std::free(text);
    return result;
}

std::vector<LongOptionSummary> long_options() {
    std::vector<LongOptionSummary> options;
    for (const LongOption& option : kLongOptions)
        options.push_back({option.name, option.value_name});
    return options;
}

std::optional<std::string> closest_long_option_name(std::string_view unknown) {
    std::optional<std::string> meant = closest_long_option(unknown);
    // "-h", "-V" and "--gain 60" are no option names.
    if (!meant || !meant->starts_with("--") || meant->find(' ') != std::string::npos)
        return std::nullopt;
    return meant;
}

std::optional<std::string> take_long_option(TxConfig& config, std::string_view name,
                                            const std::optional<std::string>& value) {
    std::vector<std::string> arguments = {"terramod", std::string(name)};
    if (value) arguments.push_back(*value);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    char* text = nullptr;
    size_t size = 0;
    std::FILE* messages = ::open_memstream(&text, &size);
    if (!messages) throw std::bad_alloc();
    CommandLineParser parser(config, static_cast<int>(arguments.size()), argv.data(), messages,
                             true);
    parser.run();
    std::fclose(messages);
    std::string console(text, size);
    std::free(text);
    if (!parser.refusal().empty()) return parser.refusal();
    // An option that only says what is wrong with its value.
    while (!console.empty() && std::isspace(static_cast<unsigned char>(console.back())))
        console.pop_back();
    if (!console.empty()) return console;
    return std::nullopt;
}

bool command_line_refused(const TxConfig& config, std::FILE* console) {
    for (const std::string& unknown : config.unknown_long_options) {
        const std::optional<std::string> meant = closest_long_option(unknown);
        std::fprintf(console, "FATAL ERROR: unknown option %s%s%s%s\n", unknown.c_str(),
                     meant ? " (did you mean " : "", meant ? meant->c_str() : "",
                     meant ? "?)" : "");
    }
    for (const std::string& option : config.long_options_without_value) {
        std::fprintf(console, "FATAL ERROR: %s needs a value: %s %s\n", option.c_str(),
                     option.c_str(), find_long_option(option)->value_name);
    }
    return !config.unknown_long_options.empty() || !config.long_options_without_value.empty();
}

bool device_run_settings_taken(const TxConfig& config, Log& log) {
    if (!config.device_args || config.settings_not_taken.empty()) return true;
    if (config.lenient) {
        log.write(LogLevel::kErrors,
                  "WARNING: --lenient: transmitting although settings were not taken as given:\n");
    } else {
        log.fatal(
            "--device transmits only settings taken as given (--lenient "
            "transmits anyway):\n");
    }
    for (const std::string& setting : config.settings_not_taken)
        log.write(LogLevel::kErrors, "  %s\n", setting.c_str());
    return config.lenient;
}

bool report_help_or_version(const TxConfig& config, Log& log) {
    if (!config.show_help && !config.show_version) return false;
    log.write(
        LogLevel::kErrors,
        "\nDVB-T compliant software transmitter\n%sStandard ETSI EN 300 744 V1.1.2 (1997-08)\n",
        kBanner);
    if (config.show_help) {
        log.write(LogLevel::kErrors, kHelpText, kMaxVerbosity);
        log.write(LogLevel::kErrors, "%s", long_options_help().c_str());
    }
    return true;
}

}  // namespace terramod
