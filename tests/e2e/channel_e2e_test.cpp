// The channel simulator on whole runs: a seed gives the same bytes run
// after run and with any thread count, another seed others; a run that asks
// for no impairment is the clean run; the C/N measured on the output (what
// the noise added, in the occupied band, against the clean signal's power)
// is the one asked; the parameter report and the SigMF metadata say what
// was asked; values out of range are refused.
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>

#include "dvbt/dvbt.h"
#include "tests/channel/band_power.h"
#include "tests/e2e/e2e_support.h"

namespace terramod::e2e {
namespace {

using ChannelE2e = E2eTest;

std::vector<ComplexSample> read_samples(const fs::path& file) {
    const std::string bytes = read_file(file);
    std::vector<ComplexSample> samples(bytes.size() / sizeof(ComplexSample));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(ComplexSample));
    return samples;
}

struct SeedCase {
    const char* label;
    std::vector<std::string> options;
};

// The same command, the same bytes and log: run again and with 1, 2 and 3
// threads (the stages' tasks side by side, the next cycle's front beside
// this one's back). Another seed changes nearly every sample.
TEST_F(ChannelE2e, TheSeedDefinesTheBytesWhateverTheThreads) {
    write_file(path("in.ts"), make_stream(600 * 188));
    const SeedCase cases[] = {
        {"noise", {"--cn", "20", "--seed", "5"}},
        {"every impairment at 4x",
         {"-F", "4x", "-M", "16", "--cn", "25", "--freq-offset", "-3000.5", "--phase-noise",
          "-85@10000", "--iq-imbalance", "0.3,1", "--seed", "9"}},
        {"noise, then a clock offset, at 2x",
         {"-F", "2x", "--cn", "25", "--clock-offset", "-3", "--seed", "4"}},
    };
    for (const SeedCase& c : cases) {
        SCOPED_TRACE(c.label);
        auto run_with = [&](const std::vector<std::string>& extra) {
            std::vector<std::string> arguments = {"-i", "in.ts", "-o", "out",
                                                  "-d", "t",     "-l", "run.log"};
            arguments.insert(arguments.end(), c.options.begin(), c.options.end());
            arguments.insert(arguments.end(), extra.begin(), extra.end());
            EXPECT_EQ(run(arguments).exit_code, 0);
            return std::pair(read_file(path("out.bin")),
                             log_without_timing(read_file(path("run.log"))));
        };
        const auto [samples, log] = run_with({});
        ASSERT_GT(samples.size(), 3 * size_t{143616} * 8);
        EXPECT_NE(log.find("\tSeed                : "), std::string::npos) << log;
        for (const std::vector<std::string>& extra : {std::vector<std::string>{},
                                                      {"--threads", "1"},
                                                      {"--threads", "2"},
                                                      {"--threads", "3"}}) {
            const auto [other_samples, other_log] = run_with(extra);
            EXPECT_TRUE(other_samples == samples) << (extra.empty() ? "again" : extra[1]);
            EXPECT_EQ(other_log, log);
        }
        const auto [reseeded, reseeded_log] = run_with({"--seed", "6"});
        ASSERT_EQ(reseeded.size(), samples.size());
        size_t same = 0;
        for (size_t i = 0; i < samples.size(); i += sizeof(ComplexSample))
            same += std::memcmp(&samples[i], &reseeded[i], sizeof(ComplexSample)) == 0;
        EXPECT_LT(same, samples.size() / sizeof(ComplexSample) / 1000);
    }
}

// The bytes of a seeded run, recorded: the same on every machine (the noise
// and the phases are computed without the C library's mathematics). What
// the bytes should be is checked by the unit tests of tests/channel; this
// pins that they do not change from machine to machine or build to build.
TEST_F(ChannelE2e, SeededRunHasItsRecordedDigest) {
    const std::string sample = read_file(fs::path(TERRAMOD_SOURCE_DIR) / "samples/testcard.ts");
    ASSERT_GE(sample.size(), 300u * 188);
    write_file(path("in.ts"), sample.substr(0, 300 * 188));
    ASSERT_EQ(run({"-i", "in.ts", "-o", "out", "-d", "t", "-F", "2x", "--cn", "18", "--freq-offset",
                   "1250.5", "--phase-noise", "-90@10000", "--iq-imbalance", "-0.5,2.5", "--seed",
                   "12345678901234567890"})
                  .exit_code,
              0);
    EXPECT_EQ(sha256_of(path("out.bin")),
              "c27483970f4243cedf922d0068d3bc50aa09cfab46a3e1b01367ff1ff8f23d7a");
}

// Asking for nothing (a seed alone) is the clean run: the same samples,
// log and metadata, no channel line in the report, no channel field.
TEST_F(ChannelE2e, NoImpairmentIsTheCleanRun) {
    write_file(path("in.ts"), make_stream(200 * 188));
    for (const char* format : {"std", "2x"}) {
        SCOPED_TRACE(format);
        std::vector<std::string> arguments = {"-i", "in.ts", "-d", "t", "-v", "4"};
        if (std::string(format) != "std") arguments.insert(arguments.end(), {"-F", format});
        auto with = [&](const std::string& base, std::vector<std::string> extra) {
            extra.insert(extra.begin(), arguments.begin(), arguments.end());
            extra.insert(extra.end(), {"-o", base, "-l", base + ".log"});
            EXPECT_EQ(run(extra).exit_code, 0);
        };
        with("clean", {});
        with("seeded", {"--seed", "7"});
        EXPECT_TRUE(read_file(path("clean.bin")) == read_file(path("seeded.bin")));
        std::string clean_log = log_without_timing(read_file(path("clean.log")));
        std::string seeded_log = log_without_timing(read_file(path("seeded.log")));
        EXPECT_EQ(seeded_log.find("Seed"), std::string::npos);
        // The file names differ, nothing else.
        for (std::string* log : {&clean_log, &seeded_log})
            for (size_t at = log->find("seeded"); at != std::string::npos; at = log->find("seeded"))
                log->replace(at, 6, "clean");
        EXPECT_EQ(seeded_log, clean_log);
        std::string meta = read_file(path("seeded.sigmf-meta"));
        EXPECT_EQ(meta.find("dvbt:channel_"), std::string::npos) << meta;
        for (size_t at = meta.find("seeded"); at != std::string::npos; at = meta.find("seeded"))
            meta.replace(at, 6, "clean");
        EXPECT_EQ(meta, read_file(path("clean.sigmf-meta")));
    }
}

// What the noise added (the output minus the clean run of the same
// settings), in the occupied band (the FFT bins of the carriers, 1705 of
// every 2048 at the base rate, of 8192 at 4x), against the clean output's
// mean power: the C/N asked, within 0.1 dB.
TEST_F(ChannelE2e, MeasuredCarrierToNoiseRatio) {
    write_file(path("in.ts"), make_stream(400 * 188));
    struct Case {
        double cn_db;
        const char* format;
        size_t block;
    };
    const Case cases[] = {{10, "std", 2048}, {30, "std", 2048}, {20, "4x", 8192}};
    for (const Case& c : cases) {
        const std::string label = std::to_string(c.cn_db) + " dB " + c.format;
        SCOPED_TRACE(label);
        std::vector<std::string> arguments = {"-i", "in.ts", "-d", "t", "-v", "0"};
        if (std::string(c.format) != "std") arguments.insert(arguments.end(), {"-F", c.format});
        std::vector<std::string> clean = arguments, noisy = arguments;
        clean.insert(clean.end(), {"-o", "clean"});
        noisy.insert(noisy.end(), {"-o", "noisy", "--cn", std::to_string(c.cn_db)});
        ASSERT_EQ(run(clean).exit_code, 0);
        ASSERT_EQ(run(noisy).exit_code, 0);
        const auto clean_samples = read_samples(path("clean.bin"));
        const auto noisy_samples = read_samples(path("noisy.bin"));
        ASSERT_EQ(clean_samples.size(), noisy_samples.size());
        const double factor = std::string(c.format) == "4x" ? 4 : 1;
        const double rate = 64e6 / 7 * factor;
        const double occupied = 1705 * (64e6 / 7) / 2048;
        const std::vector<test::Complex> noise = test::difference(noisy_samples, clean_samples);
        const double signal = test::mean_power(test::as_complex(clean_samples));
        const double in_band = test::band_power(noise, rate, occupied / 2, c.block);
        const double measured = 10 * std::log10(signal / in_band);
        std::printf("  --cn %s: measured %.3f dB\n", label.c_str(), measured);
        EXPECT_NEAR(measured, c.cn_db, 0.1);
    }
}

// The parameter report and the SigMF metadata name every impairment asked.
TEST_F(ChannelE2e, ReportAndMetadataSayWhatWasAsked) {
    write_file(path("in.ts"), make_stream(70 * 188));
    const RunResult result = run({"-i",
                                  "in.ts",
                                  "-o",
                                  "out",
                                  "-d",
                                  "t",
                                  "-F",
                                  "4x",
                                  "--cn",
                                  "20.25",
                                  "--seed",
                                  "42",
                                  "--freq-offset",
                                  "125",
                                  "--phase-noise",
                                  "-80@1e4",
                                  "--iq-imbalance",
                                  "0.5,2",
                                  "--echo-profile",
                                  "P1",
                                  "--echoes",
                                  "0:0:0,1.5:-3:90:10",
                                  "--doppler",
                                  "30",
                                  "--clock-offset",
                                  "12.5"});
    ASSERT_EQ(result.exit_code, 0) << result.console;
    const std::string report =
        "\tNominal bandwidth   : 7.611607 MHz\n"
        "\tEcho profile        : P1 (EN 300 744 Annex B, portable reception)\n"
        "\tEchoes              : 0:0:0:0,1.5:-3:90:10\n"
        "\tDoppler             : 30.0 Hz\n"
        "\tFrequency offset    : 125.0 Hz\n"
        "\tPhase noise         : -80.0 dBc/Hz at 10000.0 Hz (random walk)\n"
        "\tI/Q imbalance       : 0.50 dB, 2.00 degrees (image rejection 29.5 dB)\n"
        "\tC/N                 : 20.25 dB (noise over 36.571429 MHz, 7.611607 MHz occupied)\n"
        "\tClock offset        : 12.5 ppm (a clock of 36.571886 MHz for 36.571429 MHz, applied "
        "last)\n"
        "\tSeed                : 42\n"
        "----------------------------------------------------------\n";
    EXPECT_NE(result.console.find(report), std::string::npos) << result.console;
    const std::string meta = read_file(path("out.sigmf-meta"));
    for (const char* field :
         {"\"dvbt:channel_seed\": \"42\"", "\"dvbt:channel_echo_profile\": \"P1\"",
          "\"dvbt:channel_echoes\": \"0:0:0:0,1.5:-3:90:10\"", "\"dvbt:channel_doppler_hz\": 30,",
          "\"dvbt:channel_frequency_offset_hz\": 125,", "\"dvbt:channel_phase_noise_dbc_hz\": -80,",
          "\"dvbt:channel_phase_noise_offset_hz\": 10000,", "\"dvbt:channel_iq_gain_db\": 0.5,",
          "\"dvbt:channel_iq_phase_deg\": 2,", "\"dvbt:channel_cn_db\": 20.25",
          "\"dvbt:channel_clock_offset_ppm\": 12.5"})
        EXPECT_NE(meta.find(field), std::string::npos) << field << "\n" << meta;
    // Only what was asked.
    ASSERT_EQ(run({"-i", "in.ts", "-o", "cn", "-d", "t", "--cn", "30", "-l", "cn.log"}).exit_code,
              0);
    const std::string log = read_file(path("cn.log"));
    EXPECT_NE(log.find("\tC/N                 : 30.0 dB (noise over 9.142857 MHz, 7.611607 MHz "
                       "occupied)\n\tSeed                : 1\n-----"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("Frequency offset"), std::string::npos);
    const std::string cn_meta = read_file(path("cn.sigmf-meta"));
    EXPECT_EQ(cn_meta.find("phase_noise"), std::string::npos);
    EXPECT_NE(cn_meta.find("\"dvbt:channel_seed\": \"1\""), std::string::npos);
}

// A frequency offset beyond half the output rate, a clock offset beyond 1000
// ppm or with --sfn stop the run before any file is written; a value out of its range is named with
// the range and ignored (the run goes on, clean); a long option without its value stops.
TEST_F(ChannelE2e, RefusedValues) {
    write_file(path("in.ts"), make_stream(70 * 188));
    struct Case {
        std::vector<std::string> options;
        int exit_code;
        std::string text;  // in the console
    };
    const std::string fatal = "FATAL ERROR: --freq-offset ";
    const Case cases[] = {
        {{"--freq-offset", "4571428.6"},
         1,
         fatal + "4571428.6 Hz is beyond half the output sample rate (9.142857 Msps): at most "
                 "4571428.571 Hz either way\n"},
        {{"-F", "2x", "--freq-offset", "-9142857.2"},
         1,
         fatal + "-9142857.2 Hz is beyond half the output sample rate (18.285714 Msps): at most "
                 "9142857.143 Hz either way\n"},
        {{"-b", "6", "--freq-offset", "3428571.5"}, 1, fatal + "3428571.5 Hz is beyond"},
        {{"--freq-offset", "-4571428.5"}, 0, "\tFrequency offset    : -4571428.5 Hz\n"},
        {{"-F", "4x", "--freq-offset", "18e6"}, 0, "\tFrequency offset    : 18000000.0 Hz\n"},
        {{"--cn"}, 1, "FATAL ERROR: --cn needs a value: --cn DB\n"},
        {{"--phase-noise"},
         1,
         "FATAL ERROR: --phase-noise needs a value: --phase-noise DBC_PER_HZ@OFFSET_HZ\n"},
        {{"--cn", "61"}, 0, "Invalid C/N 61: ignored.\n  --cn takes -10 to 60 dB.\n"},
        {{"--seed", "1.5"}, 0, "Invalid seed 1.5: using 1.\n"},
        {{"--iq-imbalance", "7,0"}, 0, "Invalid I/Q imbalance 7,0: ignored.\n"},
        {{"--echoes", "1:0"}, 0, "Invalid echoes 1:0: ignored.\n"},
        {{"--echo-profile", "F3"}, 0, "Invalid echo profile F3: ignored.\n"},
        {{"--doppler", "-5"}, 0, "Invalid Doppler frequency -5: ignored.\n"},
        {{"--clock-offset", "1000.5"},
         1,
         "FATAL ERROR: --clock-offset 1000.5 ppm is beyond 1000 ppm either way\n"},
        {{"--clock-offset", "-1000"},
         0,
         "\tClock offset        : -1000.0 ppm (a clock of 9.133714 MHz for 9.142857 MHz, "
         "applied last)\n"},
        {{"--clock-offset", "12ppm"}, 0, "Invalid clock offset 12ppm: ignored.\n"},
        {{"--sfn", "--clock-offset", "1"},
         1,
         "FATAL ERROR: --clock-offset cannot go with --sfn: a single-frequency network's "
         "transmitter keeps its samples on the mega-frames' time\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options[0] + (c.options.size() > 1 ? " " + c.options.back() : ""));
        fs::remove(path("out.bin"));
        std::vector<std::string> arguments = {"-i", "in.ts", "-o", "out", "-d", "t"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        const RunResult result = run(arguments);
        EXPECT_EQ(result.exit_code, c.exit_code);
        EXPECT_NE(result.console.find(c.text), std::string::npos) << result.console;
        EXPECT_EQ(fs::exists(path("out.bin")), c.exit_code == 0);
        if (c.exit_code == 0 && c.options[0] != "--freq-offset" && c.options[0] != "-F" &&
            c.text.find("Clock offset") == std::string::npos) {
            EXPECT_EQ(result.console.find("\tSeed"), std::string::npos);
        }
    }
}

}  // namespace
}  // namespace terramod::e2e
