// --sample-type, --backoff and the SigMF metadata: every integer sample is
// saturate(rint(float x k)) of the float output of the same settings, the
// clip count is right, and the metadata validates against the SigMF schema
// and agrees with the file.
#include <cmath>
#include <cstring>
#include <regex>

#include "tests/e2e/e2e_support.h"

namespace terramod::e2e {
namespace {

struct SampleTypeCase {
    std::vector<std::string> settings;
    const char* type;
    const char* backoff;
    int bytes_per_component;
    int full_scale;
};

const SampleTypeCase kCases[] = {
    {{"-8k", "-M", "64", "-p", "7/8"}, "cs8", "12", 1, 127},
    {{"-8k", "-M", "64", "-p", "7/8"}, "cs16", "3", 2, 32767},
    {{"-M", "16", "-F", "2x", "-f", "BBIF"}, "cs16", "12", 2, 32767},
    {{"-D", "1/4", "-F", "4x"}, "cs8", "1", 1, 127},
};

std::vector<float> floats_of(const std::string& bytes) {
    std::vector<float> values(bytes.size() / 4);
    std::memcpy(values.data(), bytes.data(), values.size() * 4);
    return values;
}

int32_t integer_at(const std::string& bytes, size_t index, int width) {
    if (width == 1) return static_cast<int8_t>(bytes[index]);
    const auto low = static_cast<uint8_t>(bytes[2 * index]);
    const auto high = static_cast<uint8_t>(bytes[2 * index + 1]);
    return static_cast<int16_t>(static_cast<uint16_t>(low | (high << 8)));
}

double number_field(const std::string& json, const std::string& name) {
    const std::regex field("\"" + name + "\": ([-0-9.e+]+)");
    std::smatch match;
    if (!std::regex_search(json, match, field)) return NAN;
    return std::stod(match[1]);
}

class SampleTypesE2e : public E2eTest, public ::testing::WithParamInterface<SampleTypeCase> {};

TEST_P(SampleTypesE2e, IntegersAreTheRoundedScaledFloatsAndClipsAreCounted) {
    const SampleTypeCase& c = GetParam();
    write_file(path("in.ts"), make_stream(300 * 188));
    std::vector<std::string> base = {"-i", "in.ts", "-d", "t", "-v", "2"};
    base.insert(base.end(), c.settings.begin(), c.settings.end());
    std::vector<std::string> float_run = base, integer_run = base;
    float_run.insert(float_run.end(), {"-o", "float", "-l", "float.log"});
    integer_run.insert(integer_run.end(), {"-o", "int", "-l", "int.log", "--sample-type", c.type,
                                           "--backoff", c.backoff});
    ASSERT_EQ(run(float_run).exit_code, 0);
    const RunResult result = run(integer_run);
    ASSERT_EQ(result.exit_code, 0);

    const std::vector<float> floats = floats_of(read_file(path("float.bin")));
    const std::string integers = read_file(path("int.bin"));
    ASSERT_EQ(integers.size(), floats.size() * c.bytes_per_component);
    const std::string meta = read_file(path("int.sigmf-meta"));
    const double scale = number_field(meta, "dvbt:scale");
    ASSERT_TRUE(std::isfinite(scale)) << meta;
    int64_t clipped = 0;
    for (size_t sample = 0; sample < floats.size() / 2; ++sample) {
        bool clips = false;
        for (size_t part = 2 * sample; part < 2 * sample + 2; ++part) {
            const double rounded = std::nearbyint(double{floats[part]} * scale);
            const double expected =
                std::clamp(rounded, -double(c.full_scale), double(c.full_scale));
            clips = clips || rounded != expected;
            ASSERT_EQ(integer_at(integers, part, c.bytes_per_component), expected) << part;
        }
        clipped += clips;
    }
    const std::string clip_line =
        "Clipped samples: " + std::to_string(clipped) + " of " + std::to_string(floats.size() / 2);
    EXPECT_NE(result.console.find(clip_line), std::string::npos) << result.console;
    EXPECT_EQ(result.console.find("WARNING: ") != std::string::npos, clipped > 0);
}

INSTANTIATE_TEST_SUITE_P(Settings, SampleTypesE2e, ::testing::ValuesIn(kCases));

// The level of the integer types, computed without the program's metadata:
// with k = F x 10^(-B/20) / R (F the full scale, B the backoff, R the nominal
// RMS of the complex signal), the RMS of the complex samples sits B dB below
// F. The input is energy-dispersed, so its cells carry their nominal power;
// the backoffs leave too few clipped peaks to move the RMS (measured within
// 0.1 dB; 0.2 dB still tells a nominal RMS without the pilots' boost, 0.34 dB
// off in 2k).
struct LevelCase {
    std::vector<std::string> settings;
    const char* type;
    double backoff_db;
};

const LevelCase kLevelCases[] = {
    {{"-M", "16"}, "cs16", 12},
    {{"-8k", "-M", "64", "-p", "7/8"}, "cs16", 6},
    {{"-8k", "-F", "2x"}, "cs16", 20},
    {{"-M", "64", "-F", "2x", "-f", "BBIF"}, "cs16", 9},
    {{"-D", "1/4"}, "cs8", 6},
    {{"-8k", "-M", "16"}, "cs8", 12},
    {{"-F", "2x"}, "cs8", 15},
    {{"-8k", "-M", "64", "-F", "2x"}, "cs8", 20},
    {{"-F", "4x", "-f", "BBIF"}, "cs8", 12},
};

class SampleTypeLevelE2e : public E2eTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(SampleTypeLevelE2e, RmsSitsTheBackoffBelowFullScale) {
    const LevelCase& c = GetParam();
    const bool cs8 = std::string(c.type) == "cs8";
    const int width = cs8 ? 1 : 2;
    const double full_scale = cs8 ? 127 : 32767;
    write_file(path("in.ts"), make_stream(300 * 188));
    std::vector<std::string> arguments = {"-i",
                                          "in.ts",
                                          "-o",
                                          "int",
                                          "-d",
                                          "t",
                                          "-v",
                                          "0",
                                          "--no-sigmf",
                                          "--sample-type",
                                          c.type,
                                          "--backoff",
                                          std::to_string(c.backoff_db)};
    arguments.insert(arguments.end(), c.settings.begin(), c.settings.end());
    ASSERT_EQ(run(arguments).exit_code, 0);
    const std::string integers = read_file(path("int.bin"));
    const size_t components = integers.size() / width;
    ASSERT_GT(components, 0u);
    double power = 0;
    for (size_t index = 0; index < components; ++index) {
        const double value = integer_at(integers, index, width);
        power += value * value;
    }
    const double mean_complex_power = power / double(components / 2);
    const double level_db = 10 * std::log10(mean_complex_power / (full_scale * full_scale));
    EXPECT_NEAR(level_db, -c.backoff_db, 0.2) << c.type << " " << c.backoff_db << " dB";
}

INSTANTIATE_TEST_SUITE_P(Settings, SampleTypeLevelE2e, ::testing::ValuesIn(kLevelCases),
                         [](const ::testing::TestParamInfo<LevelCase>& info) {
                             return "Case" + std::to_string(info.index) + "_" + info.param.type;
                         });

// The Agilent words (14-bit offset binary, 8192 for zero) put 3.2 times the
// RMS of one component at 8191: the words' RMS about 8192 is 8191 / 3.2,
// computed from the two files alone (the rare peaks beyond the range
// saturate and leave the RMS within 0.05 dB).
using SampleTypeAgilentLevelE2e = E2eTest;

TEST_F(SampleTypeAgilentLevelE2e, ComponentRmsIsFullScaleOver3Point2) {
    write_file(path("in.ts"), make_stream(300 * 188));
    for (const char* mode : {"-2k", "-8k"}) {
        ASSERT_EQ(
            run({"-i", "in.ts", "-o", "agi", "-d", "t", "-F", "agi", "-v", "0", mode}).exit_code,
            0);
        double power = 0;
        size_t count = 0;
        for (const char* file : {"agi_I.bin", "agi_Q.bin"}) {
            const std::string words = read_file(path(file));
            for (size_t index = 0; index < words.size() / 2; ++index) {
                const double value = integer_at(words, index, 2) - 8192.0;
                power += value * value;
                ++count;
            }
        }
        ASSERT_GT(count, 0u);
        const double rms = std::sqrt(power / double(count));
        EXPECT_NEAR(20 * std::log10(rms / (8191 / 3.2)), 0, 0.2) << mode << " RMS " << rms;
    }
}

// The metadata of every sample type and rate validates against the SigMF
// schema, and rate x duration and count x element size agree with the file.
TEST_F(E2eTest, SigmfMetadataValidatesAndMatchesTheFile) {
    const fs::path schema = fs::path(TERRAMOD_SOURCE_DIR) / "tests/data/sigmf/sigmf-schema.json.gz";
    ASSERT_TRUE(fs::exists(schema));
    if (std::system("/usr/bin/python3 -c 'import jsonschema' 2>/dev/null") != 0)
        GTEST_SKIP() << "python3-jsonschema is missing";
    write_file(path("in.ts"), make_stream(100 * 188));
    const std::vector<std::vector<std::string>> runs = {
        {"-o", "a", "-8k"},
        {"-o", "b", "--sample-type", "cs16", "-F", "2x"},
        {"-o", "c", "--sample-type", "cs8", "-F", "4x", "-b", "6"},
        {"-o", "e", "--frequency", "474e6"},
        // The channel simulator's fields (dvbt:channel_*).
        {"-o", "f", "-F", "2x", "--cn", "20", "--phase-noise", "-80@1e4", "--doppler", "5"},
        {"-o", "g", "--freq-offset", "100", "--iq-imbalance", "0.5,2", "--echoes", "1:-3:0"},
        {"-o", "h", "--echo-profile", "F1", "--seed", "18446744073709551615"}};
    for (std::vector<std::string> arguments : runs) {
        arguments.insert(arguments.end(), {"-i", "in.ts", "-d", "t", "-v", "0"});
        ASSERT_EQ(run(arguments).exit_code, 0);
    }
    const std::string check = std::string("/usr/bin/python3 ") + TERRAMOD_SOURCE_DIR +
                              "/tests/e2e/check_sigmf.py " + shell_quote(schema.string()) + " " +
                              shell_quote(directory_.string()) + " a b c e f g h";
    EXPECT_EQ(std::system(check.c_str()), 0);
    EXPECT_FALSE(run({"-i", "in.ts", "-o", "d", "-d", "t", "--no-sigmf", "-v", "0"}).exit_code);
    EXPECT_FALSE(fs::exists(path("d.sigmf-meta")));
}

TEST_F(E2eTest, SampleTypeWithAgilentIsRefusedAndBadValuesFallBack) {
    write_file(path("in.ts"), make_stream(188));
    const RunResult agilent =
        run({"-i", "in.ts", "-o", "x", "-d", "t", "-F", "agi", "--sample-type", "cs16", "-v", "0"});
    EXPECT_EQ(agilent.exit_code, 1);
    EXPECT_NE(agilent.console.find("FATAL ERROR: --sample-type applies to the standard, 2x and "
                                   "4x formats only\n"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(path("x_I.bin")));
    const RunResult bad = run({"-i", "in.ts", "-o", "y", "-d", "t", "--sample-type", "s12",
                               "--backoff", "-3", "-v", "0"});
    EXPECT_EQ(bad.exit_code, 0);
    EXPECT_EQ(bad.console.substr(0, 70),
              "Invalid sample type s12: using cf32.\nInvalid backoff -3: using 12 dB.\n");
    EXPECT_EQ(fs::file_size(path("y.bin")), 8 * kSamples);
}

#ifdef SOAPY_MODULE_DIR
// A device is sent each type in its row's stream format: what the test
// device records is byte for byte the sample file of the same settings (cs8,
// whose row names no device format, is refused before anything is opened).
// No run has a time base today: the device is given no time.
TEST_F(E2eTest, DeviceStreamsEachTypeInItsRowsFormatUntimed) {
    ::setenv("SOAPY_SDR_PLUGIN_PATH", SOAPY_MODULE_DIR, 1);
    write_file(path("in.ts"), make_stream(3 * 188));
    struct Case {
        const char* type;
        const char* stream_format;  // as the set-up report names it
    };
    for (const Case& c : {Case{"cf32", "CF32"}, Case{"cs16", "CS16"}}) {
        SCOPED_TRACE(c.type);
        const std::string type = c.type;
        ASSERT_EQ(
            run({"-i", "in.ts", "-o", "f_" + type, "-d", "t", "--sample-type", type, "-v", "0"})
                .exit_code,
            0);
        const std::string device =
            "driver=terramod_test,pace=0,record=" + path("rec_" + type + ".bin").string() +
            ",times=" + path("times_" + type).string();
        const RunResult sent = run({"-i", "in.ts", "--device", device, "--frequency", "474e6",
                                    "--sample-type", type, "-v", "2"});
        ASSERT_EQ(sent.exit_code, 0) << sent.console;
        EXPECT_NE(sent.console.find(std::string("stream format ") + c.stream_format + "\n"),
                  std::string::npos)
            << sent.console;
        EXPECT_TRUE(read_file(path("rec_" + type + ".bin")) ==
                    read_file(path("f_" + type + ".bin")));
        EXPECT_TRUE(fs::exists(path("times_" + type)));
        EXPECT_EQ(read_file(path("times_" + type)), "");
    }
    const RunResult cs8 = run({"-i", "in.ts", "--device",
                               "driver=terramod_test,record=" + path("rec_cs8.bin").string(),
                               "--frequency", "474e6", "--sample-type", "cs8", "-v", "0"});
    EXPECT_EQ(cs8.exit_code, 1);
    EXPECT_NE(cs8.console.find("FATAL ERROR: --device streams cf32 or cs16 samples, not cs8\n"),
              std::string::npos)
        << cs8.console;
    EXPECT_FALSE(fs::exists(path("rec_cs8.bin")));
}
#endif

}  // namespace
}  // namespace terramod::e2e
