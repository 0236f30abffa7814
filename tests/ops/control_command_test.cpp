#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ops/control_server.h"
#include "ops/control_settings.h"
#include "ops/metrics.h"

namespace terramod {
namespace {

class ControlCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        settings.declare("gain", 10, [](double value) -> std::optional<std::string> {
            if (value < 0 || value > 47) return "gain must be 0 to 47 dB";
            return std::nullopt;
        });
        settings.declare("mute", 0, [](double value) -> std::optional<std::string> {
            if (value != 0 && value != 1) return "mute is 0 or 1";
            return std::nullopt;
        });
        metrics.update([](MetricValues& values) {
            values.cycles = 7;
            values.underflows = 3;
            values.buffer_seconds = 0.25;
            values.frequency_hz = 474e6;
            values.ts_loss = true;
        });
    }
    std::string answer(std::string_view line) {
        return answer_control_command(line, settings, metrics);
    }

    ControlSettings settings;
    RunMetrics metrics;
};

TEST_F(ControlCommand, AnswersEachFormInTurn) {
    struct Case {
        std::string line;
        std::string reply;
    };
    const std::string kForms = "(list, get NAME, set NAME VALUE)";
    // In order: a set shows in the gets after it.
    const Case cases[] = {
        {"get gain", "ok 10"},
        {"set gain 20", "ok 20"},
        {"get gain", "ok 20"},
        {"  set\tgain   20.5 ", "ok 20.5"},
        {"get gain", "ok 20.5"},
        {"set gain -3", "error gain must be 0 to 47 dB"},
        {"set gain loud", "error 'loud' is not a number"},
        {"set mute 1", "ok 1"},
        {"get mute", "ok 1"},
        {"get underflows_total", "ok 3"},
        {"get frequency_hz", "ok 474000000"},
        {"get buffer_seconds", "ok 0.25"},
        {"get ts_loss", "ok 1"},
        {"set underflows_total 0", "error no parameter underflows_total can be set in this run"},
        {"get volume", "error unknown name volume"},
        {"get terramod_cycles_total", "error unknown name terramod_cycles_total"},
        {"", "error no command " + kForms},
        {"frob", "error unknown command frob " + kForms},
        {"GET gain", "error unknown command GET " + kForms},
        {"list all", "error usage: list"},
        {"get", "error usage: get NAME"},
        {"get gain mute", "error usage: get NAME"},
        {"set gain", "error usage: set NAME VALUE"},
        {"set gain 20 dB", "error usage: set NAME VALUE"},
        {std::string("get \x01g\x7f", 7), "error unknown name ?g?"},
        {std::string("\0\xff\r", 3), std::string("error unknown command ?\xff? ") + kForms},
        {"set gain 2\r0", "error '2?0' is not a number"},
    };
    for (const Case& c : cases) EXPECT_EQ(answer(c.line), c.reply) << "line: " << c.line;
    // Only the accepted values reach the driver.
    const std::vector<ControlSettings::Change> changes = settings.take_changes();
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(changes[0].value, 20);
    EXPECT_EQ(changes[1].value, 20.5);
    EXPECT_EQ(changes[2].name, "mute");
}

TEST_F(ControlCommand, ListNamesEveryParameterThenEveryMetric) {
    settings.set("gain", "30");
    const std::string reply = answer("list");
    ASSERT_EQ(reply.rfind("ok ", 0), 0u) << reply;
    std::istringstream words(reply.substr(3));
    std::vector<std::string> names;
    std::vector<std::string> values;
    for (std::string word; words >> word;) {
        const size_t equals = word.find('=');
        ASSERT_NE(equals, std::string::npos) << word;
        names.push_back(word.substr(0, equals));
        values.push_back(word.substr(equals + 1));
    }
    // The parameters in their order of declaration, then the metrics in the
    // endpoint's order.
    std::vector<std::string> expected = {"gain", "mute"};
    for (const MetricEntry& entry : metric_entries(MetricValues{})) expected.push_back(entry.name);
    EXPECT_EQ(names, expected);
    ASSERT_GE(values.size(), 8u);
    EXPECT_EQ(values[0], "30");
    EXPECT_EQ(values[1], "0");
    EXPECT_EQ(names[2], "cycles_total");
    EXPECT_EQ(values[2], "7");
    EXPECT_EQ(names[7], "underflows_total");
    EXPECT_EQ(values[7], "3");
    EXPECT_EQ(answer("list"), reply);  // a list changes nothing
    EXPECT_EQ(settings.take_changes().size(), 1u);
}

