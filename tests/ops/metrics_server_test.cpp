#include "ops/metrics_server.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ops/test_sockets.h"

namespace terramod {
namespace {

using test::TestSocket;

MetricValues known_values() {
    MetricValues values;
    values.cycles = 12;
    values.underflows = 3;
    values.buffer_seconds = 0.25;
    values.frequency_hz = 474e6;
    values.ts_loss = true;
    values.start_time = 1700000000;
    return values;
}

TEST(PrometheusText, FollowsTheTextFormat) {
    const std::string text = prometheus_text(known_values(), {"1.2j"});
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const std::regex name_pattern("[a-zA-Z_:][a-zA-Z0-9_:]*");
    const std::regex sample_pattern(
        R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[^}]*\})? ([-+]?[0-9.eE+-]+|NaN|[-+]Inf))");
    std::istringstream lines(text);
    std::string help_of, type_of, type;
    std::set<std::string> seen;
    std::map<std::string, std::string> samples;
    int sample_count = 0;
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (line.rfind("# HELP ", 0) == 0) {
            std::istringstream words(line.substr(7));
            words >> help_of;
            EXPECT_TRUE(std::regex_match(help_of, name_pattern)) << line;
            EXPECT_GT(line.size(), 7 + help_of.size() + 1) << "empty help: " << line;
            EXPECT_TRUE(seen.insert(help_of).second) << "twice: " << help_of;
        } else if (line.rfind("# TYPE ", 0) == 0) {
            std::istringstream words(line.substr(7));
            words >> type_of >> type;
            EXPECT_EQ(type_of, help_of) << "TYPE after the HELP of its metric: " << line;
            EXPECT_TRUE(type == "counter" || type == "gauge") << line;
        } else if (std::regex_match(line, match, sample_pattern)) {
            const std::string name = match[1];
            ++sample_count;
            EXPECT_EQ(name, type_of) << "a sample after its HELP and TYPE: " << line;
            EXPECT_EQ(name.rfind("terramod_", 0), 0u) << line;
            const bool total = name.size() > 6 && name.compare(name.size() - 6, 6, "_total") == 0;
            EXPECT_EQ(total, type == "counter")
                << "counters, and only they, end in _total: " << line;
            samples[name + match[2].str()] = match[3];
        } else {
            ADD_FAILURE() << "not a HELP, TYPE or sample line: '" << line << "'";
        }
    }
    EXPECT_EQ(sample_count, 33);  // 32 metrics and the build
    EXPECT_EQ(samples["terramod_cycles_total"], "12");
    EXPECT_EQ(samples["terramod_buffer_seconds"], "0.25");
    EXPECT_EQ(samples["terramod_frequency_hz"], "474000000");
    EXPECT_EQ(samples["terramod_ts_loss"], "1");
    EXPECT_EQ(samples["terramod_start_time_seconds"], "1700000000");
    EXPECT_EQ(samples["terramod_build_info{version=\"1.2j\"}"], "1");
    EXPECT_NE(text.find("# HELP terramod_underflows_total Underflows the device reported\n"
                        "# TYPE terramod_underflows_total counter\n"
                        "terramod_underflows_total 3\n"),
              std::string::npos);
    EXPECT_NE(text.find("# TYPE terramod_build_info gauge\n"), std::string::npos);
}

TEST(PrometheusText, EscapesTheVersionLabel) {
    const std::string text = prometheus_text(MetricValues{}, {"a\"b\\c\nd"});
    EXPECT_NE(text.find("terramod_build_info{version=\"a\\\"b\\\\c\\nd\"} 1\n"), std::string::npos)
        << text;
}

TEST(PrometheusText, SfnMetricsOnlyInSfnRuns) {
    const std::string plain = prometheus_text(MetricValues{}, {"1.2j"});
    EXPECT_EQ(plain.find("terramod_sfn_"), std::string::npos);
    MetricValues values;
    values.sfn = SfnMetricValues{120, 2, 1, 3, 4, 5, true};
    const std::string text = prometheus_text(values, {"1.2j"});
    for (const char* sample :
         {"terramod_sfn_mips_total 120\n", "terramod_sfn_bad_mips_total 2\n",
          "terramod_sfn_misplaced_mips_total 1\n", "terramod_sfn_megaframes_without_mip_total 3\n",
          "terramod_sfn_late_megaframes_total 4\n", "terramod_sfn_muted_megaframes_total 5\n",
          "terramod_sfn_muted 1\n", "# TYPE terramod_sfn_late_megaframes_total counter\n",
          "# TYPE terramod_sfn_muted gauge\n"})
        EXPECT_NE(text.find(sample), std::string::npos) << sample;
}

#ifdef TERRAMOD_HAVE_CIVETWEB

struct Response {
    std::string status_line;
    std::map<std::string, std::string> headers;
    std::string body;
};

