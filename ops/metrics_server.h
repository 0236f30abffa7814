// The run's metrics for Prometheus: GET /metrics over HTTP (civetweb, when
// this build has it), in the text exposition format 0.0.4.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ops/metrics.h"

namespace terramod {

struct PrometheusBuildInfo {
    std::string version;
};

// For each metric "# HELP terramod_NAME ...", "# TYPE terramod_NAME
// counter|gauge" and "terramod_NAME VALUE", in the order of metric_entries(),
// then terramod_build_info{version="..."} 1 (a gauge).
std::string prometheus_text(const MetricValues& values, const PrometheusBuildInfo& build);

// `metrics` must outlive the server.
class MetricsServer {
  public:
    // listen: "PORT" (loopback 127.0.0.1), "ADDRESS:PORT", "[IPv6]:PORT"; port
    // 0 = any free one (tests). Serves GET (and HEAD) /metrics from
    // metrics.snapshot(); other paths 404, other methods 405. Null with
    // *error set when it cannot listen or when this build has no civetweb.
    // civetweb ignores SIGPIPE in the whole process once started (the driver
    // does so anyway).
    static std::unique_ptr<MetricsServer> start(const std::string& listen,
                                                const RunMetrics& metrics,
                                                const PrometheusBuildInfo& build,
                                                std::string* error);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    uint16_t port() const;
    std::string url() const;  // "http://127.0.0.1:9101/metrics"

  private:
    struct State;
    explicit MetricsServer(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace terramod
