// ratestat: the lowest, highest and average speed of the speed lines that
// terramod writes at the end of its runs, and the WPP figure for a processor
// clock.
//
// Order of checks: the usage line when arguments are missing; then the clock
// frequency, so that a bad argument stops the program before it touches the
// file and before anything is printed on standard output; then the file's
// size, the "Reading" line, and the file itself. The "Reading" line is
// therefore always the first line on standard output when the file exists.
// Every error goes to standard error and ends the program with status 1.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <system_error>

#include "ratestat_core.h"

namespace {

// The speed lines of the file, read in one pass in constant memory; nothing
// when the file cannot be opened or read.
std::optional<ratestat::SpeedFileContents> read_speed_file(const char* file_name) {
    std::FILE* file = std::fopen(file_name, "r");
    if (file == nullptr) return std::nullopt;
    ratestat::FileTextSource source(file);
    const ratestat::SpeedFileContents contents = ratestat::read_speed_lines(source);
    const bool close_failed = std::fclose(file) != 0;
    if (contents.read_failed || close_failed) return std::nullopt;
    return contents;
}

void print_statistics(const ratestat::SpeedStatistics& statistics, double clock_mhz) {
    std::printf("Minimum speed is %f kbps\n", statistics.minimum);
    std::printf("Maximum speed is %f kbps\n", statistics.maximum);
    std::printf("Average speed is %f kbps\n", ratestat::average_speed(statistics));
    std::printf("WPP is %.0f\n", ratestat::wpp(statistics, clock_mhz));
}

int report_speed_file(const char* file_name, double clock_mhz) {
    std::error_code error;
    const std::uintmax_t file_size = std::filesystem::file_size(file_name, error);
    if (error) {
        std::fprintf(stderr, "Can't read \"%s\"\n", file_name);
        return 1;
    }
    std::printf("Reading %s (%ju bytes)\n", file_name, file_size);

    const std::optional<ratestat::SpeedFileContents> contents = read_speed_file(file_name);
    if (!contents) {
        std::fprintf(stderr, "Can't read \"%s\"\n", file_name);
        return 1;
    }
    if (contents->blank) {
        std::fprintf(stderr, "No speed lines in \"%s\"\n", file_name);
        return 1;
    }
    if (contents->bad_line != 0) {
        std::fprintf(stderr, "Line %lld is not a speed line\n",
                     static_cast<long long>(contents->bad_line));
        return 1;
    }
    print_statistics(contents->statistics, clock_mhz);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::printf("Usage: ratestat file_name clock_mhz\n");
        return 1;
    }
    // Arguments after the second are ignored.
    const char* file_name = argv[1];
    const std::optional<double> clock_mhz = ratestat::parse_clock_mhz(argv[2]);
    if (!clock_mhz) {
        std::fprintf(stderr, "Invalid clock frequency: %s\n", argv[2]);
        return 1;
    }
    const int status = report_speed_file(file_name, *clock_mhz);
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "Can't write the statistics\n");
        return 1;
    }
    return status;
}
