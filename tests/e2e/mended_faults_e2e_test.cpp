// The faults mended in the driver: base names cut only in the last path
// component, names of any length, failed files reported by the exit code,
// inputs that are not regular files, and output or log files that would
// overwrite the input or the log.
#include "tests/e2e/e2e_support.h"

namespace terramod::e2e {
namespace {

using MendedFaultsE2e = E2eTest;

TEST_F(MendedFaultsE2e, BaseNameIsCutOnlyInTheLastPathComponent) {
    write_file(path("in.ts"), make_stream(188));
    fs::create_directories(path("my.run"));
    EXPECT_EQ(run({"-i", "in.ts", "-o", "my.run/out", "-d", "t"}).exit_code, 0);
    EXPECT_EQ(fs::file_size(path("my.run/out.bin")), kSamples * 8);
    EXPECT_FALSE(fs::exists(path("my.bin")));

    EXPECT_EQ(run({"-i", "in.ts", "-o", "out.ts", "-d", "t"}).exit_code, 0);
    EXPECT_EQ(fs::file_size(path("out.bin")), kSamples * 8);

    EXPECT_EQ(run({"-i", "in.ts", "-o", ".hidden", "-d", "e"}).exit_code, 0);
    EXPECT_EQ(fs::file_size(path("_ed.bin")), kTsBytes);
    EXPECT_EQ(run({"-i", "in.ts", "-o", "my.run/.hidden.x", "-d", "e"}).exit_code, 0);
    EXPECT_EQ(fs::file_size(path("my.run/_ed.bin")), kTsBytes);
}

TEST_F(MendedFaultsE2e, NamesAndLettersOfAnyLength) {
    write_file(path("in.ts"), make_stream(188));
    // A folder path far beyond 128 characters.
    std::string folder;
    for (int level = 0; level < 6; ++level) folder += std::string(60, 'a' + level) + "/";
    fs::create_directories(path(folder));
    const std::string letters = std::string(40, 'x') + "e" + std::string(40, 'y') + "t";
    const RunResult result = run({"-i", "in.ts", "-o", folder + "out", "-d", letters, "-F",
                                  std::string(300, 'z'), "-l", folder + "run.log"});
    EXPECT_EQ(result.exit_code, 0) << result.console;
    EXPECT_EQ(fs::file_size(path(folder + "out_ed.bin")), kTsBytes);
    EXPECT_EQ(fs::file_size(path(folder + "out.bin")), kSamples * 8);
    EXPECT_TRUE(ends_with(read_file(path(folder + "run.log")), kFooter));
}

TEST_F(MendedFaultsE2e, FileThatCannotBeCreatedEndsWithCodeTwo) {
    write_file(path("in.ts"), make_stream(2 * kTsBytes));
    const RunResult result = run({"-i", "in.ts", "-o", "missing/out", "-d", "et"});
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_NE(result.console.find("Energy disperder stream dumping selected\n"
                                  "WARNING: Can't open \"missing/out_ed.bin\" -> skipping ...\n"
                                  "DAC stream dumping selected - Standard format\n"
                                  "WARNING: Can't open \"missing/out.bin\" -> skipping ...\n"),
              std::string::npos)
        << result.console;
    // The run itself went to the end.
    EXPECT_EQ(count_of(result.console, "*** Cycle #"), 2);
    EXPECT_TRUE(ends_with(read_file(path("test.log")), kFooter));
}

TEST_F(MendedFaultsE2e, MissingAgilentHalfWritesNeitherAndEndsWithCodeTwo) {
    write_file(path("in.ts"), make_stream(188));
    fs::create_directories(path("out_Q.bin"));  // a folder: the Q file cannot be created
    const RunResult result = run({"-i", "in.ts", "-o", "out", "-d", "t", "-F", "agi"});
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_NE(result.console.find("WARNING: Can't open \"out_Q.bin\" -> skipping ...\n"),
              std::string::npos);
    EXPECT_EQ(result.console.find("DAC files"), std::string::npos);
    EXPECT_EQ(fs::file_size(path("out_I.bin")), 0u);
}

TEST_F(MendedFaultsE2e, FailedWritesWarnEveryCycleAndEndWithCodeTwo) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    write_file(path("in.ts"), make_stream(2 * kTsBytes));
    fs::create_symlink("/dev/full", path("out.bin"));
    fs::create_symlink("/dev/full", path("out_rs.bin"));
    const RunResult result = run({"-i", "in.ts", "-o", "out", "-d", "ert"});
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(count_of(result.console,
                       "Dumping 143616 samples to TimeDom file ..."
                       "WARNING: Couldn't write to TimeDom file\n done.\n"),
              2);
    EXPECT_EQ(count_of(result.console, "WARNING: Couldn't write to RS file\n"), 2);
    EXPECT_EQ(count_of(result.console, "WARNING: Couldn't write to EnDisp file\n"), 0);
    EXPECT_EQ(fs::file_size(path("out_ed.bin")), 2 * kTsBytes);
    EXPECT_TRUE(ends_with(read_file(path("test.log")), kFooter));
}

TEST_F(MendedFaultsE2e, InputThatIsNotARegularFileIsFatal) {
    fs::create_directories(path("folder.ts"));
    // A character device such as /dev/null is read as a stream now (see
    // stream_e2e_test.cpp); a folder stays fatal.
    for (const std::string input : {"folder.ts"}) {
        const RunResult result = run({"-i", input, "-o", "out", "-d", "et"});
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_TRUE(
            ends_with(result.console, "FATAL ERROR: \"" + input + "\" is not a regular file\n"))
            << result.console;
        EXPECT_EQ(result.console.find("Cycle"), std::string::npos);
        EXPECT_FALSE(ends_with(read_file(path("test.log")), kFooter));
        EXPECT_FALSE(fs::exists(path("out.bin")));
    }
}

TEST_F(MendedFaultsE2e, OutputNamingTheInputIsFatalAndTouchesNothing) {
    const std::string stream = make_stream(3 * 188);
    write_file(path("x.bin"), stream);
    fs::create_hard_link(path("x.bin"), path("link_ed.bin"));
    fs::create_symlink("x.bin", path("sym_I.bin"));
    struct Case {
        std::vector<std::string> arguments;
        std::string name;
    };
    const Case cases[] = {
        {{"-i", "x.bin", "-o", "x", "-d", "et"}, "x.bin"},                    // same name
        {{"-i", "x.bin", "-o", "./x.ts", "-d", "t"}, "./x.bin"},              // another path
        {{"-i", "x.bin", "-o", "link", "-d", "ret"}, "link_ed.bin"},          // a hard link
        {{"-i", "x.bin", "-o", "sym", "-d", "t", "-F", "agi"}, "sym_I.bin"},  // a symbolic link
    };
    for (const Case& c : cases) {
        const RunResult result = run(c.arguments);
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_TRUE(ends_with(result.console,
                              "FATAL ERROR: output file \"" + c.name + "\" is the input file\n"))
            << result.console;
        EXPECT_EQ(result.console.find("dumping selected"), std::string::npos);
        EXPECT_FALSE(ends_with(read_file(path("test.log")), kFooter));
        EXPECT_EQ(read_file(path("x.bin")), stream);
    }
    // No other file was created by any of the runs.
    EXPECT_EQ(files(), (std::vector<std::string>{"link_ed.bin", "sym_I.bin", "test.log", "x.bin"}));
}

// A stage file that is the open log would get the log's text written into
// its samples; the run stops before opening any stage file.
TEST_F(MendedFaultsE2e, OutputNamingTheLogIsFatal) {
    const std::string stream = make_stream(188);
    write_file(path("in.ts"), stream);
    write_file(path("run.log"), "");
    fs::create_hard_link(path("run.log"), path("link_ed.bin"));
    struct Case {
        std::vector<std::string> arguments;
        std::string log;
        std::string name;
    };
    const Case cases[] = {
        {{"-l", "out.bin", "-o", "out", "-d", "et"}, "out.bin", "out.bin"},
        {{"-l", "out_Q.bin", "-o", "out", "-d", "t", "-F", "agi"}, "out_Q.bin", "out_Q.bin"},
        {{"-l", "run.log", "-o", "link", "-d", "re"}, "run.log", "link_ed.bin"},  // a hard link
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments = {"-i", "in.ts"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const RunResult result = run(arguments);
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_TRUE(ends_with(result.console,
                              "FATAL ERROR: output file \"" + c.name + "\" is the log file\n"))
            << result.console;
        EXPECT_EQ(result.console.find("dumping selected"), std::string::npos);
        // The log holds the run's text only: no samples, no footer.
        EXPECT_EQ(log_body(read_file(path(c.log))), result.console);
    }
    EXPECT_EQ(read_file(path("in.ts")), stream);
    EXPECT_EQ(files(), (std::vector<std::string>{"in.ts", "link_ed.bin", "out.bin", "out_Q.bin",
                                                 "run.log"}));

    // A device is no stored file: /dev/null may take the log and the output.
    fs::create_symlink("/dev/null", path("null.bin"));
    EXPECT_EQ(run({"-i", "in.ts", "-l", "/dev/null", "-o", "null", "-d", "t"}).exit_code, 0);
}

TEST_F(MendedFaultsE2e, LogNamingTheInputIsFatalAndTouchesNothing) {
    const std::string stream = make_stream(188);
    write_file(path("test.log"), stream);
    const RunResult result = run({"-i", "test.log"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.console, "FATAL ERROR: log file \"test.log\" is the input file\n");
    EXPECT_EQ(read_file(path("test.log")), stream);
}

}  // namespace
}  // namespace terramod::e2e