Response ask(uint16_t port, const std::string& request) {
    TestSocket client = TestSocket::connect_tcp("127.0.0.1", port);
    Response response;
    if (!client.valid() || !client.send_all(request)) return response;
    const std::string all = client.read_all();
    const size_t end = all.find("\r\n\r\n");
    if (end == std::string::npos) return response;
    response.body = all.substr(end + 4);
    std::istringstream head(all.substr(0, end));
    std::getline(head, response.status_line);
    if (!response.status_line.empty() && response.status_line.back() == '\r')
        response.status_line.pop_back();
    for (std::string line; std::getline(head, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t colon = line.find(": ");
        if (colon != std::string::npos)
            response.headers[line.substr(0, colon)] = line.substr(colon + 2);
    }
    return response;
}

std::string request(const std::string& method, const std::string& path) {
    return method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
}

class MetricsServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        metrics.update([](MetricValues& values) { values = known_values(); });
        std::string error;
        server = MetricsServer::start("0", metrics, {"1.2j"}, &error);
        ASSERT_NE(server, nullptr) << error;
    }
    RunMetrics metrics;
    std::unique_ptr<MetricsServer> server;
};

TEST_F(MetricsServerTest, ServesTheMetricsAsTheyAreNow) {
    EXPECT_NE(server->port(), 0);
    EXPECT_EQ(server->url(), "http://127.0.0.1:" + std::to_string(server->port()) + "/metrics");
    for (const uint64_t cycles : {12, 13}) {
        metrics.update([&](MetricValues& values) { values.cycles = cycles; });
        Response response = ask(server->port(), request("GET", "/metrics"));
        EXPECT_EQ(response.status_line, "HTTP/1.1 200 OK");
        EXPECT_EQ(response.headers["Content-Type"], "text/plain; version=0.0.4; charset=utf-8");
        EXPECT_EQ(response.headers["Content-Length"], std::to_string(response.body.size()));
        EXPECT_EQ(response.body, prometheus_text(metrics.snapshot(), {"1.2j"}));
        EXPECT_NE(response.body.find("\nterramod_cycles_total " + std::to_string(cycles) + "\n"),
                  std::string::npos);
    }
}

TEST_F(MetricsServerTest, AnswersOtherPathsAndMethodsWithErrors) {
    struct Case {
        const char* method;
        const char* path;
        const char* status_line;
        bool body;
    };
    const Case cases[] = {
        {"GET", "/metrics?x=1", "HTTP/1.1 200 OK", true},
        {"HEAD", "/metrics", "HTTP/1.1 200 OK", false},
        {"GET", "/", "HTTP/1.1 404 Not Found", true},
        {"GET", "/metricsx", "HTTP/1.1 404 Not Found", true},
        {"POST", "/metrics", "HTTP/1.1 405 Method Not Allowed", true},
    };
    for (const Case& c : cases) {
        Response response = ask(server->port(), request(c.method, c.path));
        EXPECT_EQ(response.status_line, c.status_line) << c.method << " " << c.path;
        EXPECT_EQ(response.body.empty(), !c.body) << c.method << " " << c.path;
        if (std::string(c.status_line).find("405") != std::string::npos) {
            EXPECT_EQ(response.headers["Allow"], "GET, HEAD");
        }
    }
}

TEST(MetricsServerStart, PortInUseOrBadAddressSaysWhy) {
    RunMetrics metrics;
    uint16_t port = 0;
    TestSocket taken = TestSocket::bound_tcp(true, &port);
    ASSERT_TRUE(taken.valid());
    struct Case {
        std::string listen;
        std::string error;
    };
    const std::string port_text = std::to_string(port);
    const Case cases[] = {
        {port_text, "127.0.0.1:" + port_text + ": address in use"},
        {"127.0.0.1:" + port_text, "127.0.0.1:" + port_text + ": address in use"},
        {"", "'': the port must be a number from 0 to 65535"},
        {"70000", "'70000': the port must be a number from 0 to 65535"},
        {"999.1.1.1:80",
         "'999.1.1.1:80': '999.1.1.1' is not a numeric IPv4 address (an IPv6 one goes in "
         "brackets: [::1]:PORT)"},
        {"::1:9101", "'::1:9101': an IPv6 address goes in brackets: [::1]:PORT"},
        {"[::1]", "'[::1]': an IPv6 address is written [ADDRESS]:PORT"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_EQ(MetricsServer::start(c.listen, metrics, {"1"}, &error), nullptr) << c.listen;
        EXPECT_EQ(error, c.error) << c.listen;
    }
}

#else

TEST(MetricsServerStart, SaysThisBuildHasNone) {
    RunMetrics metrics;
    std::string error;
    EXPECT_EQ(MetricsServer::start("0", metrics, {"1"}, &error), nullptr);
    EXPECT_EQ(error, "this build has no metrics endpoint (built without libcivetweb-dev)");
}

#endif

}  // namespace
}  // namespace terramod
