// terramod run in the background by an end-to-end test: its standard input
// and output on pipes the test holds, signals sent while it runs, its end
// waited for within a limit.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace terramod::e2e {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// terramod started in the test's folder with its standard input and output
// on pipes the test holds (or /dev/null), its console text in files.
class LiveRun {
  public:
    LiveRun(const std::filesystem::path& directory, const std::vector<std::string>& arguments,
            bool pipe_input, bool pipe_output) {
        int input[2] = {-1, -1};
        int output[2] = {-1, -1};
        if (pipe_input && ::pipe(input) != 0) return;
        if (pipe_output && ::pipe(output) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            if (::chdir(directory.c_str()) != 0) ::_exit(126);
            if (pipe_input) ::dup2(input[0], STDIN_FILENO);
            if (pipe_output) ::dup2(output[1], STDOUT_FILENO);
            if (!pipe_output) std::freopen(".console", "w", stdout);
            std::freopen(".errors", "w", stderr);
            for (int descriptor : {input[0], input[1], output[0], output[1]})
                if (descriptor >= 0) ::close(descriptor);
            std::vector<char*> argv = {const_cast<char*>(TERRAMOD_BINARY)};
            for (const std::string& argument : arguments)
                argv.push_back(const_cast<char*>(argument.c_str()));
            argv.push_back(nullptr);
            ::execv(TERRAMOD_BINARY, argv.data());
            ::_exit(127);
        }
        if (pipe_input) {
            ::close(input[0]);
            feed_ = input[1];
        }
        if (pipe_output) {
            ::close(output[1]);
            drain_ = output[0];
        }
    }
    ~LiveRun() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (int descriptor : {feed_, drain_})
            if (descriptor >= 0) ::close(descriptor);
    }

    bool feed(const std::string& bytes) const {
        return ::write(feed_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    // The end of the input stream.
    void close_input() {
        if (feed_ >= 0) ::close(feed_);
        feed_ = -1;
    }
    void signal(int number) const { ::kill(pid_, number); }
    // The wait status, or nothing when the run has not ended within `limit`.
    std::optional<int> wait(milliseconds limit) {
        const Clock::time_point deadline = Clock::now() + limit;
        while (!status_ && Clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = status;
            } else {
                std::this_thread::sleep_for(milliseconds(10));
            }
        }
        return status_;
    }

  private:
    pid_t pid_ = -1;
    int feed_ = -1;
    int drain_ = -1;
    std::optional<int> status_;
};

inline int exit_code(const std::optional<int>& status) {
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

}  // namespace terramod::e2e
