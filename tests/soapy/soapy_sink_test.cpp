// SoapySink against the "terramod_test" device module (tests/soapy_device), which records what
// it sends to a file: the recording is the oracle for what reached the device.

#include "io/soapy_sink.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/utc_clock.h"
#include "io/sigmf.h"

namespace terramod {
namespace {

constexpr double kDvbt8MhzRate = 64e6 / 7;  // 9142857.142857...

std::vector<uint8_t> file_bytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Distinct, non-trivial bytes: a linear congruential sequence.
std::vector<uint8_t> test_bytes(size_t count, uint32_t seed) {
    std::vector<uint8_t> bytes(count);
    for (uint8_t& byte : bytes) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(seed >> 24);
    }
    return bytes;
}

class SoapySinkTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { setenv("SOAPY_SDR_PLUGIN_PATH", SOAPY_MODULE_DIR, 0); }

    void SetUp() override {
        log_.capture_to(&messages_);
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        record_ = std::string("soapy_") + test->name() + ".bin";
        for (char& c : record_) c = (c == '/') ? '_' : c;
        std::filesystem::remove(record_);
    }

    SoapySinkSettings settings(const std::string& extra_args, const std::string& format = "CF32") {
        SoapySinkSettings result;
        result.device_args = "driver=terramod_test,record=" + record_ + extra_args;
        result.frequency_hz = 474e6;
        result.sample_rate = kDvbt8MhzRate;
        result.stream_format = format;
        return result;
    }

    Log log_{4, nullptr};
    std::string messages_;
    std::string record_;
};

struct RecordingCase {
    const char* format;
    size_t element_size;
    std::vector<size_t> cycle_elements;
    const char* device_args;
};

void PrintTo(const RecordingCase& c, std::ostream* out) {
    *out << c.format << " cycles " << ::testing::PrintToString(c.cycle_elements) << c.device_args;
}

class SoapyRecordingTest : public SoapySinkTest,
                           public ::testing::WithParamInterface<RecordingCase> {};

