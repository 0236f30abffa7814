// The input class and the progress arithmetic on their own, for the sizes a
// whole run cannot reach in a test: inputs of 2 GiB and more.
#include <sys/stat.h>

#include <cstdio>

#include "io/file_source.h"
#include "tests/e2e/e2e_support.h"
#include "tx/dump_files.h"
#include "tx/input.h"
#include "tx/progress.h"

namespace terramod::e2e {
namespace {

class FileSourceTest : public E2eTest {
  protected:
    FileSourceTest() { log_.capture_to(&messages_); }
    Log log_{4, nullptr};
    std::string messages_;
};

TEST_F(FileSourceTest, ReadsBlocksInSequenceAndPadsTheLast) {
    const std::string stream = make_stream(2 * 376 + 100);
    write_file(path("in.ts"), stream);
    const std::unique_ptr<FileSource> input = FileSource::open(path("in.ts").string(), log_);
    ASSERT_TRUE(input);
    ASSERT_EQ(input->known_length(), stream.size());
    EXPECT_EQ(messages_, "Checking MPEG-2 TS file length ... 852 bytes\n");

    std::vector<uint8_t> block(376 * 2, 0xAA);
    messages_.clear();
    EXPECT_EQ(read_cycle_block(*input, block, log_), 752);
    EXPECT_EQ(std::string(block.begin(), block.end()), stream.substr(0, 752));
    EXPECT_EQ(messages_, "Reading MPEG2-TS file ... 752 bytes read.\n");

    messages_.clear();
    EXPECT_EQ(read_cycle_block(*input, block, log_), 752);
    EXPECT_EQ(messages_,
              "Reading MPEG2-TS file ... 100 bytes read.\n"
              "MPEG-2 bunch too short! Padding with 652 bytes ... done.\n");
    std::string expected = stream.substr(752) + std::string(88, '\0');  // rest of the packet
    for (int packet = 1; packet < 4; ++packet)
        expected += std::string(1, 0x47) + std::string(187, '\0');
    EXPECT_EQ(std::string(block.begin(), block.end()), expected);

    // The file is never rewound: a further block is padding only.
    EXPECT_EQ(read_cycle_block(*input, block, log_), 752);
    EXPECT_EQ(block[0], 0x47);
    EXPECT_EQ(block[376], 0x47);
    EXPECT_EQ(block[1], 0);
}

TEST_F(FileSourceTest, LengthOfTwoGibAndMoreIsExact) {
    // A sparse file: no disk space is used.
    const uint64_t length = (uint64_t{1} << 32) + 3 * 188;
    const fs::path file = path("huge.ts");
    write_file(file, "");
    std::error_code error;
    fs::resize_file(file, length, error);
    if (error) GTEST_SKIP() << "cannot make a sparse file here: " << error.message();
    const std::unique_ptr<FileSource> input = FileSource::open(file.string(), log_);
    ASSERT_TRUE(input);
    EXPECT_EQ(input->known_length(), length);
    EXPECT_EQ(messages_, "Checking MPEG-2 TS file length ... 4294967860 bytes\n");
}

// An input that shrinks while it is read, or fails to read: the data it
// should have held is lost, which is a warning and the end of the input,
// not padding passed off as the stream.
TEST_F(FileSourceTest, ShrinkingInputEndsWithAWarning) {
    const std::string stream = make_stream(200 * 376);
    write_file(path("in.ts"), stream);
    const std::unique_ptr<FileSource> input = FileSource::open(path("in.ts").string(), log_);
    ASSERT_TRUE(input);
    std::vector<uint8_t> block(4 * 376);
    ASSERT_EQ(input->read_packets(block), block.size());
    fs::resize_file(path("in.ts"), 6 * 376);  // cut while being read
    messages_.clear();
    // What was read before the cut (buffered) may still come; then the input
    // ends short of its measured length, once.
    size_t taken = block.size();
    size_t got = 0;
    while ((got = input->read_packets(block)) == block.size()) taken += got;
    taken += got;
    EXPECT_LT(taken, stream.size());
    EXPECT_TRUE(input->failed());
    EXPECT_EQ(messages_, "WARNING: \"" + path("in.ts").string() + "\" ended after " +
                             std::to_string(taken) + " of the 75200 bytes measured at the start -> "
                             "the input ends here\n");
    EXPECT_EQ(input->read_packets(block), 0u);  // and stays ended
}

struct FailedInputCase {
    std::string input;  // "" for a symbolic link loop made by the test
    int exit_code;
    std::string message;
};

// Whole runs: a read error ends the run with exit code 2 and the warning; an
// input that exists but cannot be opened names the system's reason.
TEST_F(FileSourceTest, ReadAndOpenErrorsOfWholeRuns) {
    fs::create_symlink("loop_b", path("loop_a"));
    fs::create_symlink("loop_a", path("loop_b"));
    std::vector<FailedInputCase> cases = {
        {path("loop_a").string(), 1,
         "FATAL ERROR: Can't open \"" + path("loop_a").string() +
             "\": Too many levels of symbolic links\n"},
        {path("missing.ts").string(), 1,
         "FATAL ERROR: Can't find \"" + path("missing.ts").string() + "\"\n"},
    };
    // A sysfs attribute whose read fails with EINVAL (where there is one).
    if (fs::exists("/sys/class/net/lo/speed") &&
        std::system("cat /sys/class/net/lo/speed >/dev/null 2>&1") != 0) {
        cases.push_back({"/sys/class/net/lo/speed", 2,
                         "WARNING: reading \"/sys/class/net/lo/speed\" failed after 0 of the "});
    }
    for (const FailedInputCase& c : cases) {
        const RunResult result = run({"-i", c.input, "-o", "out", "-d", "t", "-v", "1"});
        EXPECT_EQ(result.exit_code, c.exit_code) << c.input;
        EXPECT_NE(result.console.find(c.message), std::string::npos) << result.console;
        if (c.exit_code == 2) {
            EXPECT_EQ(count_of(result.console, "Elapsed time"), 1);
            EXPECT_EQ(fs::file_size(path("out.bin")), 8 * kSamples);  // one padded cycle
        }
    }
}

TEST_F(FileSourceTest, FatalOpenErrors) {
    EXPECT_FALSE(FileSource::open(std::nullopt, log_));
    EXPECT_FALSE(FileSource::open(path("none.ts").string(), log_));
    EXPECT_FALSE(FileSource::open(directory_.string(), log_));
    EXPECT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    EXPECT_FALSE(FileSource::open(path("fifo").string(), log_));  // and does not hang
    EXPECT_EQ(messages_,
              "FATAL ERROR: no MPEG-2 file name given.\nTry -h for command line parameters help.\n"
              "FATAL ERROR: Can't find \"" +
                  path("none.ts").string() +
                  "\"\n"
                  "FATAL ERROR: \"" +
                  directory_.string() +
                  "\" is not a regular file\n"
                  "FATAL ERROR: \"" +
                  path("fifo").string() + "\" is not a regular file\n");
}

// A re-timed stream is padded with null packets (PID 0x1FFF, stuffing
// 0xFF), after completing a cut packet with zeros; otherwise with the empty
// packets of every other run.
TEST(PadBlockTest, NullPacketsOrEmptyPackets) {
    struct Case {
        size_t start;
        bool null_packets;
    };
    for (const Case c : {Case{0, true}, Case{376, true}, Case{100, true}, Case{100, false}}) {
        std::vector<uint8_t> block(4 * 188, 0xAA);
        pad_block(block, c.start, c.null_packets);
        for (size_t position = c.start; position < block.size(); ++position) {
            const size_t offset = position % 188;
            const bool in_cut_packet = position < (c.start + 187) / 188 * 188;
            uint8_t expected = offset == 0 ? 0x47 : 0x00;
            if (c.null_packets && !in_cut_packet) {
                const uint8_t header[4] = {0x47, 0x1F, 0xFF, 0x10};
                expected = offset < 4 ? header[offset] : 0xFF;
            }
            ASSERT_EQ(block[position], expected) << c.start << " " << position;
        }
        EXPECT_EQ(block[c.start ? c.start - 1 : 0], c.start ? 0xAA : 0x47);
    }
}

// The percentage printed after each cycle of a run over `length` bytes in
// blocks of `block` bytes.
std::string progress_text(uint64_t bytes_consumed, uint64_t length) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f",
                  progress_percent(bytes_consumed, make_progress_factor(length)));
    return text;
}

