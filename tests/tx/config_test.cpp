#include "tx/config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/expected_texts.h"

namespace terramod {
namespace {

// Parses `arguments` (the program name is added) and returns what was
// printed on the console.
struct ParseResult {
    TxConfig config;
    std::string console;
};

ParseResult parse(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "terramod");
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    char* buffer = nullptr;
    size_t size = 0;
    std::FILE* console = open_memstream(&buffer, &size);
    EXPECT_NE(console, nullptr);
    ParseResult result;
    set_defaults(result.config);
    parse_command_line(result.config, static_cast<int>(arguments.size()), argv.data(), console);
    std::fclose(console);
    result.console.assign(buffer, size);
    std::free(buffer);
    return result;
}

TEST(CommandLine, DefaultsWithoutArguments) {
    ParseResult result = parse({});
    const TxConfig& config = result.config;
    EXPECT_EQ(result.console, "");
    EXPECT_FALSE(config.input_path);
    EXPECT_FALSE(config.output_path);
    EXPECT_FALSE(config.log_path);
    EXPECT_EQ(config.mode, kMode2k);
    EXPECT_EQ(config.constellation, kQpsk);
    EXPECT_EQ(config.hierarchy, kNonHierarchical);
    EXPECT_EQ(config.guard_interval, kGuard1_32);
    EXPECT_EQ(config.code_rate, kRate1_2);
    EXPECT_EQ(config.channel_spacing, kSpacing8MHz);
    EXPECT_EQ(config.interleaver_init, kInitRand);
    EXPECT_EQ(config.frequency_mapping, kZeroIf);
    EXPECT_EQ(config.dac_format, kFormatStandard);
    EXPECT_EQ(config.verbosity, 4);
    EXPECT_FALSE(config.show_help);
    EXPECT_FALSE(config.show_version);
    for (bool flag : config.dump) EXPECT_FALSE(flag);
}

TEST(CommandLine, EveryRecognisedValue) {
    ParseResult result = parse({"-i", "in.ts", "-o",   "out", "-l", "run.log", "-8k", "-M", "64",
                                "-a", "4",     "-D",   "1/4", "-p", "7/8",     "-b",  "6",  "-c",
                                "0",  "-f",    "BBIF", "-F",  "4x", "-v",      "2"});
    const TxConfig& config = result.config;
    EXPECT_EQ(result.console, "");
    EXPECT_EQ(config.input_path, "in.ts");
    EXPECT_EQ(config.output_path, "out");
    EXPECT_EQ(config.log_path, "run.log");
    EXPECT_EQ(config.mode, kMode8k);
    EXPECT_EQ(config.constellation, kQam64);
    EXPECT_EQ(config.hierarchy, kAlpha4);
    EXPECT_EQ(config.guard_interval, kGuard1_4);
    EXPECT_EQ(config.code_rate, kRate7_8);
    EXPECT_EQ(config.channel_spacing, kSpacing6MHz);
    EXPECT_EQ(config.interleaver_init, kInitZero);
    EXPECT_EQ(config.frequency_mapping, kBasebandIf);
    EXPECT_EQ(config.dac_format, kFormatInterpolated4x);
    EXPECT_EQ(config.verbosity, 2);
}

TEST(CommandLine, ValueTablesMapInOrder) {
    const char* constellations[] = {"4", "16", "64"};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(parse({"-M", constellations[i]}).config.constellation, i);
    const char* hierarchies[] = {"NH", "1", "2", "4"};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(parse({"-a", hierarchies[i]}).config.hierarchy, i);
    const char* guards[] = {"1/4", "1/8", "1/16", "1/32"};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(parse({"-D", guards[i]}).config.guard_interval, i);
    const char* rates[] = {"1/2", "2/3", "3/4", "5/6", "7/8"};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(parse({"-p", rates[i]}).config.code_rate, i);
    const char* spacings[] = {"6", "7", "8"};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(parse({"-b", spacings[i]}).config.channel_spacing, i);
    const char* formats[] = {"agi", "hp", "2x", "4x"};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(parse({"-F", formats[i]}).config.dac_format, i + 1);
    EXPECT_EQ(parse({"-8k", "-2k"}).config.mode, kMode2k);
    EXPECT_EQ(parse({"-c", "rand"}).config.interleaver_init, kInitRand);
    EXPECT_EQ(parse({"-f", "BBIF", "-f", "0"}).config.frequency_mapping, kZeroIf);
    const char* arithmetics[] = {"exact", "fast", "precise"};
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(static_cast<int>(parse({"--arithmetic", arithmetics[i]}).config.arithmetic), i);
}

TEST(CommandLine, InvalidValueMessagesNameTheDefault) {
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const Case cases[] = {
        {{"-M", "32"}, "Invalid constellation order: defaulting to 4QAM.\n"},
        {{"-a", "nh"}, "Invalid hierarchy order: defaulting to NH.\n"},
        {{"-D", "1/64"}, "Invalid prefix duration: defaulting to 1/32.\n"},
        {{"-p", "1/3"}, "Invalid puncturing rate: defaulting to 1/2.\n"},
        {{"-b", "5"}, "Invalid channel spacing: defaulting to 8 MHz.\n"},
        {{"-c", "xyz"}, "Invalid interleaver initialization: defaulting to rand"},
        {{"-f", "bbif"}, "Invalid frequency mapping: keeping zero IF.\n"},
        {{"-x"}, "Unknown argument -x.\n"},
        {{"-M16"}, "Unknown argument -M16.\n"},
        {{"-M", "4", "5"}, "Unknown argument 5.\n"},
        {{"--help"}, "Unknown argument --help.\n"},
    };
    for (const Case& test : cases) {
        ParseResult result = parse(test.arguments);
        EXPECT_EQ(result.console, test.message) << test.arguments[0];
        EXPECT_EQ(result.config.constellation, kQpsk);
        EXPECT_EQ(result.config.hierarchy, kNonHierarchical);
        EXPECT_EQ(result.config.guard_interval, kGuard1_32);
        EXPECT_EQ(result.config.code_rate, kRate1_2);
        EXPECT_EQ(result.config.channel_spacing, kSpacing8MHz);
        EXPECT_EQ(result.config.interleaver_init, kInitRand);
        EXPECT_EQ(result.config.frequency_mapping, kZeroIf);
    }
}

TEST(CommandLine, InterleaverMessageLeavesTheLineOpen) {
    EXPECT_EQ(parse({"-c", "xyz", "-q"}).console,
              "Invalid interleaver initialization: defaulting to randUnknown argument -q.\n");
}

// Decision: an unrecognised value after a recognised one puts the field back
// to the default the message names.
TEST(CommandLine, UnrecognisedValueAfterRecognisedReturnsToDefault) {
    ParseResult result =
        parse({"-M", "16",  "-M", "32", "-a", "2", "-a", "3", "-D", "1/4", "-D", "x",
               "-p", "3/4", "-p", "x",  "-b", "6", "-b", "x", "-c", "0",   "-c", "x"});
    EXPECT_EQ(result.config.constellation, kQpsk);
    EXPECT_EQ(result.config.hierarchy, kNonHierarchical);
    EXPECT_EQ(result.config.guard_interval, kGuard1_32);
    EXPECT_EQ(result.config.code_rate, kRate1_2);
    EXPECT_EQ(result.config.channel_spacing, kSpacing8MHz);
    EXPECT_EQ(result.config.interleaver_init, kInitRand);
    EXPECT_EQ(result.console,
              "Invalid constellation order: defaulting to 4QAM.\n"
              "Invalid hierarchy order: defaulting to NH.\n"
              "Invalid prefix duration: defaulting to 1/32.\n"
              "Invalid puncturing rate: defaulting to 1/2.\n"
              "Invalid channel spacing: defaulting to 8 MHz.\n"
              "Invalid interleaver initialization: defaulting to rand");
    // The last recognised value wins.
    EXPECT_EQ(parse({"-M", "16", "-M", "64"}).config.constellation, kQam64);
}

// Decision: an option that needs a value, given last, is handled like an
// unrecognised value.
TEST(CommandLine, MissingValueIsLikeAnUnrecognisedOne) {
    EXPECT_EQ(parse({"-M", "16", "-M"}).config.constellation, kQpsk);
    EXPECT_EQ(parse({"-M"}).console, "Invalid constellation order: defaulting to 4QAM.\n");
    EXPECT_EQ(parse({"-a"}).console, "Invalid hierarchy order: defaulting to NH.\n");
    EXPECT_EQ(parse({"-D"}).console, "Invalid prefix duration: defaulting to 1/32.\n");
    EXPECT_EQ(parse({"-p"}).console, "Invalid puncturing rate: defaulting to 1/2.\n");
    EXPECT_EQ(parse({"-b"}).console, "Invalid channel spacing: defaulting to 8 MHz.\n");
    EXPECT_EQ(parse({"-c"}).console, "Invalid interleaver initialization: defaulting to rand");

    // -f keeps its setting and says which.
    ParseResult mapping = parse({"-f", "BBIF", "-f"});
    EXPECT_EQ(mapping.config.frequency_mapping, kBasebandIf);
    EXPECT_EQ(mapping.console, "Invalid frequency mapping: keeping BB IF.\n");
    mapping = parse({"-f", "BBIF", "-f", "0x"});
    EXPECT_EQ(mapping.config.frequency_mapping, kBasebandIf);
    EXPECT_EQ(mapping.console, "Invalid frequency mapping: keeping BB IF.\n");

    // -d and -F set nothing, silently.
    ParseResult dumps = parse({"-d", "t", "-F", "agi", "-d"});
    EXPECT_EQ(dumps.console, "");
    EXPECT_EQ(dumps.config.dac_format, kFormatAgilent);
    for (int stage = 0; stage < kDumpStageCount; ++stage) {
        EXPECT_EQ(dumps.config.dump[stage], stage == kDumpPostIfft);
    }
    dumps = parse({"-F", "2x", "-F"});
    EXPECT_EQ(dumps.console, "");
    EXPECT_EQ(dumps.config.dac_format, kFormatInterpolated2x);
}

// -F takes the values as the help text spells them ("HP") as well as the
// lower-case "hp"; any other value is named, and the format stays as it was.
TEST(CommandLine, DacFormatSpellingsAndUnrecognisedValues) {
    struct Case {
        std::vector<std::string> arguments;
        DacFormat format;
        std::string console;
    };
    const Case cases[] = {
        {{"-F", "HP"}, kFormatHp, ""},
        {{"-F", "hp"}, kFormatHp, ""},
        {{"-F", "agi"}, kFormatAgilent, ""},
        {{"-F", "2x"}, kFormatInterpolated2x, ""},
        {{"-F", "4x"}, kFormatInterpolated4x, ""},
        {{"-F", "xyz"}, kFormatStandard, "Invalid post-IFFT format \"xyz\": keeping standard.\n"},
        {{"-F", ""}, kFormatStandard, "Invalid post-IFFT format \"\": keeping standard.\n"},
        {{"-F", "agi", "-F", "AGI"},
         kFormatAgilent,
         "Invalid post-IFFT format \"AGI\": keeping agi.\n"},
        {{"-F", "HP", "-F", "Hp"}, kFormatHp, "Invalid post-IFFT format \"Hp\": keeping HP.\n"},
        {{"-F", "4x", "-F", "4X"},
         kFormatInterpolated4x,
         "Invalid post-IFFT format \"4X\": keeping 4x.\n"},
        {{"-F", "2x", "-F", "2x "},
         kFormatInterpolated2x,
         "Invalid post-IFFT format \"2x \": keeping 2x.\n"},
    };
    for (const Case& test : cases) {
        ParseResult result = parse(test.arguments);
        EXPECT_EQ(result.config.dac_format, test.format) << test.arguments.back();
        EXPECT_EQ(result.console, test.console) << test.arguments.back();
    }
}

// Characters of a -d value that are no dump letter are named once each, in
// the order they first appear; the letters of the value still count.
TEST(CommandLine, UnrecognisedDumpLettersAreNamed) {
    struct Case {
        std::vector<std::string> arguments;
        std::string selected;
        std::string console;
    };
    const Case cases[] = {
        {{"-d", "tx"}, "t", "Invalid dump level \"tx\": ignoring x.\n"},
        {{"-d", "xyz"}, "", "Invalid dump level \"xyz\": ignoring xyz.\n"},
        {{"-d", "T"}, "", "Invalid dump level \"T\": ignoring T.\n"},
        {{"-d", "XYZ-+ttt"}, "t", "Invalid dump level \"XYZ-+ttt\": ignoring XYZ-+.\n"},
        {{"-d", "e r e"}, "er", "Invalid dump level \"e r e\": ignoring  .\n"},
        {{"-d", "m", "-d", "q-m-q"}, "m", "Invalid dump level \"q-m-q\": ignoring q-.\n"},
        {{"-d", "ercvpbsmft"}, "ercvpbsmft", ""},
        {{"-d", ""}, "", ""},
    };
    for (const Case& test : cases) {
        ParseResult result = parse(test.arguments);
        for (int stage = 0; stage < kDumpStageCount; ++stage) {
            EXPECT_EQ(result.config.dump[stage],
                      test.selected.find(kDumpLetters[stage]) != std::string::npos)
                << test.arguments.back() << " " << kDumpLetters[stage];
        }
        EXPECT_EQ(result.console, test.console) << test.arguments.back();
    }
}

TEST(CommandLine, PathsTakeAnyNextArgument) {
    ParseResult result = parse({"-o", "-i", "-l", "-M"});
    EXPECT_EQ(result.console, "");
    EXPECT_EQ(result.config.output_path, "-i");
    EXPECT_EQ(result.config.log_path, "-M");
    EXPECT_FALSE(result.config.input_path);
}

TEST(CommandLine, PathGivenLastBecomesUnset) {
    ParseResult result = parse({"-i", "a", "-o", "b", "-l", "c", "-o"});
    EXPECT_EQ(result.console, "");
    EXPECT_EQ(result.config.input_path, "a");
    EXPECT_FALSE(result.config.output_path);
    EXPECT_EQ(result.config.log_path, "c");
    EXPECT_FALSE(parse({"-i", "a", "-i"}).config.input_path);
    EXPECT_FALSE(parse({"-l", "a", "-l"}).config.log_path);
}

TEST(CommandLine, Verbosity) {
    const std::string invalid = "Invalid verbosity level: defaulting to 4.\n";
    struct Case {
        std::vector<std::string> arguments;
        int verbosity;
        std::string console;
    };
    const Case cases[] = {
        {{"-v", "0"}, 0, ""},
        {{"-v", "3"}, 3, ""},
        {{"-v", "x"}, 0, ""},
        {{"-v", "3k"}, 3, ""},
        {{"-v", " \t+2"}, 2, ""},
        {{"-v", "-0"}, 0, ""},
        {{"-v", "9"}, 4, invalid},
        {{"-v", "-1"}, 4, invalid},
        {{"-v", "99999999999999999999999"}, 4, invalid},
        {{"-v", "-99999999999999999999999"}, 4, invalid},
        {{"-v", "4294967297"}, 4, invalid},
        {{"-v", "1", "-v"}, 4, "No verbosity level given.\n" + invalid},
    };
    for (const Case& test : cases) {
        ParseResult result = parse(test.arguments);
        EXPECT_EQ(result.config.verbosity, test.verbosity) << test.arguments[1];
        EXPECT_EQ(result.console, test.console) << test.arguments[1];
    }
}

TEST(CommandLine, DumpLettersAccumulate) {
    TxConfig config = parse({"-d", "tm", "-d", "e"}).config;
    for (int stage = 0; stage < kDumpStageCount; ++stage) {
        bool expected =
            stage == kDumpPostIfft || stage == kDumpMapper || stage == kDumpEnergyDispersal;
        EXPECT_EQ(config.dump[stage], expected) << kDumpLetters[stage];
    }
    config = parse({"-d", "tfmsbpvcre"}).config;
    for (bool flag : config.dump) EXPECT_TRUE(flag);
    config = parse({"-d", "XYZ-+ttt"}).config;
    EXPECT_TRUE(config.dump[kDumpPostIfft]);
    EXPECT_FALSE(config.dump[kDumpEnergyDispersal]);
}

// Values of any length are handled (they once lived in 20-byte buffers).
TEST(CommandLine, VeryLongValues) {
    std::string long_dump(100000, 'x');
    long_dump.back() = 'e';
    long_dump[50000] = 't';
    const std::string long_format(5000, 'a');
    ParseResult result = parse({"-d", long_dump, "-F", long_format});
    EXPECT_EQ(result.console, "Invalid dump level \"" + long_dump + "\": ignoring x.\n" +
                                  "Invalid post-IFFT format \"" + long_format +
                                  "\": keeping standard.\n");
    EXPECT_TRUE(result.config.dump[kDumpEnergyDispersal]);
    EXPECT_TRUE(result.config.dump[kDumpPostIfft]);
    EXPECT_FALSE(result.config.dump[kDumpMapper]);
    EXPECT_EQ(result.config.dac_format, kFormatStandard);

    std::string long_name(4096, 'n');
    EXPECT_EQ(parse({"-o", long_name}).config.output_path, long_name);
    std::string long_unknown(3000, 'u');
    EXPECT_EQ(parse({long_unknown}).console, "Unknown argument " + long_unknown + ".\n");
}

TEST(CommandLine, HelpAndVersionOnlySetFlags) {
    ParseResult result = parse({"-h", "-x", "-V"});
    EXPECT_TRUE(result.config.show_help);
    EXPECT_TRUE(result.config.show_version);
    EXPECT_EQ(result.console, "Unknown argument -x.\n");
}

std::string help_or_version_text(const TxConfig& config, int verbosity, bool* reported) {
    Log log(verbosity, nullptr);
    std::string text;
    log.capture_to(&text);
    *reported = report_help_or_version(config, log);
    return text;
}

TEST(HelpAndVersion, ExactTexts) {
    bool reported = false;
    TxConfig config;
    EXPECT_EQ(help_or_version_text(config, 4, &reported), "");
    EXPECT_FALSE(reported);

    config.show_version = true;
    EXPECT_EQ(help_or_version_text(config, 4, &reported), kExpectedBanner);
    EXPECT_TRUE(reported);

    config.show_help = true;
    EXPECT_EQ(help_or_version_text(config, 4, &reported),
              std::string(kExpectedBanner) + kExpectedHelp);
    config.show_version = false;
    // Level 0: printed whatever the verbosity.
    EXPECT_EQ(help_or_version_text(config, 0, &reported),
              std::string(kExpectedBanner) + kExpectedHelp);
    EXPECT_TRUE(reported);
}

}  // namespace
}  // namespace terramod

