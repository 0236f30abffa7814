// --sfn on whole runs over streams sfnadapt made (fixed time source): the
// signal starts at the mega-frame the first MIP points to whatever comes
// before it, the emission time is the MIP's, and streams without MIPs or
// with other TPS are refused.
//
// Figures worked out by hand for 2k QPSK 1/2 1/32 at 8 MHz: a super-frame
// is 1512 carriers x 2 bits x 68 symbols x 4 frames x 1/2 / (204 x 8) = 252
// packets, a mega-frame 8 super-frames = 2016 packets and 32 x 68 x 2112 =
// 4 595 712 samples at 64/7 MHz = 0.502656 s. sfnadapt's first MIP (in its
// mega-frame 0) points to its mega-frame 1, which starts 0.502656 s after
// the pulse 1 800 000 000 (2027-01-15T08:00:00Z).
#include <algorithm>

#include "sfn/mip.h"
#include "tests/e2e/e2e_support.h"

namespace terramod::e2e {
namespace {

constexpr int64_t kMegaframePackets = 2016;

class SfnE2e : public E2eTest {
  protected:
    // The stream of `packets` packets with sfnadapt's MIPs, to `name`.
    void adapt(const std::string& name, int64_t packets, const std::string& settings = "") {
        write_file(path("plain.ts"), make_stream(188 * packets));
        const std::string command = "cd " + shell_quote(path("").string()) + " && " +
                                    shell_quote(SFNADAPT_BINARY) + " -i plain.ts -o " + name + " " +
                                    settings +
                                    " --max-delay 0.25 --time-source fixed:1800000000"
                                    " --tx-offset 7:-1500 >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
    // Two sfnadapt streams of 2 mega-frames one after the other, to `name`:
    // the second starts where the first one's mega-frames end, its time
    // following on; each with its own individual addressing options.
    void adapt_two(const std::string& name, const std::string& first_options,
                   const std::string& second_options) {
        write_file(path("plain.ts"), make_stream(188 * 2 * kMegaframePackets));
        const std::string adapter = shell_quote(SFNADAPT_BINARY);
        const std::string command =
            "cd " + shell_quote(path("").string()) + " && " + adapter +
            " -i plain.ts -o a.ts --max-delay 0.25 --time-source fixed:1800000000 " +
            first_options + " >/dev/null 2>&1 && " + adapter +
            " -i plain.ts -o b.ts --max-delay 0.25 --time-source fixed:1800000001.005312 " +
            second_options + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0);
        write_file(path(name), read_file(path("a.ts")) + read_file(path("b.ts")));
    }
    static std::string datetime(const std::string& meta) {
        const std::string key = "\"core:datetime\": \"";
        const size_t at = meta.find(key);
        if (at == std::string::npos) return "<none>";
        return meta.substr(at + key.size(), meta.find('"', at + key.size()) - at - key.size());
    }
};

TEST_F(SfnE2e, SameSignalWhateverComesBeforeTheFirstMegaframe) {
    adapt("sfn.ts", 3 * kMegaframePackets + 100);
    const std::string stream = read_file(path("sfn.ts"));
    // 37 packets of another stream in front.
    write_file(path("late.ts"), make_stream(188 * 37) + stream);
    // The same packets from the mega-frame start on, without --sfn.
    write_file(path("cut.ts"), stream.substr(188 * kMegaframePackets));
    const std::vector<std::vector<std::string>> runs = {
        {"-i", "sfn.ts", "-o", "as_is"},
        {"-i", "late.ts", "-o", "late", "-l", "late.log"},
        {"-i", "sfn.ts", "-o", "threads", "--threads", "3"},
    };
    for (const auto& arguments : runs) {
        std::vector<std::string> full = arguments;
        for (const char* more : {"-d", "t", "--sfn", "--time-source", "fixed:1800000000"})
            full.push_back(more);
        const RunResult result = run(full);
        ASSERT_EQ(result.exit_code, 0) << result.console;
    }
    ASSERT_EQ(run({"-i", "cut.ts", "-o", "cut", "-d", "t"}).exit_code, 0);
    const std::string as_is = read_file(path("as_is.bin"));
    ASSERT_FALSE(as_is.empty());
    EXPECT_TRUE(read_file(path("late.bin")) == as_is);
    EXPECT_TRUE(read_file(path("threads.bin")) == as_is);
    EXPECT_TRUE(read_file(path("cut.bin")) == as_is);
    EXPECT_EQ(count_of(read_file(path("late.log")),
                       "SFN: 2053 packets before the first mega-frame start skipped\n"),
              1);
}

TEST_F(SfnE2e, EmissionTimeIsTheMipsAndMovesByTheTxOffset) {
    adapt("sfn.ts", 2 * kMegaframePackets + 50);
    struct Case {
        std::vector<std::string> extra;
        const char* datetime;
    };
    const Case cases[] = {
        {{}, "2027-01-15T08:00:00.752656Z"},
        // Transmitter 7 is addressed -1500 ns; transmitter 8 nothing.
        {{"--tx-id", "7"}, "2027-01-15T08:00:00.7526545Z"},
        {{"--tx-id", "8"}, "2027-01-15T08:00:00.752656Z"},
        {{"--sfn-offset", "0.000125"}, "2027-01-15T08:00:00.752781Z"},
    };
    for (const Case& test : cases) {
        std::vector<std::string> arguments = {
            "-i", "sfn.ts", "-o", "out", "-d", "t", "--sfn", "--time-source", "fixed:1800000000"};
        arguments.insert(arguments.end(), test.extra.begin(), test.extra.end());
        ASSERT_EQ(run(arguments).exit_code, 0);
        const std::string meta = read_file(path("out.sigmf-meta"));
        EXPECT_EQ(datetime(meta), test.datetime);
        EXPECT_NE(meta.find("\"dvbt:megaframe_period_ns\": 502656000"), std::string::npos);
        EXPECT_NE(meta.find("\"dvbt:first_megaframe_sample\": 0"), std::string::npos);
    }
}

TEST_F(SfnE2e, StreamsThatCannotRunAreRefused) {
    adapt("sfn.ts", kMegaframePackets + 50);
    write_file(path("no_mip.ts"), make_stream(188 * 3 * kMegaframePackets));
    struct Case {
        std::vector<std::string> arguments;
        std::vector<std::string> named;
    };
    const Case cases[] = {
        {{"-i", "no_mip.ts"}, {"FATAL ERROR: ", "no valid MIP (PID 0x0015)"}},
        {{"-i", "sfn.ts", "-8k", "-M", "16"},
         {"FATAL ERROR: ", "2k 4QAM alpha NH, code rate 1/2, guard interval 1/32",
          "8k 16QAM alpha NH, code rate 1/2, guard interval 1/32"}},
        {{"-i", "sfn.ts", "--adapt-rate"}, {"FATAL ERROR: --sfn cannot run with --adapt-rate"}},
    };
    for (const Case& test : cases) {
        std::vector<std::string> arguments = test.arguments;
        for (const char* more : {"-o", "out", "-d", "t", "--sfn"}) arguments.push_back(more);
        const RunResult result = run(arguments);
        EXPECT_EQ(result.exit_code, 1);
        for (const std::string& text : test.named)
            EXPECT_NE(result.console.find(text), std::string::npos) << text << result.console;
    }
}

TEST_F(SfnE2e, TakeSettingsRunsAsTheMipSays) {
    // 16QAM 2/3: 2016 x 2 x 4/3 = 5376 packets a mega-frame.
    adapt("sfn.ts", 6500, "-M 16 -p 2/3 -D 1/8");
    const RunResult taken = run({"-i", "sfn.ts", "-o", "taken", "-d", "t", "--sfn",
                                 "--sfn-take-settings", "--time-source", "fixed:1800000000"});
    ASSERT_EQ(taken.exit_code, 0) << taken.console;
    EXPECT_NE(taken.console.find("SFN: settings taken from the MIP: 2k 16QAM"), std::string::npos);
    ASSERT_EQ(run({"-i", "sfn.ts", "-o", "given", "-d", "t", "--sfn", "-M", "16", "-p", "2/3", "-D",
                   "1/8", "--time-source", "fixed:1800000000"})
                  .exit_code,
              0);
    EXPECT_TRUE(read_file(path("taken.bin")) == read_file(path("given.bin")));
}

TEST_F(SfnE2e, CellIdFromTheMipUnlessGiven) {
    adapt("sfn.ts", kMegaframePackets + 700, "--tx-cell-id 7:300 --tx-cell-id 0:5");
    const std::vector<std::string> common = {"-i",    "sfn.ts",        "-d",
                                             "t",     "--sample-type", "cs8",
                                             "--sfn", "--time-source", "fixed:1800000000"};
    struct Case {
        std::vector<std::string> extra;
        const char* log_line;  // nothing from the MIP: ""
        const char* same_as;   // the run its samples equal
    };
    const Case cases[] = {
        {{"-o", "own", "--tx-id", "7"}, "SFN: cell id 300 from the MIP\n", "given300"},
        {{"-o", "every", "--tx-id", "8"}, "SFN: cell id 5 from the MIP\n", "given5"},
        {{"-o", "given300", "--cell-id", "300"}, "", "given300"},
        {{"-o", "given5", "--tx-id", "7", "--cell-id", "5"}, "", "given5"},
    };
    for (const Case& test : cases) {
        std::vector<std::string> arguments = common;
        arguments.insert(arguments.end(), test.extra.begin(), test.extra.end());
        const RunResult result = run(arguments);
        ASSERT_EQ(result.exit_code, 0) << result.console;
        if (*test.log_line)
            EXPECT_NE(result.console.find(test.log_line), std::string::npos) << result.console;
        else
            EXPECT_EQ(result.console.find("from the MIP\n"), std::string::npos);
    }
    EXPECT_TRUE(read_file(path("own.bin")) == read_file(path("given300.bin")));
    EXPECT_TRUE(read_file(path("every.bin")) == read_file(path("given5.bin")));
    EXPECT_FALSE(read_file(path("given5.bin")) == read_file(path("given300.bin")));
}

TEST_F(SfnE2e, AMovedTimeIsACaptureOfItsOwn) {
    // Transmitter 7 is addressed -1.5 us, then -3 us from the run's
    // mega-frame 2 (9 191 424 samples in) on: 2 x 502.656 ms after the
    // first, 1.5 us earlier.
    adapt_two("ab.ts", "--tx-offset 7:-1500", "--tx-offset 7:-3000");
    const RunResult result = run({"-i", "ab.ts", "-o", "out", "-d", "t", "--sample-type", "cs8",
                                  "--sfn", "--tx-id", "7", "--time-source", "fixed:1800000000"});
    ASSERT_EQ(result.exit_code, 0) << result.console;
    const std::string meta = read_file(path("out.sigmf-meta"));
    EXPECT_EQ(datetime(meta), "2027-01-15T08:00:00.7526545Z");
    EXPECT_NE(meta.find("{\"core:sample_start\": 9191424, \"core:datetime\": "
                        "\"2027-01-15T08:00:01.757965Z\", \"dvbt:megaframe\": 2}"),
              std::string::npos)
        << meta;
    EXPECT_EQ(count_of(meta, "core:sample_start"), 2);
    EXPECT_NE(
        result.console.find("SFN: 1 mega-frames moved by their MIP's time, at most 1500 ns\n"),
        std::string::npos)
        << result.console;
}

// Spoils the CRC of the MIP (PID 0x0015) carried in each of `megaframes`
// (counted as sfnadapt counts them, from the stream's first packet).
std::string spoil_mips(std::string stream, const std::vector<int64_t>& megaframes) {
    for (size_t at = 0; at + 188 <= stream.size(); at += 188) {
        const auto pid = (static_cast<uint8_t>(stream[at + 1]) & 0x1F) << 8 |
                         static_cast<uint8_t>(stream[at + 2]);
        const int64_t megaframe = static_cast<int64_t>(at / 188) / kMegaframePackets;
        if (pid == 0x15 &&
            std::find(megaframes.begin(), megaframes.end(), megaframe) != megaframes.end())
            stream[at + 10] ^= 0x01;  // in the STS
    }
    return stream;
}

TEST_F(SfnE2e, LostMipsMuteOrStop) {
    // sfnadapt's mega-frame j + 1 is the run's mega-frame j; its MIP, in
    // the mega-frame before, times it. Without the MIPs of sfnadapt's
    // mega-frames 2 and 3 the run's mega-frame 2 keeps the time of the one
    // before and mega-frame 3 is silence; the MIP of mega-frame 4 brings it
    // back. The spoilt MIPs are carried as they are: the reference is the
    // same stream run without --sfn.
    adapt("sfn.ts", 6 * kMegaframePackets + 10);
    write_file(path("spoilt.ts"), spoil_mips(read_file(path("sfn.ts")), {2, 3}));
    const std::vector<std::string> common = {
        "-d", "t", "--sample-type", "cs8", "--sfn", "--time-source", "fixed:1800000000"};
    // The same packets from the first mega-frame start on, without --sfn.
    write_file(path("cut.ts"), read_file(path("spoilt.ts")).substr(188 * kMegaframePackets));
    std::vector<std::string> clean = {"-i", "cut.ts",        "-o", "clean", "-d",
                                      "t",  "--sample-type", "cs8"};
    std::vector<std::string> muted = {"-i", "spoilt.ts", "-o", "muted", "--events", "muted.events"};
    std::vector<std::string> stopped = {"-i",       "spoilt.ts",      "-o",         "stopped",
                                        "--events", "stopped.events", "--mip-loss", "stop"};
    for (auto* arguments : {&muted, &stopped})
        arguments->insert(arguments->end(), common.begin(), common.end());
    ASSERT_EQ(run(clean).exit_code, 0);
    const RunResult mute = run(muted);
    ASSERT_EQ(mute.exit_code, 0) << mute.console;
    // 4 595 712 samples a mega-frame, 2 bytes each in cs8.
    constexpr size_t kMegaframeBytes = 2 * 4'595'712;
    const std::string expected = read_file(path("clean.bin"));
    const std::string got = read_file(path("muted.bin"));
    ASSERT_EQ(got.size(), expected.size());
    ASSERT_GT(got.size(), 5 * kMegaframeBytes);
    EXPECT_TRUE(got.substr(0, 3 * kMegaframeBytes) == expected.substr(0, 3 * kMegaframeBytes));
    EXPECT_EQ(got.substr(3 * kMegaframeBytes, kMegaframeBytes), std::string(kMegaframeBytes, '\0'));
    EXPECT_TRUE(got.substr(4 * kMegaframeBytes) == expected.substr(4 * kMegaframeBytes));
    for (const char* line :
         {"WARNING: SFN: a MIP (PID 0x0015) is not valid (CRC_32 error): ignored\n",
          "WARNING: SFN: no valid MIP for more than a mega-frame: muted from mega-frame 3 "
          "(--mip-loss mute)\n",
          "SFN: MIPs are back: on air again from mega-frame 4\n",
          "mega-frames without one; 0 mega-frames late, 1 muted\n"})
        EXPECT_NE(mute.console.find(line), std::string::npos) << line << mute.console;

    const std::string events = read_file(path("muted.events"));
    EXPECT_NE(events.find("\"event\":\"sfn_mute_begin\",\"megaframe\":3}\n"), std::string::npos)
        << events;
    EXPECT_NE(events.find("\"event\":\"sfn_mute_end\",\"megaframe\":4}\n"), std::string::npos)
        << events;

    const RunResult stop = run(stopped);
    EXPECT_NE(read_file(path("stopped.events")).find("\"event\":\"sfn_stop\",\"megaframe\":3}\n"),
              std::string::npos);
    EXPECT_EQ(stop.exit_code, 1);
    EXPECT_NE(stop.console.find("FATAL ERROR: SFN: no valid MIP for more than a mega-frame "
                                "before mega-frame 3: transmission stopped (--mip-loss stop)\n"),
              std::string::npos)
        << stop.console;
    // Nothing of mega-frame 3 or later was written.
    EXPECT_EQ(read_file(path("stopped.bin")).size(), 3 * kMegaframeBytes);
}

// --mip-loss stop with each valid MIP moved into its mega-frame's second
// cycle (63 packets; its pointer 70 less): a run reading a cycle ahead has
// read mega-frame 3's MIP when it stops in that mega-frame's first cycle.
// The report counts what the cycles sent carried (mega-frame 0's MIP, those
// of 1 and 2 not valid, no loss counted yet), as one thread does.
TEST_F(SfnE2e, AStopCountsTheMipsOfTheCyclesSentOnly) {
    adapt("sfn.ts", 6 * kMegaframePackets + 10);
    std::string stream = spoil_mips(read_file(path("sfn.ts")), {2, 3});
    for (size_t at = 0; at + 71 * 188 <= stream.size(); at += 188 * kMegaframePackets) {
        const auto* packet = reinterpret_cast<const uint8_t*>(stream.data() + at);
        std::optional<Mip> mip = parse_mip(std::span<const uint8_t, 188>(packet, 188));
        if (!mip) continue;
        mip->pointer -= 70;
        const auto moved = encode_mip(*mip, packet[3] & 0x0F);
        ASSERT_TRUE(moved);
        stream.replace(at, 188, stream, at + 70 * 188, 188);
        stream.replace(at + 70 * 188, 188, reinterpret_cast<const char*>(moved->data()), 188);
    }
    write_file(path("moved.ts"), stream);
    std::string one_thread;
    for (const std::string threads : {"1", "2", "3"}) {
        EXPECT_EQ(run({"-i", "moved.ts", "-o", "moved", "-d", "t", "--sfn", "--time-source",
                       "fixed:1800000000", "--mip-loss", "stop", "-v", "2", "--threads", threads})
                      .exit_code,
                  1);
        const std::string log = log_without_timing(read_file(path("test.log")));
        EXPECT_NE(log.find("SFN: 1 MIPs in place, 2 not valid, 0 misplaced, 0 with other TPS, 0 "
                           "mega-frames without one;"),
                  std::string::npos)
            << threads;
        if (one_thread.empty()) one_thread = log;
        EXPECT_TRUE(log == one_thread) << threads;
    }
}

#ifdef SOAPY_MODULE_DIR
// --sfn to the test device (pace=0: its clock runs with the samples it
// takes, and jumps to a timed burst's time): every mega-frame starts a
// timed burst at its emission time, which the device records.
class SfnDeviceE2e : public SfnE2e {
  protected:
    void SetUp() override {
        SfnE2e::SetUp();
        ::setenv("SOAPY_SDR_PLUGIN_PATH", SOAPY_MODULE_DIR, 1);
    }
    // A run to the device, recording into NAME.rec, NAME.times, NAME.settings.
    RunResult send(const std::string& name, std::vector<std::string> arguments) {
        const std::string device =
            "driver=terramod_test,pace=0,record=" + path(name + ".rec").string() +
            ",times=" + path(name + ".times").string() +
            ",settings=" + path(name + ".settings").string();
        arguments.push_back("--device");
        arguments.push_back(device);
        for (const char* more : {"--sample-type", "cs16", "--sfn", "--time-source",
                                 "fixed:1800000000", "--frequency", "474e6", "--gain", "20"})
            arguments.push_back(more);
        return run(arguments);
    }
};

// 2k 1/32 at 8 MHz: 4 595 712 samples (502.656 ms) a mega-frame; the first
// leaves at the pulse 1 800 000 000 + 0.502656 s + 0.25 s.
constexpr int64_t kMegaframeSamples = 4'595'712;
constexpr int64_t kFirstEmissionNs = 1'800'000'000'752'656'000;
constexpr int64_t kMegaframeNs = 502'656'000;

std::string times_lines(int64_t first_ns, int64_t first_megaframe, int64_t count) {
    std::string lines;
    for (int64_t k = 0; k < count; ++k)
        lines += std::to_string(k * kMegaframeSamples) + " " +
                 std::to_string(first_ns + (first_megaframe + k) * kMegaframeNs) + "\n";
    return lines;
}

TEST_F(SfnDeviceE2e, SameSamplesAndTimesWhateverTheStartAndThreads) {
    adapt("sfn.ts", 3 * kMegaframePackets + 100);
    const std::string stream = read_file(path("sfn.ts"));
    write_file(path("late.ts"), make_stream(188 * 37) + stream);
    struct Case {
        std::string name;
        std::vector<std::string> arguments;
        int64_t offset_ns;
    };
    const Case cases[] = {
        {"as_is", {"-i", "sfn.ts"}, 0},
        {"late", {"-i", "late.ts"}, 0},
        {"threads", {"-i", "sfn.ts", "--threads", "3"}, 0},
        // The MIPs address -1500 ns to transmitter 7.
        {"tx7", {"-i", "sfn.ts", "--tx-id", "7"}, -1'500},
    };
    for (const Case& test : cases) {
        const RunResult result = send(test.name, test.arguments);
        ASSERT_EQ(result.exit_code, 0) << result.console;
        // Mega-frames 0, 1 and the start of 2, each a timed burst.
        EXPECT_EQ(read_file(path(test.name + ".times")),
                  times_lines(kFirstEmissionNs + test.offset_ns, 0, 3))
            << test.name;
        EXPECT_NE(read_file(path(test.name + ".settings"))
                      .find("0 hardware_time 1800000000000000000 now\n"),
                  std::string::npos);
    }
    const std::string as_is = read_file(path("as_is.rec"));
    ASSERT_GT(as_is.size(), static_cast<size_t>(8 * kMegaframeSamples));
    EXPECT_TRUE(read_file(path("late.rec")) == as_is);
    EXPECT_TRUE(read_file(path("threads.rec")) == as_is);
}

TEST_F(SfnDeviceE2e, LateMegaframesAreNotSent) {
    // One second early: mega-frame 0's time is 0.247344 s before the device
    // clock's start, mega-frame 1's 0.255312 s after it.
    adapt("sfn.ts", 3 * kMegaframePackets + 100);
    ASSERT_EQ(send("on_time", {"-i", "sfn.ts"}).exit_code, 0);
    const RunResult early =
        send("early", {"-i", "sfn.ts", "--sfn-offset", "-1", "-l", "early.log"});
    ASSERT_EQ(early.exit_code, 0) << early.console;
    EXPECT_EQ(read_file(path("early.times")), times_lines(kFirstEmissionNs - 1'000'000'000, 1, 2));
    EXPECT_TRUE(read_file(path("early.rec")) ==
                read_file(path("on_time.rec")).substr(4 * kMegaframeSamples));
    const std::string log = read_file(path("early.log"));
    EXPECT_NE(log.find("WARNING: SFN: mega-frame 0 would leave late (its time "
                       "2027-01-15T07:59:59.752656Z"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("mega-frames without one; 1 mega-frames late, 0 muted\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("SDR underflows: 0, late bursts: 0"), std::string::npos) << log;
}

TEST_F(SfnDeviceE2e, FrequencyOffsetAndPowerFromTheMips) {
    // Two mega-frames at 40 dBm and -100 Hz, then the network asks 43 dBm
    // and +250 Hz.
    adapt_two("ab.ts", "--tx-frequency-offset 7:-100 --tx-power 7:40",
              "--tx-frequency-offset 7:250 --tx-power 7:43");
    const RunResult result = send("ab", {"-i", "ab.ts", "--tx-id", "7", "-l", "ab.log"});
    ASSERT_EQ(result.exit_code, 0) << result.console;
    // Set before the first sample, then as the run's mega-frame 2 (sfnadapt's
    // b.ts mega-frame 1, timed by the MIP of b.ts mega-frame 0) is to start:
    // after mega-frame 1's samples (the sink holds a few back for the end of
    // the burst).
    const std::string changes = read_file(path("ab.settings"));
    EXPECT_NE(changes.find("0 frequency 473999900\n"), std::string::npos) << changes;
    for (const char* change : {" frequency 474000250\n", " gain 23\n"}) {
        const size_t at = changes.find(change);
        ASSERT_NE(at, std::string::npos) << change << changes;
        const size_t line = changes.rfind('\n', at) + 1;
        const int64_t received = std::stoll(changes.substr(line, at - line));
        EXPECT_GT(received, 2 * kMegaframeSamples - 8192) << change;
        EXPECT_LE(received, 2 * kMegaframeSamples) << change;
    }
    EXPECT_EQ(read_file(path("ab.times")), times_lines(kFirstEmissionNs, 0, 3));
    const std::string log = read_file(path("ab.log"));
    for (const char* line : {"SFN: tx_power 40.0 dBm from the MIP taken as the gain of 20.0 dB\n",
                             "SFN: frequency offset -100 Hz from the MIP: 473999900 Hz\n",
                             "SFN: frequency offset +250 Hz from the MIP: 474000250 Hz\n",
                             "SFN: tx_power 43.0 dBm from the MIP: gain 23.0 dB\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line << log;
}
#endif

}  // namespace
}  // namespace terramod::e2e
