// The configuration file of --config: keys, precedence of the command line,
// and the errors with file and line.
#include "tx/config_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "tx/config.h"

namespace terramod {
namespace {

// The command line `arguments` (the program name added), its messages
// dropped.
TxConfig command_line(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "terramod");
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    TxConfig config;
    set_defaults(config);
    parse_command_line(config, static_cast<int>(arguments.size()), argv.data(), nullptr);
    return config;
}

struct FileResult {
    TxConfig config;
    std::vector<std::string> errors;
};

// The command line `arguments`, then the file `text` named site.toml.
FileResult with_file(const std::string& text, std::vector<std::string> arguments = {}) {
    FileResult result{command_line(std::move(arguments)), {}};
    result.errors = take_config_text(result.config, text, "site.toml");
    return result;
}

#ifdef TERRAMOD_HAVE_TOML

// The settings alone, without the record of what the command line gave.
TxConfig settings(TxConfig config) {
    config.command_line_settings.clear();
    return config;
}

// Several keys in one file, numbers written as strings and whole numbers as
// floats take what the same command line takes (each key alone:
// EveryLongOptionIsAKey).
TEST(ConfigFile, KeysSetWhatTheirOptionsSet) {
    struct Case {
        std::string text;
        std::vector<std::string> arguments;
    };
    const Case cases[] = {
        {"mode = \"8k\"\nconstellation = 64\ncode-rate = \"7/8\"\nguard = \"1/4\"",
         {"-8k", "-M", "64", "-p", "7/8", "-D", "1/4"}},
        {"realtime = true\nloop = true\nno-sigmf = true\nadapt-rate = false\nprecise = false",
         {"--realtime", "--loop", "--no-sigmf"}},
        {"frequency = \"474e6\"\nconstellation = \"16\"\nbandwidth = 1700000\nthreads = 2.0",
         {"--frequency", "474e6", "-M", "16", "--bandwidth", "1.7e6", "--threads", "2"}},
        {"cell-id = 42", {"--cell-id", "42"}},
        {"cell-id = \"0x2A5C\"", {"--cell-id", "10844"}},
        {"# nothing but a comment\n", {}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.text);
        const FileResult file = with_file(test.text);
        EXPECT_EQ(file.errors, std::vector<std::string>{});
        const TxConfig expected = command_line(test.arguments);
        EXPECT_TRUE(expected.settings_not_taken.empty());
        EXPECT_TRUE(settings(file.config) == settings(expected));
    }
    // A few of them read back by hand.
    const TxConfig device = with_file("frequency = 474e6\ngain = -10.5\nmode = \"8k\"").config;
    EXPECT_EQ(device.frequency_hz, 474e6);
    EXPECT_EQ(device.gain_db, -10.5);
    EXPECT_EQ(device.mode, kMode8k);
}

// A setting the command line gives keeps its value, however the file sets
// it; the file's other settings still count.
TEST(ConfigFile, TheCommandLineOverridesTheFile) {
    struct Case {
        std::vector<std::string> arguments;
        std::string text;  // the same settings, other values
    };
    const Case cases[] = {
        {{"-i", "a.ts"}, "input = \"b.ts\""},
        {{"-o", "a"}, "output = \"b\""},
        {{"-l", "a.log"}, "log = \"b.log\""},
        {{"-8k"}, "mode = \"2k\""},
        {{"--mode", "8k"}, "mode = \"2k\""},
        {{"-M", "16"}, "constellation = 64"},
        {{"-a", "2"}, "alpha = 4"},
        {{"-D", "1/4"}, "guard = \"1/8\""},
        {{"-p", "3/4"}, "code-rate = \"7/8\""},
        {{"-b", "6"}, "channel-spacing = 7"},
        {{"-c", "0"}, "interleaver-init = \"rand\""},
        {{"-f", "BBIF"}, "frequency-mapping = 0"},
        {{"-v", "1"}, "verbosity = 3"},
        {{"-d", "t"}, "dump = \"e\""},  // replaced, not added to
        {{"-F", "2x"}, "format = \"4x\""},
        {{"--gain", "5"}, "gain = 7"},
        {{"--realtime"}, "realtime = false"},
        // --precise and --arithmetic set the same thing.
        {{"--precise"}, "arithmetic = \"fast\""},
        {{"--arithmetic", "fast"}, "precise = true"},
        {{"--arithmetic", "exact"}, "arithmetic = \"fast\"\nprecise = true"},
        // A command line value that fell back still wins.
        {{"-M", "65"}, "constellation = 64"},
        {{"-o"}, "output = \"b\""},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.text);
        const FileResult file = with_file(test.text, test.arguments);
        EXPECT_EQ(file.errors, std::vector<std::string>{});
        EXPECT_TRUE(settings(file.config) == settings(command_line(test.arguments)));
    }