namespace terramod {
namespace {

// --window takes a whole number of samples; anything else is -1, refused at
// start-up with the limits (which depend on the guard interval).
TEST(CommandLine, PreciseAndWindowLength) {
    struct Case {
        std::vector<std::string> arguments;
        bool precise;
        int32_t window_length;
    };
    const Case cases[] = {
        {{}, false, 0},
        {{"--precise"}, true, 0},
        {{"--window", "16"}, false, 16},
        {{"--window", "0", "--precise"}, true, 0},
        {{"--window", "512"}, false, 512},
        {{"--window", "-4"}, false, -1},
        {{"--window", "8.5"}, false, -1},
        {{"--window", "abc"}, false, -1},
        {{"--window", ""}, false, -1},
        {{"--window", "99999999999"}, false, -1},
        {{"--window"}, false, -1},
    };
    for (const Case& c : cases) {
        const ParseResult result = parse(c.arguments);
        EXPECT_EQ(result.console, "");
        EXPECT_EQ(result.config.arithmetic == Arithmetic::kPrecise, c.precise);
        EXPECT_EQ(result.config.window_length, c.window_length)
            << (c.arguments.empty() ? "" : c.arguments.back());
    }
}

// --arithmetic takes exact, fast or precise as written; --precise is the
// same setting, so the last of the two counts. Anything else is exact, and
// said so.
TEST(CommandLine, Arithmetic) {
    const char* const kRange = "  --arithmetic takes exact, fast or precise.\n";
    struct Case {
        std::vector<std::string> arguments;
        Arithmetic arithmetic;
        std::string console;
    };
    const Case cases[] = {
        {{}, Arithmetic::kExact, ""},
        {{"--arithmetic", "exact"}, Arithmetic::kExact, ""},
        {{"--arithmetic", "fast"}, Arithmetic::kFast, ""},
        {{"--arithmetic", "precise"}, Arithmetic::kPrecise, ""},
        {{"--precise", "--arithmetic", "fast"}, Arithmetic::kFast, ""},
        {{"--arithmetic", "fast", "--precise"}, Arithmetic::kPrecise, ""},
        {{"--arithmetic", "Fast"},
         Arithmetic::kExact,
         std::string("Invalid arithmetic Fast: exact used.\n") + kRange},
        {{"--arithmetic", "fast", "--arithmetic", "double"},
         Arithmetic::kExact,
         std::string("Invalid arithmetic double: exact used.\n") + kRange},
        {{"--arithmetic"},
         Arithmetic::kExact,
         std::string("Invalid arithmetic (none): exact used.\n") + kRange},
    };
    for (const Case& c : cases) {
        const ParseResult result = parse(c.arguments);
        SCOPED_TRACE(c.arguments.empty() ? "" : c.arguments.back());
        EXPECT_EQ(result.config.arithmetic, c.arithmetic);
        EXPECT_EQ(result.console, c.console);
        EXPECT_EQ(result.config.settings_not_taken.size(), c.console.empty() ? 0u : 1u);
    }
}

}  // namespace
}  // namespace terramod

