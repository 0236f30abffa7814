// The live source over inputs the test feeds by hand: the jitter buffer's
// first filling, null packets and the TS loss alarm when it runs dry, the
// filling again before packets go out, the backup input, and a run that is
// not paced waiting for its block and ending at a stop signal.
#include "net/live_source.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace terramod {
namespace {

using namespace std::chrono_literals;

constexpr size_t kPacket = 188;

// An input whose packets the test pushes; no socket, no thread.
class HandFedInput : public NetworkInput {
  public:
    explicit HandFedInput(std::string name) : NetworkInput(std::move(name), 10000) {}
    void start() override {}
    void stop() override {}
    // `count` packets of PID `pid`, numbered from `first` in their payload.
    void send(uint16_t pid, uint32_t first, size_t count) {
        std::vector<uint8_t> bytes(count * kPacket, 0);
        for (size_t index = 0; index < count; ++index) {
            uint8_t* packet = &bytes[index * kPacket];
            packet[0] = 0x47;
            packet[1] = static_cast<uint8_t>(pid >> 8);
            packet[2] = static_cast<uint8_t>(pid);
            packet[3] = static_cast<uint8_t>(0x10 | ((first + index) & 0x0F));
            const uint32_t number = first + static_cast<uint32_t>(index);
            std::memcpy(packet + 4, &number, sizeof number);
        }
        queue().push(bytes, PacketQueue::Clock::now());
    }
};

uint16_t pid_of(const uint8_t* packet) {
    return static_cast<uint16_t>((packet[1] & 0x1F) << 8 | packet[2]);
}
uint32_t number_of(const uint8_t* packet) {
    uint32_t number = 0;
    std::memcpy(&number, packet + 4, sizeof number);
    return number;
}

// The log's console text.
struct CapturedLog {
    char* text = nullptr;
    size_t size = 0;
    std::FILE* stream = open_memstream(&text, &size);
    Log log{4, stream};
    ~CapturedLog() {
        std::fclose(stream);
        std::free(text);
    }
    std::string contents() {
        std::fflush(stream);
        return std::string(text, size);
    }
};

struct Fixture {
    CapturedLog captured;
    HandFedInput* main = nullptr;
    HandFedInput* backup = nullptr;
    std::unique_ptr<LiveSource> source;

    explicit Fixture(LiveSourceSettings settings, bool with_backup = false) {
        auto main_input = std::make_unique<HandFedInput>("udp://main:1");
        main = main_input.get();
        std::unique_ptr<HandFedInput> backup_input;
        if (with_backup) {
            backup_input = std::make_unique<HandFedInput>("udp://backup:2");
            backup = backup_input.get();
        }
        source = std::make_unique<LiveSource>(std::move(main_input), std::move(backup_input),
                                              settings, captured.log);
    }
};

LiveSourceSettings paced(std::chrono::milliseconds buffer) {
    LiveSourceSettings settings;
    settings.paced = true;
    settings.buffer = buffer;
    return settings;
}

TEST(LiveSource, StartsOnlyOnceTheBufferHoldsItsTargetThenStuffsNullPacketsWhenDry) {
    Fixture fixture(paced(40ms));
    // The buffer's 40 ms count from the packets' arrival.
    const auto start = std::chrono::steady_clock::now();
    fixture.main->send(0x100, 0, 20);
    std::array<uint8_t, 10 * kPacket> block{};
    ASSERT_EQ(fixture.source->read_packets(block), block.size());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 40ms);
    for (size_t index = 0; index < 10; ++index) {
        EXPECT_EQ(pid_of(&block[index * kPacket]), 0x100);
        EXPECT_EQ(number_of(&block[index * kPacket]), index);
    }
    // Ten left, then the buffer is dry: the block's rest is null packets.
    std::array<uint8_t, 15 * kPacket> longer{};
    ASSERT_EQ(fixture.source->read_packets(longer), longer.size());
    for (size_t index = 0; index < 15; ++index)
        EXPECT_EQ(pid_of(&longer[index * kPacket]), index < 10 ? 0x100 : 0x1FFF) << index;
    EXPECT_FALSE(fixture.source->stalled());
    ASSERT_EQ(fixture.source->read_packets(block), block.size());
    EXPECT_TRUE(fixture.source->stalled());
    EXPECT_EQ(fixture.source->statistics().ts_losses, 1u);
    EXPECT_NE(fixture.captured.contents().find("WARNING: TS loss: no input from udp://main:1"),
              std::string::npos);
}

TEST(LiveSource, AfterALossPacketsGoOutOnlyOnceTheBufferIsFullAgain) {
    Fixture fixture(paced(30ms));
    fixture.main->send(0x100, 0, 4);
    std::array<uint8_t, 4 * kPacket> block{};
    ASSERT_EQ(fixture.source->read_available(block), block.size());
    EXPECT_EQ(fixture.source->read_available(block), 0u);  // the loss begins
    const uint64_t breaks = fixture.source->timing_breaks();
    fixture.main->send(0x100, 4, 4);
    EXPECT_EQ(fixture.source->read_available(block), 0u);  // filling again
    std::this_thread::sleep_for(35ms);
    ASSERT_EQ(fixture.source->read_available(block), block.size());
    EXPECT_EQ(number_of(&block[0]), 4u);
    EXPECT_FALSE(fixture.source->stalled());
    EXPECT_EQ(fixture.source->timing_breaks(), breaks + 1);
    const std::string log = fixture.captured.contents();
    EXPECT_NE(log.find("TS loss ended: input from udp://main:1 again; null packets from "),
              std::string::npos);
    EXPECT_GT(fixture.source->statistics().ts_loss_seconds, 0.030);
}