    const FileResult mixed = with_file("constellation = 64\ngain = 7\nrealtime = true\n",
                                       {"-M", "16", "--config", "site.toml"});
    EXPECT_EQ(mixed.config.constellation, kQam16);
    EXPECT_EQ(mixed.config.gain_db, 7.0);
    EXPECT_TRUE(mixed.config.realtime);
    EXPECT_EQ(mixed.config.config_path, "site.toml");
    // An overridden key is still checked.
    EXPECT_EQ(
        with_file("constellation = 32", {"-M", "16"}).errors,
        std::vector<std::string>{"site.toml:1: constellation = 32: one of 4, 16, 64 expected"});
}

TEST(ConfigFile, TheCommandLineRecordsTheSettingsItGives) {
    EXPECT_EQ(
        command_line({"-M", "16", "--gain", "1", "-x", "-8k", "-h", "--realtime", "-d"})
            .command_line_settings,
        (std::vector<std::string>{"--constellation", "--gain", "--mode", "--realtime", "--dump"}));
    EXPECT_EQ(command_line({"-v", "2", "--config", "a.toml", "--verbosity", "3"}).config_path,
              "a.toml");
}

TEST(ConfigFile, ErrorsNameTheFileAndLine) {
    struct Case {
        std::string text;
        std::vector<std::string> errors;
    };
    const Case cases[] = {
        {"gian = 60", {"site.toml:1: unknown key \"gian\" (did you mean gain?)"}},
        {"\n# a comment\nxyz = 1", {"site.toml:3: unknown key \"xyz\""}},
        {"help = true", {"site.toml:1: unknown key \"help\""}},
        {"constellation = 32", {"site.toml:1: constellation = 32: one of 4, 16, 64 expected"}},
        {"guard = \"1/5\"", {"site.toml:1: guard = \"1/5\": one of 1/4, 1/8, 1/16, 1/32 expected"}},
        {"gain = 500", {"site.toml:1: gain = 500: -200 to 200 dB expected"}},
        {"frequency = \" 474e6\"", {"site.toml:1: frequency = \" 474e6\": 1 to 1e12 Hz expected"}},
        {"frequency-mapping = 474e6",
         {"site.toml:1: frequency-mapping = 474000000: one of 0, BBIF expected"}},
        {"dump = \"tq\"", {"site.toml:1: dump = \"tq\": letters of ercvpbsmft expected"}},
        {"verbosity = \"3k\"", {"site.toml:1: verbosity = \"3k\": 0 to 4 expected"}},
        {"window = -4", {"site.toml:1: window = -4: a whole number of samples expected"}},
        {"realtime = 1", {"site.toml:1: \"realtime\" is a flag: true or false expected"}},
        {"frequency = true",
         {"site.toml:1: \"frequency\" takes a string or a number (HZ), not true or false"}},
        {"input = 1979-05-27",
         {"site.toml:1: \"input\" takes a string or a number (FILE), not a date or time"}},
        {"input = \"in\\u0000.ts\"", {"site.toml:1: \"input\" holds a NUL character (\\u0000)"}},
        {"dump = [\"t\", \"e\"]", {"site.toml:1: \"dump\" is an array: a key takes one value"}},
        {"gain = { value = 1 }",
         {"site.toml:1: \"gain\" is a table: the keys are flat, each at the top of the file (no "
          "[sections], no dotted keys)"}},
        {"gain = 1\n[device]\nargs = \"driver=x\"",
         {"site.toml:2: \"device\" is a table: the keys are flat, each at the top of the file "
          "(no [sections], no dotted keys)"}},
        {"config = \"other.toml\"",
         {"site.toml:1: \"config\" cannot be given in a configuration file (a file does not "
          "include another)"}},
        // Every error, in the order of the file.
        {"zzz = 1\ngain = 0\nguard = \"x\"\naaa = 2",
         {"site.toml:1: unknown key \"zzz\"",
          "site.toml:3: guard = \"x\": one of 1/4, 1/8, 1/16, 1/32 expected",
          "site.toml:4: unknown key \"aaa\""}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.text);
        EXPECT_EQ(with_file(test.text).errors, test.errors);
    }
}

// toml++ says what is wrong; the message names the file, line and column.
TEST(ConfigFile, SyntaxErrorsNameTheFileAndPlace) {
    struct Case {
        std::string text;
        std::string place;
    };
    const Case cases[] = {
        {"gain = ", "site.toml:1:"},
        {"gain = 1\ngain = 2", "site.toml:2:"},
        {"gain = 1\n\nmode = \"2k", "site.toml:3:"},
        {std::string("gain = \"\xff\""), "site.toml:1:"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.text);
        const std::vector<std::string> errors = with_file(test.text).errors;
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].find(test.place), 0u) << errors[0];
        EXPECT_NE(errors[0].find(": not valid TOML: "), std::string::npos) << errors[0];
    }
}

