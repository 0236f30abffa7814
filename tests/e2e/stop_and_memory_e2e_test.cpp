// Runs cut short: a stop signal ends the run after the current cycle with
// whole cycles in every file, the signal named in the log, no footer and exit
// code 128 + the signal; memory running out at any point ends the run with the
// fatal message and exit code 1, never an abort.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/e2e/e2e_support.h"

namespace terramod::e2e {
namespace {

class StopSignalE2e : public E2eTest, public ::testing::WithParamInterface<int> {
  protected:
    // Starts terramod in the folder and returns its process id.
    pid_t start(const std::vector<std::string>& arguments) const {
        const pid_t child = ::fork();
        if (child == 0) {
            if (::chdir(directory_.c_str()) != 0) ::_exit(126);
            std::vector<char*> argv = {const_cast<char*>(TERRAMOD_BINARY)};
            for (const std::string& argument : arguments)
                argv.push_back(const_cast<char*>(argument.c_str()));
            argv.push_back(nullptr);
            std::freopen("/dev/null", "w", stdout);
            ::execv(TERRAMOD_BINARY, argv.data());
            ::_exit(127);
        }
        return child;
    }
};

TEST_P(StopSignalE2e, EndsAfterTheCycleWithWholeFilesAndNoFooter) {
    const int signal_number = GetParam();
    const std::vector<std::string> settings = {"-8k", "-M", "64", "-d", "te",
                                               "-F",  "4x", "-v", "2"};
    // One cycle's bytes, from a run over one packet.
    write_file(path("one.ts"), make_stream(188));
    std::vector<std::string> one = {"-i", "one.ts", "-o", "one", "-l", "one.log"};
    one.insert(one.end(), settings.begin(), settings.end());
    ASSERT_EQ(run(one).exit_code, 0);
    const auto cycle_bytes = fs::file_size(path("one.bin"));
    const auto cycle_dump_bytes = fs::file_size(path("one_ed.bin"));

    write_file(path("long.ts"), make_stream(int64_t{188} * 400000));
    std::vector<std::string> long_run = {"-i", "long.ts", "-o", "cut", "-l", "cut.log"};
    long_run.insert(long_run.end(), settings.begin(), settings.end());
    const pid_t child = start(long_run);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    ASSERT_EQ(::kill(child, signal_number), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + signal_number);

    const std::string log = read_file(path("cut.log"));
    const char* name = signal_number == SIGINT    ? "SIGINT"
                       : signal_number == SIGTERM ? "SIGTERM"
                                                  : "SIGHUP";
    EXPECT_NE(log.find(std::string("WARNING: ") + name + " stopped the run after "),
              std::string::npos);
    EXPECT_NE(log.find("Elapsed time = "), std::string::npos);
    EXPECT_FALSE(ends_with(log, kFooter));
    const auto cycles = fs::file_size(path("cut.bin")) / cycle_bytes;
    EXPECT_GT(cycles, 0u);
    EXPECT_EQ(fs::file_size(path("cut.bin")) % cycle_bytes, 0u);
    EXPECT_EQ(fs::file_size(path("cut_ed.bin")), cycles * cycle_dump_bytes);
    EXPECT_EQ(count_of(log, "*** Cycle #"), static_cast<int>(cycles));
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignalE2e, ::testing::Values(SIGINT, SIGTERM, SIGHUP));

// Address-space limits from too small to start to enough for the run: once
// terramod runs at all, each ends with exit code 0 or 1 (with the fatal
// message), never with an abort.
TEST_F(E2eTest, MemoryExhaustionIsAFatalErrorWhereverItHappens) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer needs more address space than the limits tested";
#endif
    write_file(path("in.ts"), make_stream(20 * 188));
    const std::vector<std::vector<std::string>> settings = {
        {"-d", "ercvpbsmft", "-8k", "-F", "agi"}, {"-d", "t", "-8k", "-M", "64", "-F", "4x"}};
    for (const auto& setting : settings) {
        for (int limit_kb = 4000; limit_kb <= 40000; limit_kb += 750) {
            std::string command = "cd " + shell_quote(directory_.string()) + " && ulimit -v " +
                                  std::to_string(limit_kb) + " && " + shell_quote(TERRAMOD_BINARY) +
                                  " -i in.ts -o oom -l oom.log -v 0";
            for (const std::string& argument : setting) command += " " + argument;
            command += " >out.txt 2>&1";
            const int status = std::system(command.c_str());
            ASSERT_TRUE(WIFEXITED(status)) << limit_kb;
            const int code = WEXITSTATUS(status);
            // Below the memory the shared libraries' own start-up needs, the
            // process fails before terramod runs at all (the loader exits with
            // 127, a library's initialisation aborts): `terramod -V` fails too.
            if (code == 127 || code == 134) {
                const std::string version = "ulimit -v " + std::to_string(limit_kb) + " && " +
                                            shell_quote(TERRAMOD_BINARY) + " -V >/dev/null 2>&1";
                EXPECT_NE(std::system(version.c_str()), 0) << limit_kb << " kB: " << code;
                continue;
            }
            EXPECT_TRUE(code == 0 || code == 1) << limit_kb << " kB: " << code;
            if (code == 1) {
                EXPECT_NE(read_file(path("out.txt")).find("FATAL ERROR: not enough memory"),
                          std::string::npos)
                    << limit_kb;
            }
        }
    }
}

}  // namespace
}  // namespace terramod::e2e