TEST(ProgressTest, FiguresForSmallAndHugeInputs) {
    EXPECT_EQ(progress_text(11844, 188), "6300.0");
    EXPECT_EQ(progress_text(11844, 3 * 11844), "33.3");
    EXPECT_EQ(progress_text(3 * 11844, 3 * 11844), "100.0");
    // The product is taken in double precision from the float factor: rounded
    // to float, these would print 6168.8, 176.2 and 82.2.
    EXPECT_EQ(progress_text(11844, 192), "6168.7");
    EXPECT_EQ(progress_text(3948, 2240), "176.3");
    EXPECT_EQ(progress_text(11844, 14400), "82.3");
    // Beyond 32 bits the byte counter and the length stay exact.
    const uint64_t huge = 5'000'000'000;
    const uint64_t block = 248724;  // 8k, 64QAM, 7/8
    const uint64_t cycles = (huge + block - 1) / block;
    EXPECT_EQ(progress_text(block * (cycles / 2), huge), "50.0");
    EXPECT_EQ(progress_text(block * cycles, huge), "100.0");
    EXPECT_EQ(progress_text(block, huge), "0.0");
    EXPECT_EQ(make_progress_factor(0), 0.0f);
}

TEST(ProgressTest, ElapsedTimeIsNeverZero) {
    EXPECT_DOUBLE_EQ(run_seconds(std::chrono::microseconds(0)), 1e-6);
    EXPECT_DOUBLE_EQ(run_seconds(std::chrono::microseconds(2'500'000)), 2.5);
}

TEST(BaseNameTest, CutAtTheFirstDotOfTheLastComponent) {
    EXPECT_EQ(make_base_name(std::nullopt), "dac_output");
    EXPECT_EQ(make_base_name(std::string("out")), "out");
    EXPECT_EQ(make_base_name(std::string("out.ts")), "out");
    EXPECT_EQ(make_base_name(std::string("a.b.c")), "a");
    EXPECT_EQ(make_base_name(std::string("my.run/out")), "my.run/out");
    EXPECT_EQ(make_base_name(std::string("../my.run/out.x.y")), "../my.run/out");
    EXPECT_EQ(make_base_name(std::string(".hidden")), "");
    EXPECT_EQ(make_base_name(std::string("dir/.hidden")), "dir/");
    EXPECT_EQ(make_base_name(std::string("")), "");
}

}  // namespace
}  // namespace terramod::e2e