// Every long option is a key: a flag takes true (as the option) and false
// (as nothing); an option with a value takes the text the command line
// takes, as a string and, where it is a number, as a number.
TEST(ConfigFile, EveryLongOptionIsAKey) {
    struct Candidate {
        std::string text;    // on the command line, and as a TOML string
        std::string number;  // as a TOML number ("" for none)
    };
    const Candidate candidates[] = {
        {"1", "1"},   {"200", "200"},    {"16", "16"},  {"6", "6"},  {"0", "0"},
        {"5e6", ""},  {"8k", ""},        {"3/4", ""},   {"1/4", ""}, {"cs16", ""},
        {"t", ""},    {"2x", ""},        {"BBIF", ""},  {"1M", ""},  {"fixed:1800000000", ""},
        {"stop", ""}, {"-80@10000", ""}, {"0.5,2", ""}, {"F1", ""},  {"10:-6:0", ""},
        {"fast", ""}};
    const TxConfig defaults = command_line({});
    int flags = 0, valued = 0;
    for (const LongOptionSummary& option : long_options()) {
        const std::string name(option.name);
        const std::string key = name.substr(2);
        SCOPED_TRACE(name);
        if (name == "--config") {
            EXPECT_EQ(with_file("config = \"x.toml\"").errors.size(), 1u);
            continue;
        }
        if (!option.value_name) {
            ++flags;
            const FileResult on = with_file(key + " = true");
            EXPECT_TRUE(on.errors.empty());
            EXPECT_TRUE(settings(on.config) == settings(command_line({name})));
            EXPECT_FALSE(settings(on.config) == defaults);
            const FileResult off = with_file(key + " = false");
            EXPECT_TRUE(off.errors.empty());
            EXPECT_TRUE(settings(off.config) == defaults);
            continue;
        }
        ++valued;
        int accepted = 0, changed = 0;
        for (const Candidate& value : candidates) {
            const TxConfig expected = command_line({name, value.text});
            std::vector<std::string> texts = {"\"" + value.text + "\""};
            if (!value.number.empty()) texts.push_back(value.number);
            for (const std::string& text : texts) {
                const FileResult file = with_file(key + " = " + text);
                if (!file.errors.empty()) continue;
                ++accepted;
                EXPECT_TRUE(expected.settings_not_taken.empty()) << text;
                EXPECT_TRUE(settings(file.config) == settings(expected)) << text;
                if (!(settings(file.config) == defaults)) ++changed;
            }
        }
        EXPECT_GT(accepted, 0) << "no candidate value taken";
        EXPECT_GT(changed, 0) << "no candidate value changed a setting";
    }
    EXPECT_GE(flags, 6);
    EXPECT_GE(valued, 37);
}

TEST(ConfigFile, FilesThatCannotBeRead) {
    TxConfig config;
    EXPECT_EQ(take_config_file(config, "/nonexistent/site.toml"),
              std::vector<std::string>{"cannot read the configuration file "
                                       "\"/nonexistent/site.toml\": No such file or directory"});
    const std::string folder = std::filesystem::temp_directory_path().string();
    EXPECT_EQ(take_config_file(config, folder),
              std::vector<std::string>{"cannot read the configuration file \"" + folder +
                                       "\": Is a directory"});
    EXPECT_TRUE(settings(config) == settings(command_line({})));
}

// The example of the repository is a device transmission from a UDP input.
TEST(ConfigFile, TheExampleFileIsTaken) {
    TxConfig config;
    set_defaults(config);
    EXPECT_EQ(take_config_file(config, std::string(TERRAMOD_SOURCE_DIR) + "/etc/terramod.toml"),
              std::vector<std::string>{});
    EXPECT_TRUE(config.settings_not_taken.empty());
    EXPECT_EQ(config.input_path, "udp://239.0.0.1:1234");
    EXPECT_EQ(config.device_args, "driver=hackrf");
    EXPECT_EQ(config.frequency_hz, 474000000.0);
    EXPECT_EQ(config.constellation, kQam16);
    EXPECT_EQ(config.log_path, "/var/log/terramod/terramod.log");
    EXPECT_FALSE(config.realtime);
    EXPECT_FALSE(config.output_path);
}

#else  // TERRAMOD_HAVE_TOML

TEST(ConfigFile, ThisBuildHasNone) {
    EXPECT_EQ(with_file("gain = 1").errors,
              std::vector<std::string>{"--config site.toml: this build has no configuration "
                                       "file support (built without libtomlplusplus-dev)"});
}

#endif  // TERRAMOD_HAVE_TOML

}  // namespace
}  // namespace terramod
