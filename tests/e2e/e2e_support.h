// Helpers of the end-to-end tests: a scratch folder per test, running the
// built terramod in it, and reading back what it wrote.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

namespace terramod::e2e {

namespace fs = std::filesystem;

// Block sizes of the default settings (2k, 4QAM, 1/2, 1/32, 8 MHz).
inline constexpr int64_t kTsBytes = 11844;
inline constexpr int64_t kRsBytes = 12852;
inline constexpr int64_t kCodedBits = 205632;
inline constexpr int64_t kPuncturedBits = 205632;
inline constexpr int64_t kCells = 102816;
inline constexpr int64_t kFrameCells = 115940;
inline constexpr int64_t kSamples = 143616;

// The exit status of a program stopped by AddressSanitizer or
// UndefinedBehaviorSanitizer (set by `make check-sanitizers`).
inline constexpr int kSanitizerExitCode = 86;

inline constexpr const char* kFooter = "________________________________________________\n\n";

struct RunResult {
    int exit_code = -1;
    std::string console;  // standard output
    std::string errors;   // standard error
};

inline std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

inline void write_file(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

// `packets` valid transport stream packets (sync byte, a null PID and a
// counting payload), cut to `length` bytes.
inline std::string make_stream(int64_t length) {
    std::string stream(static_cast<size_t>(length), '\0');
    for (int64_t i = 0; i < length; ++i) {
        const int64_t position = i % 188;
        if (position == 0)
            stream[i] = 0x47;
        else if (position == 1)
            stream[i] = 0x1F;
        else if (position == 2)
            stream[i] = static_cast<char>(0xFF);
        else
            stream[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    }
    return stream;
}

inline std::string shell_quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The SHA-256 of a file in hex, as sha256sum gives it ("" when it cannot run).
inline std::string sha256_of(const fs::path& file) {
    const std::string command = "sha256sum " + shell_quote(file.string());
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return "";
    char digest[65] = {};
    const size_t read = std::fread(digest, 1, 64, pipe);
    ::pclose(pipe);
    return std::string(digest, read);
}

// The log file's text after its header line and the empty line.
inline std::string log_body(const std::string& log) {
    const size_t end = log.find("\n\n");
    return end == std::string::npos ? "<no header>" : log.substr(end + 2);
}

// The log without the lines that differ between runs of the same work: the
// header's time, the thread count and the speed.
inline std::string log_without_timing(const std::string& log) {
    std::istringstream lines(log_body(log));
    std::string kept;
    for (std::string line; std::getline(lines, line);) {
        const bool varying = line.starts_with("Threads: ") || line.starts_with("Elapsed time = ") ||
                             line.starts_with("The run went at the ") ||
                             line.find(" than real-time") != std::string::npos;
        if (!varying) kept += line + "\n";
    }
    return kept;
}

inline bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

inline int count_of(const std::string& text, const std::string& piece) {
    int count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

// A fresh folder for one test, removed afterwards; terramod runs inside it.
class E2eTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "_" + info->name();
        for (char& c : name)
            if (c == '/') c = '_';
        directory_ =
            fs::temp_directory_path() / ("terramod_e2e_" + name + "_" + std::to_string(::getpid()));
        fs::remove_all(directory_);
        fs::create_directories(directory_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }

    fs::path path(const std::string& name) const { return directory_ / name; }

    RunResult run(const std::vector<std::string>& arguments) const {
        std::string command = "cd ";
        command.append(shell_quote(directory_.string())).append(" && ");
        command.append(shell_quote(TERRAMOD_BINARY));
        for (const std::string& argument : arguments)
            command.append(" ").append(shell_quote(argument));
        command.append(" >").append(shell_quote(path(".console").string()));
        command.append(" 2>").append(shell_quote(path(".errors").string()));
        const int status = std::system(command.c_str());
        RunResult result;
        result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.console = read_file(path(".console"));
        result.errors = read_file(path(".errors"));
        // `make check-sanitizers` ends a run with 86 when the sanitizers find a fault.
        EXPECT_NE(result.exit_code, kSanitizerExitCode) << result.errors;
        fs::remove(path(".console"));
        fs::remove(path(".errors"));
        return result;
    }

    // Files terramod left in the folder (names sorted).
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(directory_))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path directory_;
};

// Runs with SoapySDR finding the test device module only
// (tests/soapy_device), skipped in a build without SoapySDR.
class TestDeviceE2e : public E2eTest {
  protected:
    void SetUp() override {
#ifndef SOAPY_MODULE_DIR
        GTEST_SKIP() << "built without SoapySDR";
#else
        ::setenv("SOAPY_SDR_PLUGIN_PATH", SOAPY_MODULE_DIR, 1);
        E2eTest::SetUp();
#endif
    }
    // The test device's arguments, recording what it sends to rec.bin, with
    // `extra` (",pace=0", ...) after them.
    std::string test_device(const std::string& extra) const {
        return "driver=terramod_test,record=" + path("rec.bin").string() + extra;
    }
};

}  // namespace terramod::e2e