TEST_P(SoapyRecordingTest, DeviceSendsEveryWrittenByteInOrder) {
    const RecordingCase& c = GetParam();
    std::unique_ptr<SoapySink> sink = SoapySink::open(settings(c.device_args, c.format), log_);
    ASSERT_NE(sink, nullptr) << messages_;
    std::vector<uint8_t> written;
    uint32_t seed = 1;
    for (size_t elements : c.cycle_elements) {
        const std::vector<uint8_t> cycle = test_bytes(elements * c.element_size, seed++);
        ASSERT_TRUE(sink->write_samples(cycle, CycleTime{})) << messages_;
        written.insert(written.end(), cycle.begin(), cycle.end());
    }
    ASSERT_TRUE(sink->close()) << messages_;
    // Unpaced, the device never runs dry (paced, a loaded machine may be late).
    if (std::string(c.device_args).find("pace=0") != std::string::npos) {
        EXPECT_EQ(sink->underflows(), 0u);
    }
    const std::vector<uint8_t> recorded = file_bytes(record_);
    ASSERT_EQ(recorded.size(), written.size());
    EXPECT_TRUE(recorded == written);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, SoapyRecordingTest,
    ::testing::Values(
        // Cycles above and below the held-back tail; partial writes forced by a small MTU.
        RecordingCase{"CF32", 8, {143616, 143616, 100, 3}, ",pace=0"},
        RecordingCase{"CS16", 4, {143616, 7, 50000}, ",pace=0"},
        RecordingCase{"CF32", 8, {20000, 999, 20001}, ",pace=0,mtu=333,buffer=5000"},
        RecordingCase{"CS16", 4, {1}, ",pace=0"},
        // Paced through a small buffer: close has to wait for the device to send what it holds,
        // acknowledged (status) or by the clock (no status, or no acknowledgement).
        RecordingCase{"CF32", 8, {100000, 100000, 100000}, ",pace=1,buffer=100000"},
        RecordingCase{"CS16", 4, {150000, 150000}, ",pace=1,buffer=100000,report=none"},
        RecordingCase{"CF32", 8, {150000, 150000}, ",pace=1,buffer=100000,ack=0"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

struct RefusalCase {
    const char* name;
    const char* device_args;
    double rate;
    const char* expected_message;
};

void PrintTo(const RefusalCase& c, std::ostream* out) {
    *out << c.name;
}

class SoapyRateTest : public SoapySinkTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(SoapyRateTest, RateTheDeviceCannotDoExactlyIsRefusedBeforeAnythingIsSent) {
    const RefusalCase& c = GetParam();
    SoapySinkSettings asked = settings(c.device_args);
    asked.sample_rate = c.rate;
    std::unique_ptr<SoapySink> sink = SoapySink::open(asked, log_);
    EXPECT_EQ(sink, nullptr);
    EXPECT_NE(messages_.find(c.expected_message), std::string::npos) << messages_;
    // The device was opened (it created its recording) and received nothing.
    EXPECT_TRUE(std::filesystem::exists(record_));
    EXPECT_EQ(file_bytes(record_).size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, SoapyRateTest,
    ::testing::Values(
        RefusalCase{"OutsideRange", "", 4 * kDvbt8MhzRate,
                    "FATAL ERROR: the SDR device can't transmit at 36571428.571429 samples/s "
                    "exactly (its rates: 1000000 to 20000000 samples/s)\n"},
        RefusalCase{"NotInList", ",rates=6e6/8e6", kDvbt8MhzRate,
                    "FATAL ERROR: the SDR device can't transmit at 9142857.142857 samples/s "
                    "exactly (its rates: 6000000, 8000000 samples/s)\n"},
        RefusalCase{"OffStep", ",rates=1e6:20e6:1e5", kDvbt8MhzRate,
                    "(its rates: 1000000 to 20000000 in steps of 100000 samples/s)\n"},
        RefusalCase{"DeviceSetsAnotherRate", ",clock=40e6", kDvbt8MhzRate,
                    "FATAL ERROR: the SDR device set 10000000 samples/s when asked for "
                    "9142857.142857 samples/s"}),
    [](const auto& info) { return std::string(info.param.name); });

struct AcceptedRateCase {
    const char* device_args;
    double rate;
    const char* reported;
};

void PrintTo(const AcceptedRateCase& c, std::ostream* out) {
    *out << c.device_args << " " << c.rate;
}

class SoapyAcceptedRateTest : public SoapySinkTest,
                              public ::testing::WithParamInterface<AcceptedRateCase> {};

TEST_P(SoapyAcceptedRateTest, RateTheDeviceDoesExactlyIsSetAndReported) {
    const AcceptedRateCase& c = GetParam();
    SoapySinkSettings asked = settings(c.device_args);
    asked.sample_rate = c.rate;
    std::unique_ptr<SoapySink> sink = SoapySink::open(asked, log_);
    ASSERT_NE(sink, nullptr) << messages_;
    EXPECT_NE(messages_.find(c.reported), std::string::npos) << messages_;
    EXPECT_TRUE(sink->close());
}

INSTANTIATE_TEST_SUITE_P(
    Rates, SoapyAcceptedRateTest,
    ::testing::Values(
        AcceptedRateCase{"", kDvbt8MhzRate, "SDR sample rate: 9142857.142857 samples/s"},
        AcceptedRateCase{",rates=6e6/20e6:80e6", 8e6 * 8 / 7 * 8,
                         "SDR sample rate: 73142857.142857 samples/s"},
        AcceptedRateCase{",rates=1e6:20e6:1e5", 8e6, "SDR sample rate: 8000000 samples/s"},
        AcceptedRateCase{",rates=6e6/8e6", 6e6, "SDR sample rate: 6000000 samples/s"},
        AcceptedRateCase{",clock=64e6", kDvbt8MhzRate,
                         "SDR sample rate: 9142857.142857 samples/s"}));

struct SetUpCase {
    const char* name;
    std::optional<double> gain;
    std::optional<std::string> antenna;
    size_t channel;
    double frequency;
    const char* format;
    const char* expected_message;
};

void PrintTo(const SetUpCase& c, std::ostream* out) {
    *out << c.name;
}

class SoapySetUpTest : public SoapySinkTest, public ::testing::WithParamInterface<SetUpCase> {};

TEST_P(SoapySetUpTest, DeviceSetUp) {
    const SetUpCase& c = GetParam();
    SoapySinkSettings asked = settings(",pace=0", c.format);
    asked.gain_db = c.gain;
    asked.antenna = c.antenna;
    asked.channel = c.channel;
    asked.frequency_hz = c.frequency;
    std::unique_ptr<SoapySink> sink = SoapySink::open(asked, log_);
    EXPECT_NE(messages_.find(c.expected_message), std::string::npos) << messages_;
    const bool refused = std::strncmp(c.expected_message, "FATAL", 5) == 0;
    EXPECT_EQ(sink == nullptr, refused);
    if (sink) {
        EXPECT_TRUE(sink->close());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SoapySetUpTest,
    ::testing::Values(
        // The test device starts at 30 dB: the minimum must be set, not assumed.
        SetUpCase{"GainDefaultsToMinimum", {}, {}, 0, 474e6, "CF32", "SDR gain: 0 dB\n"},
        SetUpCase{"GainAsked", 20.5, {}, 0, 474e6, "CF32", "SDR gain: 20.5 dB\n"},
        SetUpCase{"GainTooHigh",
                  61,
                  {},
                  0,
                  474e6,
                  "CF32",
                  "FATAL ERROR: gain 61 dB is outside the SDR device's range 0 to 60 dB\n"},
        SetUpCase{"AntennaDefault", {}, {}, 0, 474e6, "CF32", "SDR antenna: TX/RX\n"},
        SetUpCase{"AntennaAsked", {}, "TX2", 0, 474e6, "CS16", "SDR antenna: TX2\n"},
        SetUpCase{"AntennaUnknown",
                  {},
                  "RX",
                  0,
                  474e6,
                  "CF32",
                  "FATAL ERROR: the SDR device has no antenna \"RX\" (its antennas: TX/RX, "
                  "TX2)\n"},
        SetUpCase{"Frequency", {}, {}, 0, 474e6, "CF32", "SDR frequency: 474000000 Hz\n"},
        SetUpCase{"FrequencyOutOfRange",
                  {},
                  {},
                  0,
                  7e9,
                  "CF32",
                  "FATAL ERROR: the SDR device can't tune to 7000000000 Hz (its range: 1000000 "
                  "to 6000000000 Hz)\n"},
        SetUpCase{"NoSuchChannel",
                  {},
                  {},
                  1,
                  474e6,
                  "CF32",
                  "FATAL ERROR: the SDR device has no transmit channel 1 (it has 1)\n"},
        SetUpCase{"FormatUnknown",
                  {},
                  {},
                  0,
                  474e6,
                  "CS8",
                  "FATAL ERROR: SDR stream format \"CS8\" is not CF32 or CS16\n"},
        SetUpCase{"Report",
                  {},
                  {},
                  0,
                  474e6,
                  "CS16",
                  "SDR device: terramod_test (terramod test transmitter), transmit channel 0\n"
                  "SDR sample rate: 9142857.142857 samples/s, stream format CS16\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SoapySinkTest, UnknownDeviceIsRefused) {
    SoapySinkSettings asked = settings("");
    asked.device_args = "driver=no_such_radio";
    EXPECT_EQ(SoapySink::open(asked, log_), nullptr);
    EXPECT_NE(messages_.find("FATAL ERROR: no SoapySDR device \"driver=no_such_radio\" ("),
              std::string::npos)
        << messages_;
    EXPECT_NE(messages_.find("SoapySDRUtil --find lists the devices\n"), std::string::npos);
}

class SoapyEventTest : public SoapySinkTest, public ::testing::WithParamInterface<const char*> {};

// Through readStreamStatus or through writeStream's return (the write is then tried again). The
// small buffer makes the device send the samples with events before the last writes.
TEST_P(SoapyEventTest, ReportedUnderflowAndLateBurstAreCountedWarnedAndTotalled) {
    const std::string report = GetParam();
    auto sink = SoapySink::open(
        settings(",pace=0,underflow_at=3000,late_at=5000,mtu=1000,buffer=2000,report=" + report),
        log_);
    ASSERT_NE(sink, nullptr) << messages_;
    ASSERT_TRUE(sink->write_samples(test_bytes(10000 * 8, 7), CycleTime{}));
    ASSERT_TRUE(sink->close());
    EXPECT_EQ(sink->underflows(), 1u);
    EXPECT_EQ(sink->late_bursts(), 1u);
    sink->report_totals();
    // Both may come in the same poll: one warning or two.
    EXPECT_TRUE(std::regex_search(
        messages_, std::regex("WARNING: SDR underflows: 1, late bursts: [01] so far\n")))
        << messages_;
    EXPECT_NE(messages_.find("WARNING: SDR underflows: 1, late bursts: 1, stream errors: 0\n"),
              std::string::npos)
        << messages_;
    EXPECT_TRUE(file_bytes(record_) == test_bytes(10000 * 8, 7));
}

INSTANTIATE_TEST_SUITE_P(Reports, SoapyEventTest, ::testing::Values("status", "write"));

size_t count_of(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// Events are warned of at most once per interval: with an interval longer than the run, once;
// with none, once per event (reported through writeStream, each comes in a poll of its own).
TEST_F(SoapySinkTest, EventWarningsAreRateLimited) {
    for (const auto& [interval, warnings] : {std::pair{std::chrono::milliseconds(3600000), 1u},
                                             std::pair{std::chrono::milliseconds(0), 2u}}) {
        messages_.clear();
        SoapySinkSettings asked =
            settings(",pace=0,underflow_at=2000,late_at=4000,mtu=500,buffer=1000,report=write");
        asked.warning_interval = interval;
        auto sink = SoapySink::open(asked, log_);
        ASSERT_NE(sink, nullptr) << messages_;
        ASSERT_TRUE(sink->write_samples(test_bytes(10000 * 8, 9), CycleTime{}));
        ASSERT_TRUE(sink->close());
        EXPECT_EQ(count_of(messages_, " so far\n"), warnings) << messages_;
    }
}

TEST_F(SoapySinkTest, HostFallingBehindAPacedDeviceIsAnUnderflow) {
    SoapySinkSettings asked = settings(",pace=1");
    asked.sample_rate = 1e6;
    auto sink = SoapySink::open(asked, log_);
    ASSERT_NE(sink, nullptr) << messages_;
    ASSERT_TRUE(sink->write_samples(test_bytes(20000 * 8, 1), CycleTime{}));  // 20 ms of signal
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(sink->write_samples(test_bytes(20000 * 8, 2), CycleTime{}));
    ASSERT_TRUE(sink->close());
    EXPECT_GE(sink->underflows(), 1u);
    sink->report_totals();
    EXPECT_NE(messages_.find("WARNING: SDR underflows: "), std::string::npos) << messages_;
}

// A hung device must not hang the transmitter (nor its stop on a signal): the write fails.
TEST_F(SoapySinkTest, DeviceThatTakesNoMoreSamplesFailsTheWrite) {
    SoapySinkSettings asked = settings(",pace=0,stall_at=1000,buffer=4096");
    asked.stall_limit = std::chrono::milliseconds(300);
    auto sink = SoapySink::open(asked, log_);
    ASSERT_NE(sink, nullptr) << messages_;
    EXPECT_FALSE(sink->write_samples(test_bytes(20000 * 8, 5), CycleTime{}));
    EXPECT_NE(messages_.find("FATAL ERROR: the SDR device took no samples for 0.3 s\n"),
              std::string::npos)
        << messages_;
    EXPECT_TRUE(sink->close());  // the device is released all the same
    EXPECT_EQ(file_bytes(record_).size(), 1000u * 8);
}

TEST_F(SoapySinkTest, NoEventsTotalIsAQuietReport) {
    auto sink = SoapySink::open(settings(",pace=0"), log_);
    ASSERT_NE(sink, nullptr);
    ASSERT_TRUE(sink->write_samples(test_bytes(4000 * 8, 3), CycleTime{}));
    ASSERT_TRUE(sink->close());
    log_.set_verbosity(1);
    messages_.clear();
    sink->report_totals();
    EXPECT_EQ(messages_, "");
    log_.set_verbosity(2);
    sink->report_totals();
    EXPECT_EQ(messages_, "SDR underflows: 0, late bursts: 0, stream errors: 0\n");
}

TEST_F(SoapySinkTest, WritesOfPartSamplesOrAfterCloseFail) {
    auto sink = SoapySink::open(settings(",pace=0", "CS16"), log_);
    ASSERT_NE(sink, nullptr);
    EXPECT_FALSE(sink->write_samples(test_bytes(4 * 10 + 2, 3), CycleTime{}));
    EXPECT_NE(messages_.find("FATAL ERROR: 42 bytes are not whole CS16 samples\n"),
              std::string::npos);
    ASSERT_TRUE(sink->close());
    EXPECT_FALSE(sink->write_samples(test_bytes(40, 3), CycleTime{}));
    EXPECT_NE(messages_.find("FATAL ERROR: the SDR stream is not open\n"), std::string::npos);
    EXPECT_TRUE(sink->close());  // a second close does nothing
    EXPECT_EQ(file_bytes(record_).size(), 0u);
}

TEST_F(SoapySinkTest, DeviceIsReleasedForTheNextRun) {
    for (int run = 0; run < 3; ++run) {
        auto sink = SoapySink::open(settings(",pace=0"), log_);
        ASSERT_NE(sink, nullptr) << "run " << run << ": " << messages_;
        ASSERT_TRUE(sink->write_samples(test_bytes(2000 * 8, run), CycleTime{}));
        if (run < 2) {
            ASSERT_TRUE(sink->close());  // the last one by the destructor alone
        }
    }
}

// A timed write reaches the device with its time: SOAPY_SDR_HAS_TIME and timeNs with the call
// that carries the cycle's first sample, whatever the device takes per call, whether the cycle
// went out at once, was held back whole or was primed. The device lists "<first sample> <time>".
struct TimedCycle {
    size_t elements;
    std::optional<long long> time_ns;
};

struct TimedCase {
    const char* name;
    const char* device_args;
    size_t prime_samples;
    std::vector<TimedCycle> cycles;
    std::vector<std::string> expected_times;
};

void PrintTo(const TimedCase& c, std::ostream* out) {
    *out << c.name;
}

class SoapyTimedWriteTest : public SoapySinkTest,
                            public ::testing::WithParamInterface<TimedCase> {};

constexpr long long kT0 = 1765238400000000000;  // 2025-12-09T00:00:00Z

TEST_P(SoapyTimedWriteTest, EachTimedCycleReachesTheDeviceWithItsTime) {
    const TimedCase& c = GetParam();
    const std::string times = record_ + ".times";
    SoapySinkSettings asked = settings(std::string(c.device_args) + ",times=" + times);
    asked.prime_samples = c.prime_samples;
    std::unique_ptr<SoapySink> sink = SoapySink::open(asked, log_);
    ASSERT_NE(sink, nullptr) << messages_;
    uint32_t seed = 1;
    for (const TimedCycle& cycle : c.cycles) {
        CycleTime time;
        time.transmit_time_ns = cycle.time_ns;
        ASSERT_TRUE(sink->write_samples(test_bytes(cycle.elements * 8, seed++), time)) << messages_;
    }
    ASSERT_TRUE(sink->close()) << messages_;
    std::ifstream listed(times);
    std::vector<std::string> lines;
    for (std::string line; std::getline(listed, line);) lines.push_back(line);
    EXPECT_EQ(lines, c.expected_times);
    std::filesystem::remove(times);
}

INSTANTIATE_TEST_SUITE_P(
    Times, SoapyTimedWriteTest,
    ::testing::Values(
        // The 500-sample cycle is held back whole (the tail kept for the end of the burst): its
        // time goes out with it, before the next cycle's. The untimed cycle adds no time.
        TimedCase{
            "HeldBack",
            ",pace=0",
            0,
            {{5000, kT0}, {500, kT0 + 546875}, {3000, kT0 + 601562}, {2000, std::nullopt}},
            {"0 1765238400000000000", "5000 1765238400000546875", "5500 1765238400000601562"}},
        // The device takes 333 samples per call: the time goes with the first call only.
        TimedCase{"SmallMtu",
                  ",pace=0,mtu=333,buffer=5000",
                  0,
                  {{5000, kT0}, {3000, kT0 + 546875}},
                  {"0 1765238400000000000", "5000 1765238400000546875"}},
        // Primed: the cycles gathered go out as one burst at the first one's time.
        TimedCase{"Primed",
                  ",pace=0",
                  6000,
                  {{5000, kT0}, {500, kT0 + 546875}, {3000, kT0 + 601562}},
                  {"0 1765238400000000000"}},
        // No time base (every run today): the device is given no time.
        TimedCase{"Untimed", ",pace=0", 0, {{5000, std::nullopt}, {3000, std::nullopt}}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

std::vector<std::string> file_lines(const std::string& path) {
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
}

// What the set-up reports, unchanged whatever the clock settings.
constexpr const char* kSetUpReport =
    "SDR device: terramod_test (terramod test transmitter), transmit channel 0\n"
    "SDR sample rate: 9142857.142857 samples/s, stream format CF32\n"
    "SDR frequency: 474000000 Hz\n"
    "SDR gain: 0 dB\n"
    "SDR antenna: TX/RX\n";

// The clock source is set first (the device's synthesisers lock to it), as the device spells it;
// one it does not list is refused before anything else is set. Without one, nothing is asked and
// the set-up report is as it always was.
struct ClockSourceCase {
    const char* name;
    std::optional<std::string> clock_source;
    std::vector<std::string> expected_settings;  // the device's settings= file
    const char* expected_log;  // before the set-up report (refused: the whole log)
};

void PrintTo(const ClockSourceCase& c, std::ostream* out) {
    *out << c.name;
}

class SoapyClockSourceTest : public SoapySinkTest,
                             public ::testing::WithParamInterface<ClockSourceCase> {};

TEST_P(SoapyClockSourceTest, ClockSourceIsSetFirstOrRefused) {
    const ClockSourceCase& c = GetParam();
    const std::string settings_file = record_ + ".settings";
    SoapySinkSettings asked = settings(",pace=0,settings=" + settings_file);
    asked.clock_source = c.clock_source;
    std::unique_ptr<SoapySink> sink = SoapySink::open(asked, log_);
    const bool refused = std::strncmp(c.expected_log, "FATAL", 5) == 0;
    EXPECT_EQ(sink == nullptr, refused);
    EXPECT_EQ(messages_, std::string(c.expected_log) + (refused ? "" : kSetUpReport));
    if (sink) {
        EXPECT_TRUE(sink->close());
    }
    EXPECT_EQ(file_lines(settings_file), c.expected_settings);
    std::filesystem::remove(settings_file);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, SoapyClockSourceTest,
    ::testing::Values(
        ClockSourceCase{"None", std::nullopt, {"0 frequency 474000000", "0 gain 0"}, ""},
        ClockSourceCase{"External",
                        "external",
                        {"0 clock_source external", "0 frequency 474000000", "0 gain 0"},
                        "SDR clock source: external\n"},
        ClockSourceCase{"SpelledOtherwise",
                        "EXTERNAL",
                        {"0 clock_source external", "0 frequency 474000000", "0 gain 0"},
                        "SDR clock source: external\n"},
        ClockSourceCase{"Unknown",
                        "gpsdo",
                        {},
                        "FATAL ERROR: the SDR device has no clock source \"gpsdo\" (its clock "
                        "sources: internal, external)\n"}),
    [](const auto& info) { return std::string(info.param.name); });

constexpr long long kFixedTime = 1765238400000125000;  // 2025-12-09T00:00:00.000125Z

// The hardware clock is set last before the stream starts. The time set is read back from the
// device's settings= file: a fixed time exactly; the system clock's between the readings of the
// system clock before and after the set-up; the next PPS pulse's a whole second, the pulse past
// when the set-up ends. With no samples sent yet, the device's clock still reads the time set.
enum class TimeSet { kExactly, kDuringSetUp, kWholeSecondDuringSetUp };

struct ClockSettingCase {
    const char* name;
    const char* device_args;
    DeviceClockSetting setting;
    TimeSet time_set;
    // The settings= file after frequency and gain, "<T>" for the time set; the log before the
    // set-up report, "<T>" for the time set in ISO 8601.
    std::vector<std::string> expected_settings;
    const char* expected_log;
};

void PrintTo(const ClockSettingCase& c, std::ostream* out) {
    *out << c.name;
}

class SoapyClockSettingTest : public SoapySinkTest,
                              public ::testing::WithParamInterface<ClockSettingCase> {};

std::string with_time(std::string text, const std::string& time) {
    const size_t at = text.find("<T>");
    if (at != std::string::npos) text.replace(at, 3, time);
    return text;
}

TEST_P(SoapyClockSettingTest, HardwareClockIsSetAsAskedOrRefused) {
    const ClockSettingCase& c = GetParam();
    const std::string settings_file = record_ + ".settings";
    SoapySinkSettings asked = settings(std::string(c.device_args) + ",settings=" + settings_file);
    asked.clock_setting = c.setting;
    asked.fixed_time_ns = kFixedTime;
    const int64_t before = utc_now_ns();
    std::unique_ptr<SoapySink> sink = SoapySink::open(asked, log_);
    const int64_t after = utc_now_ns();
    const bool refused = std::strncmp(c.expected_log, "FATAL", 5) == 0;
    ASSERT_EQ(sink == nullptr, refused) << messages_;
    std::vector<std::string> lines = file_lines(settings_file);
    std::filesystem::remove(settings_file);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "0 frequency 474000000");
    EXPECT_EQ(lines[1], "0 gain 0");
    lines.erase(lines.begin(), lines.begin() + 2);
    if (refused) {
        EXPECT_EQ(messages_, c.expected_log);
        EXPECT_EQ(lines, c.expected_settings);
        return;
    }
    // The time set, from the device's own line.
    ASSERT_EQ(lines.size(), c.expected_settings.size());
    std::smatch time_line;
    ASSERT_TRUE(std::regex_search(lines.back(), time_line, std::regex("^0 hardware_time (\\d+) ")))
        << lines.back();
    const int64_t time_set = std::stoll(time_line[1]);
    switch (c.time_set) {
        case TimeSet::kExactly:
            EXPECT_EQ(time_set, kFixedTime);
            break;
        case TimeSet::kDuringSetUp:
            EXPECT_GE(time_set, before);
            EXPECT_LE(time_set, after);
            break;
        case TimeSet::kWholeSecondDuringSetUp:
            EXPECT_EQ(time_set % 1000000000, 0);
            EXPECT_GT(time_set, before);
            EXPECT_LT(time_set, after);
            break;
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i], with_time(c.expected_settings[i], std::to_string(time_set)));
    }
    EXPECT_EQ(messages_, with_time(c.expected_log, iso8601_utc(time_set)) + kSetUpReport);
    EXPECT_EQ(sink->hardware_time_ns(), time_set);
    EXPECT_TRUE(sink->close());
    EXPECT_EQ(sink->hardware_time_ns(), std::nullopt);  // released
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SoapyClockSettingTest,
    ::testing::Values(
        ClockSettingCase{"Fixed",
                         ",pace=0",
                         DeviceClockSetting::kFixed,
                         TimeSet::kExactly,
                         {"0 hardware_time <T> now"},
                         "SDR hardware time set: 2025-12-09T00:00:00.000125Z\n"},
        ClockSettingCase{"SystemClock",
                         ",pace=0",
                         DeviceClockSetting::kSystemClock,
                         TimeSet::kDuringSetUp,
                         {"0 hardware_time <T> now"},
                         "SDR hardware time set from the system clock: <T>\n"},
        // The one case that waits for a pulse (1 to 2 s). The device spells its source "PPS":
        // the sink must set it so.
        ClockSettingCase{"NextPps",
                         ",pace=0,time_sources=none/PPS",
                         DeviceClockSetting::kNextPps,
                         TimeSet::kWholeSecondDuringSetUp,
                         {"0 time_source PPS", "0 hardware_time <T> PPS"},
                         "SDR time source: PPS\nSDR hardware time set at the PPS pulse: <T>\n"},
        ClockSettingCase{"NoPpsSource",
                         ",pace=0,time_sources=none/gpsdo",
                         DeviceClockSetting::kNextPps,
                         TimeSet::kExactly,
                         {},
                         "FATAL ERROR: the SDR device has no PPS time source (its time sources: "
                         "none, gpsdo)\n"},
        ClockSettingCase{"NoHardwareTime",
                         ",pace=0,hardware_time=0",
                         DeviceClockSetting::kFixed,
                         TimeSet::kExactly,
                         {},
                         "FATAL ERROR: the SDR device terramod_test (terramod test transmitter) "
                         "keeps no hardware time: its clock can't be set\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// A device without hardware time is no fault while no time is asked of it.
TEST_F(SoapySinkTest, DeviceWithoutHardwareTimeGivesNoTime) {
    std::unique_ptr<SoapySink> sink = SoapySink::open(settings(",pace=0,hardware_time=0"), log_);
    ASSERT_NE(sink, nullptr) << messages_;
    EXPECT_EQ(messages_, kSetUpReport);
    EXPECT_EQ(sink->hardware_time_ns(), std::nullopt);
    EXPECT_TRUE(sink->close());
}

// Unpaced, the test device's clock runs with the samples it takes: at 8 MHz each sample is 125 ns
// exactly. The sink holds the tail of each write back for the end of the burst, so the device has
// taken a write's samples once the next write is made: with writes longer than that tail, each
// moves the clock on by exactly its own length.
TEST_F(SoapySinkTest, HardwareClockRunsWithTheSamplesSent) {
    struct Case {
        double rate;
        int64_t ns_per_sample;
        std::vector<size_t> cycles;
    };
    for (const Case& c :
         {Case{8e6, 125, {20000, 12000, 4096, 30000}}, Case{1e6, 1000, {5000, 7000, 6000}}}) {
        SCOPED_TRACE(c.rate);
        SoapySinkSettings asked = settings(",pace=0");
        asked.sample_rate = c.rate;
        asked.clock_setting = DeviceClockSetting::kFixed;
        asked.fixed_time_ns = kFixedTime;
        std::unique_ptr<SoapySink> sink = SoapySink::open(asked, log_);
        ASSERT_NE(sink, nullptr) << messages_;
        EXPECT_EQ(sink->hardware_time_ns(), kFixedTime);
        ASSERT_TRUE(sink->write_samples(test_bytes(c.cycles[0] * 8, 1), CycleTime{}));
        std::optional<int64_t> clock = sink->hardware_time_ns();
        ASSERT_TRUE(clock);
        EXPECT_GE(*clock, kFixedTime);
        EXPECT_LE(*clock, kFixedTime + static_cast<int64_t>(c.cycles[0]) * c.ns_per_sample);
        EXPECT_EQ((*clock - kFixedTime) % c.ns_per_sample, 0);
        for (size_t i = 1; i < c.cycles.size(); ++i) {
            ASSERT_TRUE(sink->write_samples(test_bytes(c.cycles[i] * 8, 1), CycleTime{}));
            const std::optional<int64_t> now = sink->hardware_time_ns();
            ASSERT_TRUE(now);
            EXPECT_EQ(*now - *clock, static_cast<int64_t>(c.cycles[i]) * c.ns_per_sample)
                << "write " << i;
            clock = now;
        }
        EXPECT_TRUE(sink->close());
    }
}

// Timed writes against the device's clock, set to a fixed time, at 8 MHz (125 ns a sample),
// unpaced: a write due after the samples before it makes the device idle until then (its clock
// moves on to that time); one due before them is late, counted as a late burst (through either
// report path) and sent all the same. After each write the device's clock has reached its time.
struct DeviceClockCase {
    const char* name;
    const char* report;
    std::vector<TimedCycle> cycles;
    std::vector<std::string> expected_times;
    uint64_t late_bursts;
};

void PrintTo(const DeviceClockCase& c, std::ostream* out) {
    *out << c.name;
}

class SoapyDeviceClockTest : public SoapySinkTest,
                             public ::testing::WithParamInterface<DeviceClockCase> {};

TEST_P(SoapyDeviceClockTest, TimedWritesMeetTheDeviceClock) {
    const DeviceClockCase& c = GetParam();
    const std::string times = record_ + ".times";
    SoapySinkSettings asked =
        settings(std::string(",pace=0,times=") + times + ",report=" + c.report);
    asked.sample_rate = 8e6;
    asked.clock_setting = DeviceClockSetting::kFixed;
    asked.fixed_time_ns = kFixedTime;
    std::unique_ptr<SoapySink> sink = SoapySink::open(asked, log_);
    ASSERT_NE(sink, nullptr) << messages_;
    uint32_t seed = 1;
    std::vector<uint8_t> written;
    for (const TimedCycle& cycle : c.cycles) {
        CycleTime time;
        time.transmit_time_ns = cycle.time_ns;
        const std::vector<uint8_t> samples = test_bytes(cycle.elements * 8, seed++);
        ASSERT_TRUE(sink->write_samples(samples, time)) << messages_;
        written.insert(written.end(), samples.begin(), samples.end());
        const std::optional<int64_t> clock = sink->hardware_time_ns();
        ASSERT_TRUE(clock);
        if (cycle.time_ns) {
            EXPECT_GE(*clock, *cycle.time_ns);
        }
    }
    ASSERT_TRUE(sink->close()) << messages_;
    EXPECT_EQ(file_lines(times), c.expected_times);
    EXPECT_EQ(sink->late_bursts(), c.late_bursts);
    EXPECT_EQ(sink->underflows(), 0u);
    EXPECT_TRUE(file_bytes(record_) == written);  // late samples are sent all the same
    std::filesystem::remove(times);
}

INSTANTIATE_TEST_SUITE_P(
    Bursts, SoapyDeviceClockTest,
    ::testing::Values(
        // 5000 samples after the first burst the clock reads +625000 ns; the second burst is a
        // second later: the device idles; its 3000 samples end at +1 s +375000 ns, which is when
        // the third is due: on time.
        DeviceClockCase{
            "IdleUntilDue",
            "status",
            {{5000, kFixedTime}, {3000, kFixedTime + 1000000000}, {2000, kFixedTime + 1000375000}},
            {"0 1765238400000125000", "5000 1765238401000125000", "8000 1765238401000500000"},
            0},
        // The same third burst one sample (125 ns) early: late, so the clock did move on.
        DeviceClockCase{
            "OneSampleEarly",
            "status",
            {{5000, kFixedTime}, {3000, kFixedTime + 1000000000}, {2000, kFixedTime + 1000374875}},
            {"0 1765238400000125000", "5000 1765238401000125000", "8000 1765238401000499875 late"},
            1},
        // Less than half a sample off still falls on the sample due.
        DeviceClockCase{"WithinHalfASample",
                        "status",
                        {{5000, kFixedTime}, {3000, kFixedTime + 625062}},
                        {"0 1765238400000125000", "5000 1765238400000750062"},
                        0},
        // A time in the past, reported through writeStream: late.
        DeviceClockCase{"PastThroughWrite",
                        "write",
                        {{5000, kFixedTime}, {3000, kFixedTime + 1000}, {2000, std::nullopt}},
                        {"0 1765238400000125000", "5000 1765238400000126000 late"},
                        1},
        DeviceClockCase{"PastAsTheLastWrite",
                        "write",
                        {{5000, kFixedTime}, {3000, kFixedTime - 1000000}},
                        {"0 1765238400000125000", "5000 1765238399999125000 late"},
                        1}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace terramod
