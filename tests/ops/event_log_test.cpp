#include "ops/event_log.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace terramod {
namespace {

// 2026-12-09T04:01:02.345678901Z
constexpr int64_t kTime = 1796788862345678901;

TEST(EventJson, OneObjectALineWithTimeAndNameFirst) {
    struct Case {
        RunEvent event;
        const char* line;
    };
    const Case cases[] = {
        {{"on_air", {}}, R"({"time":"2026-12-09T04:01:02.345Z","event":"on_air"})"},
        {{"parameter_changed",
          {{"name", std::string("gain")}, {"value", 20.5}, {"cycle", int64_t{41}}}},
         R"({"time":"2026-12-09T04:01:02.345Z","event":"parameter_changed","name":"gain","value":20.5,"cycle":41})"},
        {{"ts_loss_end", {{"seconds", 3.0}, {"muted", false}}},
         R"({"time":"2026-12-09T04:01:02.345Z","event":"ts_loss_end","seconds":3,"muted":false})"},
        // Quotes, backslashes and control characters are escaped; JSON has
        // no NaN.
        {{"stop", {{"reason", std::string("a \"b\"\\c\n\x01")}, {"rate", 0.0 / 0.0}}},
         R"({"time":"2026-12-09T04:01:02.345Z","event":"stop","reason":"a \"b\"\\c\u000a\u0001","rate":null})"},
        {{"start", {{"frequency", 474e6}}},
         R"({"time":"2026-12-09T04:01:02.345Z","event":"start","frequency":474000000})"},
    };
    for (const Case& c : cases) EXPECT_EQ(event_json(c.event, kTime), std::string(c.line) + "\n");
}

TEST(EventJson, TimesBefore1970AndAtWholeSeconds) {
    EXPECT_EQ(event_json({"x", {}}, 0),
              "{\"time\":\"1970-01-01T00:00:00.000Z\",\"event\":\"x\"}\n");
    EXPECT_EQ(event_json({"x", {}}, -1),
              "{\"time\":\"1969-12-31T23:59:59.999Z\",\"event\":\"x\"}\n");
}

std::filesystem::path scratch_folder() {
    const auto folder =
        std::filesystem::temp_directory_path() / ("terramod_events_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    return folder;
}

TEST(EventLog, AppendsWholeLinesToAFile) {
    const auto path = scratch_folder() / "events.jsonl";
    { std::ofstream(path) << "{\"earlier\":1}\n"; }
    std::string error;
    auto log = EventLog::open(path.string(), &error);
    ASSERT_TRUE(log) << error;
    log->raise({"start", {}});
    log->raise({"stop", {{"exit_code", int64_t{0}}}});
    log.reset();
    std::ifstream in(path);
    std::string line;
    std::vector<std::string> lines;
    while (std::getline(in, line)) lines.push_back(line);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "{\"earlier\":1}");
    EXPECT_NE(lines[1].find("\"event\":\"start\""), std::string::npos);
    EXPECT_NE(lines[2].find("\"exit_code\":0}"), std::string::npos);
}

TEST(EventLog, SendsADatagramPerEventAndCountsWhatTheSocketRefuses) {
    const auto path = scratch_folder() / "events.sock";
    std::filesystem::remove(path);
    const int receiver = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(::bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    std::string error;
    auto log = EventLog::open("unix:" + path.string(), &error);
    ASSERT_TRUE(log) << error;
    log->raise({"on_air", {}});
    char buffer[512];
    const ssize_t size = ::recv(receiver, buffer, sizeof buffer, MSG_DONTWAIT);
    ASSERT_GT(size, 0);
    const std::string datagram(buffer, static_cast<size_t>(size));
    EXPECT_NE(datagram.find("\"event\":\"on_air\"}\n"), std::string::npos);
    // The reader goes away: events are lost, counted, and nothing waits.
    ::close(receiver);
    log->raise({"stop", {}});
    EXPECT_EQ(log->lost(), 1u);
    EXPECT_FALSE(log->first_error().empty());
}

TEST(EventLog, TargetsThatCannotBeOpenedAreReported) {
    const std::string targets[] = {"/nonexistent-folder/events.jsonl", "unix:/nonexistent/x.sock",
                                   "unix:"};
    for (const std::string& target : targets) {
        std::string error;
        EXPECT_FALSE(EventLog::open(target, &error)) << target;
        EXPECT_NE(error.find(target), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace terramod