namespace terramod {
namespace {

// What command_line_refused writes for `arguments` ("" when it lets the run
// go on).
std::string refusal(std::vector<std::string> arguments) {
    const TxConfig config = parse(std::move(arguments)).config;
    char* buffer = nullptr;
    size_t size = 0;
    std::FILE* console = open_memstream(&buffer, &size);
    const bool refused = command_line_refused(config, console);
    std::fclose(console);
    std::string text(buffer, size);
    std::free(buffer);
    EXPECT_EQ(refused, !text.empty()) << text;
    return text;
}

TEST(CommandLineRefusal, UnknownLongOptionsWithTheClosestSuggested) {
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::string unknown = "FATAL ERROR: unknown option ";
    const Case cases[] = {
        {{"--gian", "60", "-M", "65"}, unknown + "--gian (did you mean --gain?)\n"},
        {{"--bandwith", "1e6"}, unknown + "--bandwith (did you mean --bandwidth?)\n"},
        {{"--freq", "474e6"}, unknown + "--freq (did you mean --frequency?)\n"},
        {{"--adapt_rate"}, unknown + "--adapt_rate (did you mean --adapt-rate?)\n"},
        {{"--no-sigfm"}, unknown + "--no-sigfm (did you mean --no-sigmf?)\n"},
        {{"--sampletype", "cs16"}, unknown + "--sampletype (did you mean --sample-type?)\n"},
        {{"--LOOP"}, unknown + "--LOOP (did you mean --loop?)\n"},
        {{"--lp-rates", "1/2"}, unknown + "--lp-rates (did you mean --lp-rate?)\n"},
        {{"--gain=60"}, unknown + "--gain=60 (did you mean --gain 60?)\n"},
        // Of the options a name begins, the one that begins the others.
        {{"--inp", "x"}, unknown + "--inp (did you mean --input?)\n"},
        {{"--chan", "1"}, unknown + "--chan (did you mean --channel?)\n"},
        // --freq begins --freq-offset too: --frequency begins the most others.
        {{"--freq-off", "1"}, unknown + "--freq-off (did you mean --freq-offset?)\n"},
        {{"--echo", "F1"}, unknown + "--echo\n"},
        {{"--phase", "-80@1"}, unknown + "--phase (did you mean --phase-noise?)\n"},
        {{"--iq", "1,1"}, unknown + "--iq\n"},
        {{"--CN", "20"}, unknown + "--CN (did you mean --cn?)\n"},
        {{"--input-b", "1"}, unknown + "--input-b\n"},
        {{"--help"}, unknown + "--help (did you mean -h?)\n"},
        {{"--version"}, unknown + "--version (did you mean -V?)\n"},
        // Nothing close: no suggestion.
        {{"--xyz"}, unknown + "--xyz\n"},
        {{"--lp"}, unknown + "--lp\n"},
        {{"--"}, unknown + "--\n"},
        {{"--frequency-offset", "5"}, unknown + "--frequency-offset\n"},
        // Every one is named, in order.
        {{"--loop", "--gian", "1", "--thread", "2"},
         unknown + "--gian (did you mean --gain?)\n" + unknown +
             "--thread (did you mean --threads?)\n"},
        // Single-letter arguments and values keep their original handling.
        {{"-gain", "60", "-x", "-M", "65"}, ""},
        {{"-o", "--out", "--device", "--gian"}, ""},
    };
    for (const Case& test : cases) EXPECT_EQ(refusal(test.arguments), test.message);
}

// Every long option the help text lists is known, and stops the run when it
// is the last argument and its help line names a value; each misspelt by a
// dropped or a swapped letter is suggested.
// The README tells a user about every long option -h lists.
TEST(CommandLineRefusal, EveryLongOptionOfTheHelpTextIsInTheReadme) {
    std::ifstream file(std::string(TERRAMOD_SOURCE_DIR) + "/README.md");
    std::stringstream readme;
    readme << file.rdbuf();
    const std::string help = kExpectedHelp;
    const std::regex line("\n(--[a-z-]+)( [A-Z][A-Z_@,]*)?\t");
    int options = 0;
    for (std::sregex_iterator match(help.begin(), help.end(), line), end; match != end; ++match) {
        ++options;
        std::string quoted = "`";
        quoted += (*match)[1].str();
        EXPECT_NE(readme.str().find(quoted), std::string::npos)
            << quoted << " is not in the README";
    }
    EXPECT_GT(options, 0);
}

TEST(CommandLineRefusal, EveryLongOptionOfTheHelpTextIsKnown) {
    const std::string help = kExpectedHelp;
    const std::regex line("\n(--[a-z-]+)( [A-Z][A-Z_@,]*)?\t");
    int options = 0;
    for (std::sregex_iterator match(help.begin(), help.end(), line), end; match != end; ++match) {
        ++options;
        const std::string name = (*match)[1];
        const bool takes_value = (*match)[2].matched;
        SCOPED_TRACE(name);
        EXPECT_EQ(refusal({name, "1"}), "");
        const std::string missing =
            "FATAL ERROR: " + name + " needs a value: " + name + (*match)[2].str() + "\n";
        EXPECT_EQ(refusal({"-i", "in.ts", name}), takes_value ? missing : "");

        const std::string typed = name.substr(2);
        const size_t middle = typed.size() / 2;
        std::string dropped = typed, swapped = typed;
        dropped.erase(middle, 1);
        // The letter after the middle one, or the two of a two-letter name.
        const size_t swap_at = std::min(middle, typed.size() - 2);
        std::swap(swapped[swap_at], swapped[swap_at + 1]);
        for (const std::string& wrong : {dropped, swapped}) {
            if (wrong == typed) continue;
            EXPECT_EQ(refusal({"--" + wrong}),
                      "FATAL ERROR: unknown option --" + wrong + " (did you mean " + name + "?)\n");
        }
    }
    EXPECT_EQ(options, 59);
}

// Numbers: the whole value, no white space, within the option's range (the
// range in the message); a fallback is recorded.
TEST(CommandLine, LongOptionNumbersInRange) {
    const std::string kPhaseNoiseRange =
        "DBC_PER_HZ@OFFSET_HZ, -200 to 0 dBc/Hz at an offset above 0 Hz (e.g. -80@10000)";
    const std::string kIqRange =
        "GAIN_DB,PHASE_DEG, a gain of -6 to 6 dB and a phase of -45 to 45 degrees (e.g. 0.5,2)";
    const std::string kEchoesRange =
        "DELAY_US:GAIN_DB:PHASE_DEG[:DOPPLER_HZ],... (1 to 32 paths; delay 0 to 1000 us, gain -60 "
        "to 20 dB, Doppler -2000 to 2000 Hz)";
    std::string thirty_three_paths = "0:0:0";
    for (int path = 1; path < 33; ++path)
        thirty_three_paths.append(",").append(std::to_string(path)).append(":-1:0");
    struct Case {
        std::string option;
        std::string value;
        bool accepted;
        std::string range;
    };
    const Case cases[] = {
        {"--bandwidth", "1e5", true, "100000 to 10000000 Hz"},
        {"--bandwidth", "1e7", true, ""},
        {"--bandwidth", "99999", false, "100000 to 10000000 Hz"},
        {"--bandwidth", "1e-300", false, "100000 to 10000000 Hz"},
        {"--bandwidth", "1.00001e7", false, "100000 to 10000000 Hz"},
        {"--bandwidth", " 2e6", false, "100000 to 10000000 Hz"},
        {"--threads", "4", true, ""},
        {"--threads", " 4", false, "a whole number from 1 to 256"},
        {"--threads", "\t4", false, "a whole number from 1 to 256"},
        {"--threads", "4 ", false, "a whole number from 1 to 256"},
        {"--threads", "257", false, "a whole number from 1 to 256"},
        {"--threads", "2.5", false, "a whole number from 1 to 256"},
        {"--channel", "1024", true, ""},
        {"--channel", "-1", false, "a whole number from 0 to 1024"},
        {"--gain", "-200", true, ""},
        {"--gain", " 10", false, "-200 to 200 dB"},
        {"--gain", "200.5", false, "-200 to 200 dB"},
        {"--frequency", "474e6", true, ""},
        {"--frequency", "\n474e6", false, "1 to 1e12 Hz"},
        {"--frequency", "0", false, "1 to 1e12 Hz"},
        {"--frequency", "nan", false, "1 to 1e12 Hz"},
        {"--backoff", "60", true, ""},
        {"--backoff", " 3", false, "0 to 60 dB"},
        {"--backoff", "60.1", false, "0 to 60 dB"},
        {"--tx-id", "0", true, ""},
        {"--tx-id", "65535", true, ""},
        {"--tx-id", "65536", false, "a whole number from 0 to 65535"},
        {"--tx-id", "1.5", false, "a whole number from 0 to 65535"},
        {"--sfn-offset", "-1", true, ""},
        {"--sfn-offset", "0.000125", true, ""},
        {"--sfn-offset", "1.5", false, "seconds from -1 to 1"},
        {"--time-source", "system", true, ""},
        {"--time-source", "fixed:1800000000", true, ""},
        {"--time-source", "fixed:1800000000.25", true, ""},
        {"--time-source", "fixed:-1", false, "system, pps or fixed:UNIX_SECONDS"},
        {"--time-source", "pps", true, ""},
        {"--time-source", "gps", false, "system, pps or fixed:UNIX_SECONDS"},
        {"--mip-loss", "mute", true, ""},
        {"--mip-loss", "stop", true, ""},
        {"--mip-loss", "silence", false, "mute or stop"},
        {"--clock-source", "external", true, ""},
        {"--time-source", "fixed:", false, "system, pps or fixed:UNIX_SECONDS"},
        {"--cell-id", "0", true, ""},
        {"--cell-id", "42", true, ""},
        {"--cell-id", "65535", true, ""},
        {"--cell-id", "0x2A5C", true, ""},
        {"--cell-id", "0x10000", false, "a whole number from 0 to 65535"},
        {"--cell-id", "65536", false, "a whole number from 0 to 65535"},
        {"--cell-id", "-1", false, "a whole number from 0 to 65535"},
        {"--cell-id", "4.5", false, "a whole number from 0 to 65535"},
        {"--cell-id", " 42", false, "a whole number from 0 to 65535"},
        {"--cell-id", "cell", false, "a whole number from 0 to 65535"},
        {"--seed", "0", true, ""},
        {"--seed", "18446744073709551615", true, ""},
        {"--seed", "18446744073709551616", false, "a whole number from 0 to 18446744073709551615"},
        {"--seed", "-1", false, "a whole number from 0 to 18446744073709551615"},
        {"--seed", "1e3", false, "a whole number from 0 to 18446744073709551615"},
        {"--seed", " 5", false, "a whole number from 0 to 18446744073709551615"},
        {"--seed", "", false, "a whole number from 0 to 18446744073709551615"},
        {"--cn", "-10", true, ""},
        {"--cn", "60", true, ""},
        {"--cn", "20.5", true, ""},
        {"--cn", "60.01", false, "-10 to 60 dB"},
        {"--cn", "-11", false, "-10 to 60 dB"},
        {"--cn", "20dB", false, "-10 to 60 dB"},
        {"--cn", "nan", false, "-10 to 60 dB"},
        {"--freq-offset", "-1e6", true, ""},
        {"--freq-offset", "0", true, ""},
        {"--freq-offset", "1e300", true, ""},
        {"--freq-offset", "inf", false,
         "a number of Hz (at most half the output sample rate either way)"},
        {"--freq-offset", "125Hz", false,
         "a number of Hz (at most half the output sample rate either way)"},
        {"--clock-offset", "12.5", true, ""},
        {"--clock-offset", "-1000", true, ""},
        {"--clock-offset", "1e6", true, ""},  // refused at start-up, beyond 1000
        {"--clock-offset", "nan", false, "a number of ppm (at most 1000 either way)"},
        {"--clock-offset", "3ppm", false, "a number of ppm (at most 1000 either way)"},
        {"--clock-offset", "", false, "a number of ppm (at most 1000 either way)"},
        {"--doppler", "0", true, ""},
        {"--doppler", "2000", true, ""},
        {"--doppler", "2000.5", false, "0 to 2000 Hz"},
        {"--doppler", "-1", false, "0 to 2000 Hz"},
        {"--phase-noise", "-80@10000", true, ""},
        {"--phase-noise", "0@1e-3", true, ""},
        {"--phase-noise", "-200@1", true, ""},
        {"--phase-noise", "-80@0", false, kPhaseNoiseRange},
        {"--phase-noise", "-201@100", false, kPhaseNoiseRange},
        {"--phase-noise", "1@100", false, kPhaseNoiseRange},
        {"--phase-noise", "-80", false, kPhaseNoiseRange},
        {"--phase-noise", "-80@100@1", false, kPhaseNoiseRange},
        {"--phase-noise", "-80@inf", false, kPhaseNoiseRange},
        {"--phase-noise", "-80 @100", false, kPhaseNoiseRange},
        {"--iq-imbalance", "0.5,2", true, ""},
        {"--iq-imbalance", "-6,45", true, ""},
        {"--iq-imbalance", "6,-45", true, ""},
        {"--iq-imbalance", "6.1,0", false, kIqRange},
        {"--iq-imbalance", "0,45.5", false, kIqRange},
        {"--iq-imbalance", "0.5", false, kIqRange},
        {"--iq-imbalance", "0.5;2", false, kIqRange},
        {"--iq-imbalance", "0.5,2,1", false, kIqRange},
        {"--echo-profile", "F1", true, ""},
        {"--echo-profile", "P1", true, ""},
        {"--echo-profile", "f1", false, "F1 or P1"},
        {"--echo-profile", "F2", false, "F1 or P1"},
        {"--echoes", "0:0:0", true, ""},
        {"--echoes", "1.5:-3:90,10:-10:0:50", true, ""},
        {"--echoes", "1000:20:-720:-2000", true, ""},
        {"--echoes", "1001:0:0", false, kEchoesRange},
        {"--echoes", "-1:0:0", false, kEchoesRange},
        {"--echoes", "5:21:0", false, kEchoesRange},
        {"--echoes", "5:-61:0", false, kEchoesRange},
        {"--echoes", "5:0:0:2001", false, kEchoesRange},
        {"--echoes", "5:0", false, kEchoesRange},
        {"--echoes", "5:0:0:0:0", false, kEchoesRange},
        {"--echoes", "5:0:0,", false, kEchoesRange},
        {"--echoes", "", false, kEchoesRange},
        {"--echoes", thirty_three_paths, false, kEchoesRange},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.option + " '" + test.value + "'");
        const ParseResult result = parse({test.option, test.value});
        if (test.accepted) {
            EXPECT_EQ(result.console, "");
            EXPECT_TRUE(result.config.settings_not_taken.empty());
            continue;
        }
        EXPECT_TRUE(result.console.ends_with("\n  " + test.option + " takes " + test.range + ".\n"))
            << result.console;
        ASSERT_EQ(result.config.settings_not_taken.size(), 1u);
        EXPECT_EQ(result.config.settings_not_taken[0].find(test.option + " " + test.value + ": " +
                                                           test.range + " expected; "),
                  0u)
            << result.config.settings_not_taken[0];
    }
    // What a refused value leaves: -b, 12 dB, no thread count, unset.
    const TxConfig refused =
        parse({"--bandwidth", "1e-300", "--backoff", " 3", "--threads", " 4", "--gain", " 1"})
            .config;
    EXPECT_FALSE(refused.bandwidth_hz);
    EXPECT_EQ(refused.backoff_db, 12.0);
    EXPECT_EQ(refused.threads, 0);
    EXPECT_FALSE(refused.gain_db);
    EXPECT_EQ(parse({"--window", " 4"}).config.window_length, -1);
}

// The channel simulator's options: each stores its impairment, none is
// asked without them, and a refused value asks for nothing (the seed falls
// back to 1).
TEST(CommandLine, ChannelSimulationSettings) {
    struct Case {
        std::vector<std::string> arguments;
        std::function<void(ChannelSettings&)> expected;  // from the defaults
    };
    const Case cases[] = {
        {{}, [](ChannelSettings&) {}},
        {{"--seed", "18446744073709551615"},
         [](ChannelSettings& s) { s.seed = 18446744073709551615ull; }},
        {{"--seed", "0", "--cn", "20"},
         [](ChannelSettings& s) {
             s.seed = 0;
             s.cn_db = 20;
         }},
        {{"--seed", "7", "--seed", "x"}, [](ChannelSettings&) {}},
        {{"--cn", "20", "--cn", "61"}, [](ChannelSettings&) {}},
        {{"--freq-offset", "-125.5"}, [](ChannelSettings& s) { s.frequency_offset_hz = -125.5; }},
        {{"--phase-noise", "-80@1e4"},
         [](ChannelSettings& s) {
             s.phase_noise = PhaseNoiseSpec{-80, 10000};
         }},
        {{"--phase-noise", "-80@1e4", "--phase-noise", "-80"}, [](ChannelSettings&) {}},
        {{"--iq-imbalance", "-0.5,3"},
         [](ChannelSettings& s) {
             s.iq_imbalance = IqImbalanceSpec{-0.5, 3};
         }},
        {{"--echo-profile", "P1", "--doppler", "70"},
         [](ChannelSettings& s) {
             s.echo_profile = EchoProfile::kPortableP1;
             s.doppler_hz = 70;
         }},
        {{"--echo-profile", "F1", "--echo-profile", "X"}, [](ChannelSettings&) {}},
        {{"--echoes", "0:0:0,2.5:-6:180:-15"},
         [](ChannelSettings& s) {
             s.echoes = {{0, 0, 0, 0}, {2.5, -6, 180, -15}};
         }},
        {{"--echoes", "1:0:0", "--echoes", "1:0"}, [](ChannelSettings&) {}},
        {{"--clock-offset", "-3"}, [](ChannelSettings& s) { s.clock_offset_ppm = -3; }},
        {{"--clock-offset", "12.5", "--clock-offset", "x"}, [](ChannelSettings&) {}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.arguments.empty() ? "none" : test.arguments[0] + " " + test.arguments[1]);
        ChannelSettings expected;
        test.expected(expected);
        const TxConfig config = parse(test.arguments).config;
        EXPECT_TRUE(config.channel_simulation == expected);
        EXPECT_EQ(config.channel_simulation.any(),
                  expected.cn_db || expected.frequency_offset_hz || expected.phase_noise ||
                      expected.iq_imbalance || expected.echo_profile != EchoProfile::kNone ||
                      !expected.echoes.empty() || expected.clock_offset_ppm);
    }
    EXPECT_EQ(parse({"--seed", "-3"}).console,
              "Invalid seed -3: using 1.\n  --seed takes a whole number from 0 to "
              "18446744073709551615.\n");
    EXPECT_EQ(parse({"--phase-noise", "-80"}).console,
              "Invalid phase noise -80: ignored.\n  --phase-noise takes DBC_PER_HZ@OFFSET_HZ, -200 "
              "to 0 dBc/Hz at an offset above 0 Hz (e.g. -80@10000).\n");
    const TxConfig refused = parse({"--seed", "x"}).config;
    ASSERT_EQ(refused.settings_not_taken.size(), 1u);
    EXPECT_EQ(refused.settings_not_taken[0],
              "--seed x: a whole number from 0 to 18446744073709551615 expected; 1 used");
}

// --cell-id: the value taken as the 16-bit identifier; none without the
// option or after a refused value (the TPS then stay those of V1.1.2).
TEST(CommandLine, CellIdentifier) {
    struct Case {
        std::vector<std::string> arguments;
        std::optional<uint16_t> cell_id;
    };
    const Case cases[] = {
        {{}, std::nullopt},
        {{"--cell-id", "0"}, uint16_t{0}},
        {{"--cell-id", "42"}, uint16_t{42}},
        {{"--cell-id", "1e3"}, uint16_t{1000}},
        {{"--cell-id", "0x2A5C"}, uint16_t{0x2A5C}},
        {{"--cell-id", "65535"}, uint16_t{65535}},
        {{"--cell-id", "65536"}, std::nullopt},
        {{"--cell-id", "12", "--cell-id", "x"}, std::nullopt},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.arguments.empty() ? "none" : test.arguments.back());
        const TxConfig config = parse(test.arguments).config;
        EXPECT_EQ(config.cell_id, test.cell_id);
        EXPECT_EQ(dvbt_settings(config).cell_id, test.cell_id);
    }
    EXPECT_EQ(parse({"--cell-id", "70000"}).console,
              "Invalid cell id 70000: ignored.\n  --cell-id takes a whole number from 0 to "
              "65535.\n");
    const TxConfig refused = parse({"--cell-id", "70000"}).config;
    ASSERT_EQ(refused.settings_not_taken.size(), 1u);
    EXPECT_EQ(refused.settings_not_taken[0],
              "--cell-id 70000: a whole number from 0 to 65535 expected; ignored");
}

