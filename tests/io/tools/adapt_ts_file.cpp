// Runs RateAdaptingSource over a transport stream file, for the checks with
// real streams until the driver offers --adapt-rate:
//
//     adapt_ts_file IN.ts OUT.ts CHANNEL_BIT_RATE [6|7|8 (MHz, default 8)]
//
// Writes the adapted stream, the messages and the report to standard output;
// exit code 1 when the stream cannot be adapted, 2 on a file failure.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "io/ts_rate_adapter.h"

namespace {

class FileTsSource : public terramod::TsSource {
  public:
    explicit FileTsSource(std::FILE* file) : file_(file) {}
    size_t read_packets(std::span<uint8_t> block) override {
        const size_t got = std::fread(block.data(), 1, block.size(), file_);
        if (got < block.size() && std::ferror(file_)) failed_ = true;
        taken_ += got;
        return got;
    }
    std::optional<uint64_t> known_length() const override { return std::nullopt; }
    bool failed() const override { return failed_; }
    bool has_more_input() override {
        const int next = std::fgetc(file_);
        if (next == EOF) return false;
        std::ungetc(next, file_);
        return true;
    }
    uint64_t bytes_taken() const override { return taken_; }

  private:
    std::FILE* file_;
    bool failed_ = false;
    uint64_t taken_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "Usage: adapt_ts_file IN.ts OUT.ts CHANNEL_BIT_RATE [6|7|8]\n");
        return 2;
    }
    const double channel_rate = std::strtod(argv[3], nullptr);
    const int megahertz = argc > 4 ? std::atoi(argv[4]) : 8;
    if (!(channel_rate > 0) || megahertz < 6 || megahertz > 8) {
        std::fprintf(stderr, "adapt_ts_file: bad rate or channel spacing\n");
        return 2;
    }
    std::FILE* in = std::fopen(argv[1], "rb");
    std::FILE* out = in ? std::fopen(argv[2], "wb") : nullptr;
    if (!in || !out) {
        std::fprintf(stderr, "adapt_ts_file: %s\n", std::strerror(errno));
        return 2;
    }
    terramod::Log log(4, stdout);
    FileTsSource source(in);
    terramod::RateAdaptingSource adapter(source, channel_rate,
                                         static_cast<terramod::ChannelSpacing>(megahertz - 6), log);
    std::vector<uint8_t> block(63 * 188);  // one cycle at the defaults
    for (;;) {
        const size_t got = adapter.read_packets(block);
        if (adapter.fatal()) return 1;
        if (std::fwrite(block.data(), 1, got, out) != got) return 2;
        if (got < block.size()) break;
    }
    adapter.write_report(log);
    const bool closed = std::fclose(out) == 0;
    std::fclose(in);
    return closed && !source.failed() ? 0 : 2;
}
