#include "tx/config.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
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
        EXPECT_EQ(result.config.precise, c.precise);
        EXPECT_EQ(result.config.window_length, c.window_length)
            << (c.arguments.empty() ? "" : c.arguments.back());
    }
}

}  // namespace
}  // namespace terramod