// What a device run refuses: every unknown argument and every value that
// fell back to a default or was ignored, with what was used instead.
TEST(CommandLine, SettingsNotTakenAreRecorded) {
    struct Case {
        std::vector<std::string> arguments;
        std::vector<std::string> recorded;
    };
    const Case cases[] = {
        {{"-i",   "in.ts",     "-8k", "-M",     "64", "-a",       "4", "-D",
          "1/4",  "-p",        "7/8", "-b",     "6",  "-c",       "0", "-f",
          "BBIF", "-F",        "4x",  "-v",     "2",  "-d",       "t", "--sample-type",
          "cs16", "--backoff", "3",   "--gain", "0",  "--lenient"},
         {}},
        {{"-M", "65", "-x", "5"},
         {"-M 65: one of 4, 16, 64 expected; 4QAM used", "unknown argument -x",
          "unknown argument 5"}},
        {{"-a", "3", "-D"},
         {"-a 3: one of NH, 1, 2, 4 expected; NH used",
          "-D without a value: one of 1/4, 1/8, 1/16, 1/32 expected; 1/32 used"}},
        {{"-p", "1/3", "-b", "5", "-c", "x"},
         {"-p 1/3: one of 1/2, 2/3, 3/4, 5/6, 7/8 expected; 1/2 used",
          "-b 5: one of 6, 7, 8 expected; 8 MHz used", "-c x: one of 0, rand expected; rand used"}},
        {{"-f", "474e6"},
         {"-f 474e6: one of 0, BBIF expected; zero IF kept (the centre frequency is --frequency "
          "474e6)"}},
        {{"-f", "BBIF", "-f", "bbif"}, {"-f bbif: one of 0, BBIF expected; BB IF kept"}},
        {{"-v", "9"}, {"-v 9: 0 to 4 expected; 4 used"}},
        {{"-v", "3k"}, {"-v 3k: read as 3"}},
        {{"-d", "tq", "-d"},
         {"-d tq: letters of ercvpbsmft expected; \"q\" ignored", "-d without a value: ignored"}},
        {{"-F", "xyz", "-F"},
         {"-F xyz: one of agi, HP, 2x, 4x expected; standard kept", "-F without a value: ignored"}},
        {{"--sample-type", "s12", "--lp-rate", "4/5"},
         {"--sample-type s12: one of cf32, cs16, cs8 expected; cf32 used",
          "--lp-rate 4/5: one of 1/2, 2/3, 3/4, 5/6, 7/8 expected; 1/2 used"}},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(parse(test.arguments).config.settings_not_taken, test.recorded)
            << test.arguments[0];
    }
}