TEST(LiveSource, TheBackupTakesOverAfterTheSwitchTimeAndHandsBackOnceTheMainIsClean) {
    LiveSourceSettings settings = paced(20ms);
    settings.switch_after = 60ms;
    settings.clean_before_return = 80ms;
    Fixture fixture(settings, /*with_backup=*/true);
    std::array<uint8_t, kPacket> one{};
    fixture.main->send(0x100, 0, 1);
    fixture.backup->send(0x200, 0, 1);
    ASSERT_EQ(fixture.source->read_available(one), kPacket);
    EXPECT_EQ(pid_of(one.data()), 0x100);
    // The main input falls silent; the backup goes on.
    uint32_t backup_number = 1;
    uint16_t pid = 0;
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (pid != 0x200 && std::chrono::steady_clock::now() < deadline) {
        fixture.backup->send(0x200, backup_number++, 1);
        std::this_thread::sleep_for(5ms);
        if (fixture.source->read_available(one) == kPacket) pid = pid_of(one.data());
    }
    ASSERT_EQ(pid, 0x200);
    EXPECT_EQ(fixture.source->statistics().input_switches, 1u);
    EXPECT_GE(fixture.source->timing_breaks(), 1u);
    // The main input comes back; after 80 ms clean it is used again.
    uint32_t main_number = 1;
    while (pid != 0x100 && std::chrono::steady_clock::now() < deadline) {
        fixture.main->send(0x100, main_number++, 1);
        fixture.backup->send(0x200, backup_number++, 1);
        std::this_thread::sleep_for(5ms);
        if (fixture.source->read_available(one) == kPacket) pid = pid_of(one.data());
    }
    ASSERT_EQ(pid, 0x100);
    EXPECT_EQ(fixture.source->statistics().input_switches, 2u);
    // What the main input held while unused was kept to the newest: the
    // packet now is recent, not the first one after its return.
    EXPECT_GT(number_of(one.data()), 1u);
    const std::string log = fixture.captured.contents();
    EXPECT_NE(log.find("WARNING: input switched from udp://main:1 to udp://backup:2"),
              std::string::npos);
    EXPECT_NE(log.find("WARNING: input switched from udp://backup:2 to udp://main:1"),
              std::string::npos);
}

// At the start the main input has --switch-after to show its first data
// before the backup is taken; and once on the backup, a backup that falls
// silent hands back to a main input with data at once, clean or not.
TEST(LiveSource, TheMainInputGetsItsTimeAtTheStartAndTakesOverFromASilentBackup) {
    LiveSourceSettings settings = paced(20ms);
    settings.switch_after = 150ms;
    settings.clean_before_return = 10s;
    Fixture fixture(settings, /*with_backup=*/true);
    std::array<uint8_t, kPacket> one{};
    // Both send from the start, the main one a little later.
    fixture.backup->send(0x200, 0, 1);
    std::this_thread::sleep_for(40ms);
    fixture.main->send(0x100, 0, 1);
    ASSERT_EQ(fixture.source->read_available(one), kPacket);
    EXPECT_EQ(pid_of(one.data()), 0x100);
    EXPECT_EQ(fixture.source->statistics().input_switches, 0u);
    // The main one falls silent: the backup takes over.
    uint32_t number = 1;
    uint16_t pid = 0x100;
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (pid != 0x200 && std::chrono::steady_clock::now() < deadline) {
        fixture.backup->send(0x200, number++, 1);
        std::this_thread::sleep_for(5ms);
        if (fixture.source->read_available(one) == kPacket) pid = pid_of(one.data());
    }
    ASSERT_EQ(pid, 0x200);
    // The main one comes back, then the backup falls silent: long before the
    // main one has been clean for 10 s, it takes over.
    const auto back = std::chrono::steady_clock::now();
    while (pid != 0x100 && std::chrono::steady_clock::now() < deadline + 2s) {
        fixture.main->send(0x100, number++, 1);
        std::this_thread::sleep_for(5ms);
        if (fixture.source->read_available(one) == kPacket) pid = pid_of(one.data());
    }
    ASSERT_EQ(pid, 0x100);
    EXPECT_LT(std::chrono::steady_clock::now() - back, 2s);
    EXPECT_NE(fixture.captured.contents().find("udp://main:1 at "), std::string::npos);
    EXPECT_NE(fixture.captured.contents().find(": no input from the backup"), std::string::npos);
}

TEST(LiveSource, UnpacedReadsWaitForTheWholeBlockAndAStopSignalEndsTheWait) {
    int wake[2];
    ASSERT_EQ(::pipe(wake), 0);
    LiveSourceSettings settings;
    settings.wake_descriptor = wake[0];
    Fixture fixture(settings);
    EXPECT_FALSE(fixture.source->live());
    std::thread sender([&] {
        for (uint32_t number = 0; number < 6; ++number) {
            std::this_thread::sleep_for(5ms);
            fixture.main->send(0x100, number, 1);
        }
    });
    std::array<uint8_t, 6 * kPacket> block{};
    EXPECT_EQ(fixture.source->read_packets(block), block.size());
    sender.join();
    for (size_t index = 0; index < 6; ++index) EXPECT_EQ(number_of(&block[index * kPacket]), index);
    // Nothing more comes; a stop signal ends the wait.
    std::thread stopper([&] {
        std::this_thread::sleep_for(30ms);
        ASSERT_EQ(::write(wake[1], "x", 1), 1);
    });
    EXPECT_FALSE(fixture.source->has_more_input());
    stopper.join();
    EXPECT_TRUE(fixture.source->interrupted());
    ::close(wake[0]);
    ::close(wake[1]);
}

}  // namespace
}  // namespace terramod
