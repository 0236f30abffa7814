// --cell-id on whole runs: the report line, the SigMF key and a signal that
// differs from the default one in the TPS cells alone; without the option
// the files carry no trace of it.
#include "tests/e2e/e2e_support.h"

namespace terramod::e2e {
namespace {

using CellIdE2e = E2eTest;

TEST_F(CellIdE2e, ReportMetadataAndSignal) {
    write_file(path("in.ts"), make_stream(188 * 200));
    ASSERT_EQ(run({"-i", "in.ts", "-o", "plain", "-l", "plain.log", "-d", "t"}).exit_code, 0);
    const RunResult result =
        run({"-i", "in.ts", "-o", "cell", "-l", "cell.log", "-d", "t", "--cell-id", "42"});
    ASSERT_EQ(result.exit_code, 0) << result.console << result.errors;
    const std::string line = "\tCell id             : 42 (0x002A)\n";
    EXPECT_EQ(count_of(read_file(path("cell.log")), line), 1);
    EXPECT_EQ(read_file(path("plain.log")).find("Cell id"), std::string::npos);
    EXPECT_NE(read_file(path("cell.sigmf-meta")).find("\"dvbt:cell_id\": 42"), std::string::npos);
    EXPECT_EQ(read_file(path("plain.sigmf-meta")).find("cell"), std::string::npos);

    // The TPS cells now carry length 31 and the id: the signals differ.
    const std::string plain = read_file(path("plain.bin"));
    const std::string cell = read_file(path("cell.bin"));
    ASSERT_EQ(plain.size(), cell.size());
    ASSERT_FALSE(plain.empty());
    EXPECT_NE(plain, cell);
}

// An invalid value is ignored with the message of the other numbers, and the
// run is the default one.
TEST_F(CellIdE2e, InvalidValueIsIgnored) {
    write_file(path("in.ts"), make_stream(188 * 100));
    ASSERT_EQ(run({"-i", "in.ts", "-o", "plain", "-d", "t"}).exit_code, 0);
    const RunResult result = run({"-i", "in.ts", "-o", "bad", "-d", "t", "--cell-id", "65536"});
    ASSERT_EQ(result.exit_code, 0);
    EXPECT_NE(result.console.find("Invalid cell id 65536: ignored.\n"
                                  "  --cell-id takes a whole number from 0 to 65535.\n"),
              std::string::npos)
        << result.console;
    EXPECT_EQ(read_file(path("bad.bin")), read_file(path("plain.bin")));
}

}  // namespace
}  // namespace terramod::e2e