TEST(CommandLine, DeviceRunRefusesSettingsNotTakenUnlessLenient) {
    struct Case {
        std::vector<std::string> arguments;
        bool goes_on;
        std::string text;
    };
    const std::string fatal =
        "FATAL ERROR: --device transmits only settings taken as given (--lenient transmits "
        "anyway):\n";
    const std::string warning =
        "WARNING: --lenient: transmitting although settings were not taken as given:\n";
    const Case cases[] = {
        {{"--device", "driver=x", "--frequency", "474e6"}, true, ""},
        {{"-M", "65", "-x"}, true, ""},
        {{"-M", "65", "-x", "--lenient"}, true, ""},
        {{"--device", "driver=x", "-M", "65", "-x"},
         false,
         fatal + "  -M 65: one of 4, 16, 64 expected; 4QAM used\n  unknown argument -x\n"},
        {{"--lenient", "--device", "driver=x", "--gain", "x"},
         true,
         warning + "  --gain x: -200 to 200 dB expected; ignored\n"},
    };
    for (const Case& test : cases) {
        const TxConfig config = parse(test.arguments).config;
        Log log(0, nullptr);
        std::string text;
        log.capture_to(&text);
        EXPECT_EQ(device_run_settings_taken(config, log), test.goes_on) << test.arguments[0];
        EXPECT_EQ(text, test.text);
    }
}

}  // namespace
}  // namespace terramod