TEST(ControlEndpointText, ParsesEachForm) {
    struct Good {
        const char* text;
        ControlEndpoint::Kind kind;
        const char* path_or_address;
        uint16_t port;
    };
    using K = ControlEndpoint::Kind;
    const Good good[] = {
        {"unix:/run/terramod/terramod.sock", K::kUnix, "/run/terramod/terramod.sock", 0},
        {"unix:ctl.sock", K::kUnix, "ctl.sock", 0},
        {"tcp:7373", K::kTcp, "127.0.0.1", 7373},
        {"tcp:65535", K::kTcp, "127.0.0.1", 65535},
        {"tcp:0.0.0.0:7373", K::kTcp, "0.0.0.0", 7373},
        {"tcp:[::1]:7373", K::kTcp, "::1", 7373},
        {"tcp:[fe80::1:2]:007", K::kTcp, "fe80::1:2", 7},
    };
    for (const Good& c : good) {
        std::string error;
        const std::optional<ControlEndpoint> endpoint = parse_control_endpoint(c.text, &error);
        ASSERT_TRUE(endpoint.has_value()) << c.text << ": " << error;
        EXPECT_EQ(endpoint->kind, c.kind) << c.text;
        if (c.kind == K::kUnix) {
            EXPECT_EQ(endpoint->path, c.path_or_address) << c.text;
        } else {
            EXPECT_EQ(endpoint->address, c.path_or_address) << c.text;
            EXPECT_EQ(endpoint->port, c.port) << c.text;
        }
    }
}

TEST(ControlEndpointText, RefusesMalformedOnesNamingThem) {
    const std::string too_long = "unix:/" + std::string(107, 'x');
    const std::string longest = "unix:/" + std::string(106, 'x');
    EXPECT_TRUE(parse_control_endpoint(longest, nullptr).has_value());
    const std::string bad[] = {
        "",
        "7373",
        "unix:",
        too_long,
        "udp:7373",
        "TCP:7373",
        "tcp:",
        "tcp:65536",
        "tcp:-1",
        "tcp:+1",
        "tcp: 80",
        "tcp:127.0.0.1:",
        "tcp:127.0.0.1",
        "tcp:256.0.0.1:80",
        "tcp:1.2.3:80",
        "tcp:localhost:80",
        "tcp:::1:80",
        "tcp:[::1]",
        "tcp:[::1:80",
        "tcp:[::1]80",
        "tcp:[1.2.3.4]:80",
        "tcp:[]:80",
    };
    for (const std::string& text : bad) {
        std::string error;
        EXPECT_FALSE(parse_control_endpoint(text, &error).has_value()) << text;
        EXPECT_EQ(error.rfind("'" + text + "': ", 0), 0u) << text << " -> " << error;
    }
    std::string error;
    parse_control_endpoint("tcp:70000", &error);
    EXPECT_EQ(error, "'tcp:70000': the port must be a number from 0 to 65535");
    parse_control_endpoint("tcp:::1:80", &error);
    EXPECT_EQ(error, "'tcp:::1:80': an IPv6 address goes in brackets: [::1]:PORT");
    parse_control_endpoint("pipe", &error);
    EXPECT_EQ(error,
              "'pipe': a control endpoint is unix:PATH, tcp:PORT, tcp:ADDRESS:PORT or "
              "tcp:[IPv6]:PORT");
}

// The README's section names every metric an operator can read.
TEST(ControlDocumentation, ReadmeNamesEveryMetric) {
    std::ifstream readme(std::string(TERRAMOD_SOURCE_DIR) + "/README.md");
    ASSERT_TRUE(readme) << "README.md";
    std::stringstream text;
    text << readme.rdbuf();
    const std::string all = text.str();
    const size_t section = all.find("## Remote control and metrics");
    ASSERT_NE(section, std::string::npos);
    const size_t next = all.find("\n## ", section + 1);
    const std::string part = all.substr(section, next - section);
    for (const MetricEntry& entry : metric_entries(MetricValues{}))
        EXPECT_NE(part.find(std::string("`") + entry.name + "`"), std::string::npos) << entry.name;
}

}  // namespace
}  // namespace terramod
