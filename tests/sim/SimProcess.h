// Runs qf580-sim as a child process and reads its output lines with time limits.
#pragma once

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "UniqueFd.h"

extern char** environ;

namespace qf580::sim::test {

class SimProcess {
  public:
    explicit SimProcess(std::vector<std::string> args) {
        int out[2];
        int err[2];
        if (::pipe(out) != 0 || ::pipe(err) != 0) {
            throw std::runtime_error("pipe");
        }
        out_.reset(out[0]);
        err_.reset(err[0]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, err[0]);
        args.insert(args.begin(), QF580_SIM_PROGRAM);
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        const int rc =
            ::posix_spawn(&pid_, QF580_SIM_PROGRAM, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        if (rc != 0) {
            throw std::runtime_error("cannot start " QF580_SIM_PROGRAM);
        }
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;
    ~SimProcess() {
        if (pid_ > 0 && !exitCode_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    // The next line of standard output, or nothing at the time limit or the end of output.
    std::optional<std::string> ReadLine(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto newline = buffer_.find('\n');
            if (newline != std::string::npos) {
                std::string line = buffer_.substr(0, newline);
                buffer_.erase(0, newline + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{out_.get(), POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                return std::nullopt;
            }
            char chunk[256];
            const ssize_t n = ::read(out_.get(), chunk, sizeof chunk);
            if (n <= 0) {
                return std::nullopt;
            }
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // Everything the program wrote to standard error so far (reads until its end).
    std::string Errors() {
        std::string text;
        char chunk[256];
        ssize_t n;
        while ((n = ::read(err_.get(), chunk, sizeof chunk)) > 0) {
            text.append(chunk, static_cast<std::size_t>(n));
        }
        return text;
    }

    void Signal(int signal) { ::kill(pid_, signal); }

    // The exit code, or -1 if the program hasn't ended within the limit (or died by a signal).
    int Wait(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!exitCode_) {
            int status = 0;
            const pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                return -1;
            }
            ::usleep(10'000);
        }
        return *exitCode_;
    }

  private:
    pid_t pid_ = -1;
    std::optional<int> exitCode_;
    UniqueFd out_;
    UniqueFd err_;
    std::string buffer_;
};

}  // namespace qf580::sim::test
