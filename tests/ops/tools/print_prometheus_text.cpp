// Prints prometheus_text() for known values, for prometheus_text_check.py:
//   print_prometheus_text VERSION
#include <cstdio>

#include "ops/metrics_server.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: print_prometheus_text VERSION\n");
        return 2;
    }
    terramod::MetricValues values;
    values.cycles = 12;
    values.samples_out = 9142857;
    values.underflows = 3;
    values.output_seconds = 1.0005;
    values.buffer_seconds = 0.25;
    values.input_rate_bps = 19905882.4;
    values.frequency_hz = 474e6;
    values.gain_db = 20.5;
    values.ts_loss = true;
    values.cc_errors = 2;
    values.start_time = 1700000000;
    const std::string text = terramod::prometheus_text(values, {argv[1]});
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
        return 1;
    return 0;
}
