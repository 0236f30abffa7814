// StreamSource on its own over a pipe: the search for the first packet at the
// edges a whole run does not reach (streams shorter than the five-packet run,
// no packet at all), and blocks assembled from a writer's small pieces.
#include "io/stream_source.h"

#include <unistd.h>

#include <thread>

#include "tests/e2e/e2e_support.h"

namespace terramod::e2e {
namespace {

// A pipe whose write end a thread fills with `content` in `piece`-byte writes,
// then closes.
class FedPipe {
  public:
    FedPipe(std::string content, size_t piece) {
        EXPECT_EQ(::pipe(ends_), 0);
        writer_ = std::thread([this, content = std::move(content), piece] {
            for (size_t at = 0; at < content.size(); at += piece) {
                const size_t count = std::min(piece, content.size() - at);
                if (::write(ends_[1], content.data() + at, count) != static_cast<ssize_t>(count))
                    break;
            }
            ::close(ends_[1]);
        });
    }
    ~FedPipe() {
        writer_.join();
        ::close(ends_[0]);
    }
    int read_end() const { return ends_[0]; }

  private:
    int ends_[2] = {-1, -1};
    std::thread writer_;
};

struct AlignmentCase {
    const char* label;
    std::string input;
    int64_t skipped;  // bytes before the first packet, by construction
};

void PrintTo(const AlignmentCase& c, std::ostream* out) {
    *out << c.label;
}

std::string garbage(size_t length) {
    return std::string(length, '\x5A');
}

class StreamAlignmentTest : public ::testing::TestWithParam<AlignmentCase> {};

TEST_P(StreamAlignmentTest, SkipsToTheFirstPacketAndHandsOutTheRest) {
    const AlignmentCase& c = GetParam();
    std::string messages;
    Log log(4, nullptr);
    log.capture_to(&messages);
    FedPipe pipe(c.input, 7);
    const std::unique_ptr<StreamSource> source =
        StreamSource::over_descriptor(pipe.read_end(), "the test pipe", log);
    source->skip_to_first_packet();
    EXPECT_EQ(messages, c.skipped == 0
                            ? std::string()
                            : "WARNING: " + std::to_string(c.skipped) +
                                  " bytes skipped before the first packet of the test pipe\n");
    const std::string rest = c.input.substr(static_cast<size_t>(c.skipped));
    EXPECT_EQ(source->has_more_input(), !rest.empty());
    std::vector<uint8_t> block(rest.size() + 2 * 188, 0xAA);
    EXPECT_EQ(source->read_packets(block), rest.size());
    EXPECT_EQ(std::string(block.begin(), block.begin() + static_cast<ptrdiff_t>(rest.size())),
              rest);
    EXPECT_FALSE(source->has_more_input());
    EXPECT_EQ(source->bytes_taken(), c.input.size());
    EXPECT_FALSE(source->failed());
    EXPECT_EQ(source->known_length(), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamAlignmentTest,
    ::testing::Values(
        AlignmentCase{"Empty", "", 0}, AlignmentCase{"OnePacket", make_stream(188), 0},
        AlignmentCase{"TwoPacketsAfterGarbage", garbage(30) + make_stream(376), 30},
        AlignmentCase{"FourPacketsCutShort", garbage(3) + make_stream(3 * 188 + 20), 3},
        AlignmentCase{"NoSyncByteAtAll", garbage(5000), 5000},
        AlignmentCase{"SyncByteOnlyAtTheEnd", garbage(900) + "\x47", 900},
        AlignmentCase{"FourInARowAreNotEnough",
                      [] {
                          // Four sync bytes at pitch, then a gap: the first
                          // packet is the one after the gap.
                          std::string four = make_stream(4 * 188);
                          four[3 * 188] = 0x11;
                          return four + garbage(10) + make_stream(6 * 188);
                      }(),
                      4 * 188 + 10},
        AlignmentCase{"LongGarbageBeforeAStream", garbage(200000) + make_stream(20 * 188), 200000}),
    [](const ::testing::TestParamInfo<AlignmentCase>& info) { return info.param.label; });

TEST(StreamSourceTest, BlocksAreFilledFromOneByteWrites) {
    const std::string stream = make_stream(10 * 188 + 33);
    Log log(4, nullptr);
    FedPipe pipe(stream, 1);
    const std::unique_ptr<StreamSource> source =
        StreamSource::over_descriptor(pipe.read_end(), "the test pipe", log);
    source->skip_to_first_packet();
    std::string read;
    std::vector<uint8_t> block(4 * 188);
    for (size_t expected : {752u, 752u, 409u, 0u}) {
        const size_t obtained = source->read_packets(block);
        EXPECT_EQ(obtained, expected);
        read.append(block.begin(), block.begin() + static_cast<ptrdiff_t>(obtained));
    }
    EXPECT_EQ(read, stream);
}

TEST(StreamSourceTest, WhatNamesAStream) {
    EXPECT_TRUE(StreamSource::names_stream("-"));
    EXPECT_TRUE(StreamSource::names_stream("/dev/null"));
    EXPECT_FALSE(StreamSource::names_stream("/"));
    EXPECT_FALSE(StreamSource::names_stream("/no/such/file"));
    EXPECT_FALSE(StreamSource::names_stream(TERRAMOD_BINARY));
}

}  // namespace
}  // namespace terramod::e2e
