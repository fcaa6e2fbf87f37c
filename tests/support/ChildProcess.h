// A program run as a child process with pipes on its standard input, output and error, for the
// tests of the command line and the simulator program.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "posix/UniqueFd.h"
#include "tests/support/WaitUntil.h"

extern char** environ;

namespace qf580::test {

class ChildProcess {
  public:
    // What Wait gives for a child that had not ended in time.
    static constexpr int kNotEnded = -1;

    // args[0] is the program's path. The child inherits the caller's signal mask and
    // environment. std::runtime_error when it cannot be started.
    explicit ChildProcess(const std::vector<std::string>& args) {
        int in[2];
        int out[2];
        int err[2];
        if (::pipe2(in, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        in_.Reset(in[1]);
        const posix::UniqueFd childIn(in[0]);
        if (::pipe2(out, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        out_.Reset(out[0]);
        const posix::UniqueFd childOut(out[1]);
        if (::pipe2(err, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        err_.Reset(err[0]);
        const posix::UniqueFd childErr(err[1]);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, childIn.Get(), 0);
        posix_spawn_file_actions_adddup2(&actions, childOut.Get(), 1);
        posix_spawn_file_actions_adddup2(&actions, childErr.Get(), 2);
        std::vector<char*> argv;
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            pid_ = -1;
            throw std::runtime_error("cannot start " + args.at(0));
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    pid_t Pid() const { return pid_; }

    void Write(const std::string& text) {
        if (::write(in_.Get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            throw std::runtime_error("write to the program's input");
        }
    }
    void CloseInput() { in_.Reset(); }
    void Signal(int sig) {
        if (pid_ > 0) {
            ::kill(pid_, sig);
        }
    }

    // Reads the output until it holds `text` or the time is up; true when it was seen.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit) {
        return WaitUntil([&] { return out.find(text) != std::string::npos; }, limit);
    }

    // Reads the output and the errors until `done` holds or the time is up; true when it held.
    bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
        return test::WaitUntil(done, limit, [this](std::chrono::milliseconds left) {
            return Pump(static_cast<int>(left.count()));
        });
    }

    // The next line of standard output that no call has taken yet, reading for at most
    // `limit`; nullopt at the limit or once the output has ended.
    std::optional<std::string> ReadLine(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        std::optional<std::string> line;
        WaitUntil(
            [&] {
                const std::size_t newline = out.find('\n', lineAt_);
                if (newline != std::string::npos) {
                    line = out.substr(lineAt_, newline - lineAt_);
                    lineAt_ = newline + 1;
                }
                return line.has_value();
            },
            limit);
        return line;
    }

    // Everything the program wrote to standard error so far, without waiting for more.
    std::string Errors() {
        Pump(0);
        return err;
    }

    // The one exit rule: closes the child's input (nobody answers any more), reads its output
    // to the end and returns its exit code, 0 to 255; 128 + N when signal N ended it, as a
    // shell reports it; kNotEnded when it had not ended within `limit`, and it is then killed.
    int Wait(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        if (pid_ <= 0) {
            return exitCode_;
        }
        CloseInput();
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (MsUntil(deadline) > 0 && Pump(MsUntil(deadline))) {
        }
        int status = 0;
        pid_t done = ::waitpid(pid_, &status, WNOHANG);
        while (done == 0 && MsUntil(deadline) > 0) {
            ::poll(nullptr, 0, 5);  // output closed early: the end is near
            done = ::waitpid(pid_, &status, WNOHANG);
        }
        if (done != pid_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            exitCode_ = kNotEnded;
        } else {
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        pid_ = -1;
        return exitCode_;
    }

    // Standard output so far, line by line (the last one may be unfinished).
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        std::size_t start = 0;
        for (std::size_t nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1) {
            lines.push_back(out.substr(start, nl - start));
        }
        if (start < out.size()) {
            lines.push_back(out.substr(start));
        }
        return lines;
    }

    std::string out;
    std::string err;

  private:
    static int MsUntil(std::chrono::steady_clock::time_point deadline) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        return left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }

    // One round of reading, waiting up to `timeoutMs` for something; false once both
    // outputs have ended.
    bool Pump(int timeoutMs) {
        if (!out_ && !err_) {
            return false;
        }
        pollfd fds[2] = {{out_.Get(), POLLIN, 0}, {err_.Get(), POLLIN, 0}};
        if (::poll(fds, 2, timeoutMs) <= 0) {
            return true;
        }
        char buf[4096];
        for (int i = 0; i < 2; ++i) {
            posix::UniqueFd& fd = i == 0 ? out_ : err_;
            if (fd && fds[i].revents != 0) {
                const ssize_t n = ::read(fd.Get(), buf, sizeof buf);
                if (n <= 0) {
                    fd.Reset();
                } else {
                    (i == 0 ? out : err).append(buf, static_cast<std::size_t>(n));
                }
            }
        }
        return out_ || err_;
    }

    pid_t pid_ = -1;
    int exitCode_ = kNotEnded;
    posix::UniqueFd in_;
    posix::UniqueFd out_;
    posix::UniqueFd err_;
    std::size_t lineAt_ = 0;
};

}  // namespace qf580::test
