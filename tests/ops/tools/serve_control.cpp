// Serves the control interface for terramod_ctl_test.py:
//   serve_control ENDPOINT...
// starts a ControlServer on each endpoint (gain 10, 0 to 47 dB; mute 0 or 1;
// underflows_total 3), prints "listening DESCRIPTION" for each, and serves
// until its standard input ends (or 60 s have passed, should the test die).
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ops/control_server.h"

int main(int argc, char** argv) {
    using namespace terramod;
    ControlSettings settings;
    settings.declare("gain", 10, [](double value) -> std::optional<std::string> {
        if (value < 0 || value > 47) return "gain must be 0 to 47 dB";
        return std::nullopt;
    });
    settings.declare("mute", 0, [](double value) -> std::optional<std::string> {
        if (value != 0 && value != 1) return "mute is 0 or 1";
        return std::nullopt;
    });
    RunMetrics metrics;
    metrics.update([](MetricValues& values) { values.underflows = 3; });

    std::vector<std::unique_ptr<ControlServer>> servers;
    for (int index = 1; index < argc; ++index) {
        std::string error;
        const std::optional<ControlEndpoint> endpoint = parse_control_endpoint(argv[index], &error);
        std::unique_ptr<ControlServer> server =
            endpoint ? ControlServer::start(*endpoint, settings, metrics, &error) : nullptr;
        if (!server) {
            std::fprintf(stderr, "serve_control: %s\n", error.c_str());
            return 1;
        }
        std::printf("listening %s\n", server->describe().c_str());
        servers.push_back(std::move(server));
    }
    std::fflush(stdout);
    pollfd input{STDIN_FILENO, POLLIN, 0};
    char byte;
    while (::poll(&input, 1, 60000) == 1 && ::read(STDIN_FILENO, &byte, 1) == 1) {
    }
    return 0;
}