namespace terramod {
namespace {

// The long names of the single-letter settings take the same values with
// the same messages; what they do not take is recorded under the long name.
TEST(CommandLine, LongNamesOfTheLettersActAsTheLetters) {
    struct Case {
        std::vector<std::string> letter;
        std::vector<std::string> long_form;
    };
    const Case cases[] = {
        {{"-i", "in.ts"}, {"--input", "in.ts"}},
        {{"-o", "out"}, {"--output", "out"}},
        {{"-l", "a.log"}, {"--log", "a.log"}},
        {{"-8k"}, {"--mode", "8k"}},
        {{"-8k", "-2k"}, {"--mode", "8k", "--mode", "2k"}},
        {{"-M", "16", "-M", "65"}, {"--constellation", "16", "--constellation", "65"}},
        {{"-a", "3"}, {"--alpha", "3"}},
        {{"-D", "1/64"}, {"--guard", "1/64"}},
        {{"-p", "1/3"}, {"--code-rate", "1/3"}},
        {{"-b", "5"}, {"--channel-spacing", "5"}},
        {{"-c", "0"}, {"--interleaver-init", "0"}},
        {{"-c", "xyz"}, {"--interleaver-init", "xyz"}},
        {{"-f", "BBIF"}, {"--frequency-mapping", "BBIF"}},
        {{"-f", "BBIF", "-f", "474e6"},
         {"--frequency-mapping", "BBIF", "--frequency-mapping", "474e6"}},
        {{"-v", "9"}, {"--verbosity", "9"}},
        {{"-v", "3k"}, {"--verbosity", "3k"}},
        {{"-d", "tm", "-d", "e"}, {"--dump", "tm", "--dump", "e"}},
        {{"-d", "tq"}, {"--dump", "tq"}},
        {{"-F", "agi", "-F", "xyz"}, {"--format", "agi", "--format", "xyz"}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.long_form[0] + " " + test.long_form.back());
        const ParseResult letter = parse(test.letter);
        ParseResult long_form = parse(test.long_form);
        EXPECT_EQ(long_form.console, letter.console);
        std::vector<std::string> recorded = letter.config.settings_not_taken;
        for (std::string& entry : recorded)
            entry.replace(0, test.letter[0].size(), test.long_form[0]);
        EXPECT_EQ(long_form.config.settings_not_taken, recorded);
        long_form.config.settings_not_taken = letter.config.settings_not_taken;
        EXPECT_TRUE(long_form.config == letter.config);
        EXPECT_EQ(long_form.config.command_line_settings,
                  std::vector<std::string>(test.long_form.size() / 2, test.long_form[0]));
    }
}

// --mode takes what -2k and -8k set; another value keeps the mode.
TEST(CommandLine, ModeKeepsTheModeOnAnInvalidValue) {
    struct Case {
        std::vector<std::string> arguments;
        OfdmMode mode;
        std::string console;
        std::vector<std::string> recorded;
    };
    const Case cases[] = {
        {{"--mode", "8k"}, kMode8k, "", {}},
        {{"--mode", "4k"},
         kMode2k,
         "Invalid mode 4k: keeping 2k.\n",
         {"--mode 4k: one of 2k, 8k expected; 2k kept"}},
        {{"-8k", "--mode", "8K"},
         kMode8k,
         "Invalid mode 8K: keeping 8k.\n",
         {"--mode 8K: one of 2k, 8k expected; 8k kept"}},
    };
    for (const Case& test : cases) {
        const ParseResult result = parse(test.arguments);
        EXPECT_EQ(result.config.mode, test.mode);
        EXPECT_EQ(result.console, test.console);
        EXPECT_EQ(result.config.settings_not_taken, test.recorded);
    }
}

// Bytes, or k, M, G as 1024, 1024^2, 1024^3 (either case), from 64 KiB to
// 1 TiB; anything else is ignored with a message, and recorded (a device run
// refuses it unless --lenient).
TEST(LogMaxSizeOption, Values) {
    struct Case {
        const char* value;
        std::optional<uint64_t> bytes;
    };
    const Case cases[] = {
        {"65536", 65536},
        {"64k", 65536},
        {"64K", 65536},
        {"100000", 100000},
        {"1M", 1048576},
        {"10m", 10485760},
        {"1G", 1073741824},
        {"2g", 2147483648},
        {"1024G", 1099511627776},
        {"1048576M", 1099511627776},
        {"1099511627776", 1099511627776},
        {"1099511627777", std::nullopt},
        {"1025G", std::nullopt},
        {"65535", std::nullopt},
        {"63k", std::nullopt},
        {"0", std::nullopt},
        {"", std::nullopt},
        {"k", std::nullopt},
        {"10kb", std::nullopt},
        {"10KiB", std::nullopt},
        {"10T", std::nullopt},
        {" 64k", std::nullopt},
        {"64k ", std::nullopt},
        {"-64k", std::nullopt},
        {"+64k", std::nullopt},
        {"1.5M", std::nullopt},
        {"1e6", std::nullopt},
        {"99999999999999999999999", std::nullopt},
        {"99999999999999999999999k", std::nullopt},
    };
    const std::string range = "64k to 1024G bytes (k = 1024, M = 1024k, G = 1024M)";
    for (const Case& test : cases) {
        SCOPED_TRACE(test.value);
        const ParseResult result = parse({"-i", "in.ts", "--log-max-size", test.value});
        EXPECT_EQ(result.config.log_max_size, test.bytes);
        if (test.bytes) {
            EXPECT_EQ(result.console, "");
            EXPECT_TRUE(result.config.settings_not_taken.empty());
            continue;
        }
        EXPECT_EQ(result.console, "Invalid log size " + std::string(test.value) +
                                      ": ignored.\n  --log-max-size takes " + range + ".\n");
        ASSERT_EQ(result.config.settings_not_taken.size(), 1u);
        EXPECT_EQ(result.config.settings_not_taken[0], "--log-max-size " + std::string(test.value) +
                                                           ": " + range + " expected; ignored");
    }
    EXPECT_FALSE(parse({"-i", "in.ts"}).config.log_max_size);
}

}  // namespace
}  // namespace terramod
