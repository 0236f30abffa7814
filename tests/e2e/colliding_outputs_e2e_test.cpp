// Outputs that would mix: two names of one run denoting one file, and a file
// another run is writing (it holds the lock) are fatal errors that touch no
// file.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "tests/e2e/e2e_support.h"

namespace terramod::e2e {
namespace {

struct CollisionCase {
    const char* name;
    std::vector<std::string> arguments;
    const char* link;  // made to point at `target` before the run ("" for none)
    const char* target;
    const char* locked;        // held under an exclusive lock during the run ("" for none)
    const char* console_text;  // the fatal message
};

const CollisionCase kCases[] = {
    {"dump linked to the sample file",
     {"-o", "col", "-d", "et"},
     "col_ed.bin",
     "col.bin",
     "",
     "FATAL ERROR: output files \"col_ed.bin\" and \"col.bin\" are the same file\n"},
    {"Agilent pair linked",
     {"-o", "agi", "-d", "t", "-F", "agi"},
     "agi_Q.bin",
     "agi_I.bin",
     "",
     "FATAL ERROR: output files \"agi_I.bin\" and \"agi_Q.bin\" are the same file\n"},
    {"sample file in use",
     {"-o", "busy", "-d", "t"},
     "",
     "",
     "busy.bin",
     "FATAL ERROR: output file \"busy.bin\" is in use by another run\n"},
    {"dump in use",
     {"-o", "busy", "-d", "rt"},
     "",
     "",
     "busy_rs.bin",
     "FATAL ERROR: output file \"busy_rs.bin\" is in use by another run\n"},
    {"log in use",
     {"-o", "x", "-d", "t", "-l", "shared.log"},
     "",
     "",
     "shared.log",
     "FATAL ERROR: log file \"shared.log\" is in use by another run\n"},
};

class CollidingOutputsE2e : public E2eTest, public ::testing::WithParamInterface<CollisionCase> {};

TEST_P(CollidingOutputsE2e, StopWithoutTouchingTheFiles) {
    const CollisionCase& c = GetParam();
    write_file(path("in.ts"), make_stream(2 * 188));
    const std::string kept = "data of another run";
    if (*c.link) {
        write_file(path(c.target), kept);
        fs::create_symlink(c.target, path(c.link));
    }
    int held = -1;
    if (*c.locked) {
        write_file(path(c.locked), kept);
        held = ::open(path(c.locked).c_str(), O_RDWR);
        ASSERT_GE(held, 0);
        ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    }
    std::vector<std::string> arguments = {"-i", "in.ts", "-v", "0"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const RunResult result = run(arguments);
    if (held >= 0) ::close(held);
    EXPECT_EQ(result.exit_code, 1) << c.name;
    EXPECT_NE(result.console.find(c.console_text), std::string::npos) << c.name << result.console;
    EXPECT_EQ(read_file(path(*c.link ? c.target : c.locked)), kept) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Cases, CollidingOutputsE2e, ::testing::ValuesIn(kCases));

// A lock released by the run that held it lets the next run write the file.
TEST_F(E2eTest, OutputsAreFreeAgainAfterARun) {
    write_file(path("in.ts"), make_stream(188));
    ASSERT_EQ(run({"-i", "in.ts", "-o", "again", "-d", "t", "-v", "0"}).exit_code, 0);
    ASSERT_EQ(run({"-i", "in.ts", "-o", "again", "-d", "t", "-v", "0"}).exit_code, 0);
    EXPECT_EQ(fs::file_size(path("again.bin")), 8 * kSamples);
}

}  // namespace
}  // namespace terramod::e2e
