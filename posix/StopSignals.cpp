#include "posix/StopSignals.h"

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "posix/Eintr.h"

namespace qf580::posix {

sigset_t StopSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    // SIGHUP is the terminal closing: a transfer cut off mid-record helps nobody, one that
    // stops at its next stop point ends cleanly.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal ignored when the program started (SIGHUP under nohup, SIGINT in a
        // background job) is meant to be ignored. Blocked, it would still be queued for the
        // signalfd, ignored or not, and stop the transfer: it is left out instead.
        struct sigaction action {};
        if (::sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
            continue;
        }
        sigaddset(&set, signal);
    }
    return set;
}

namespace {

int Block(const sigset_t& set) noexcept {
    // pthread_sigmask reports its error as its result, not through errno.
    return ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace

int BlockStopSignals(sigset_t* blocked) noexcept {
    const sigset_t set = StopSignalSet();
    if (blocked != nullptr) {
        *blocked = set;
    }
    return Block(set);
}

namespace {

// One set for both steps: the signals blocked are the signals read.
sigset_t BlockedOrThrow() {
    sigset_t set;
    if (const int error = BlockStopSignals(&set); error != 0) {
        throw std::system_error(error, std::generic_category(),
                                "blocking SIGINT, SIGTERM and SIGHUP");
    }
    return set;
}

}  // namespace

StopSignalFd::StopSignalFd() : StopSignalFd(BlockedOrThrow()) {}

StopSignalFd::StopSignalFd(const sigset_t& blocked) {
    fd_.Reset(::signalfd(-1, &blocked, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!fd_) {
        throw std::system_error(errno, std::generic_category(), "signalfd");
    }
}

int StopSignalFd::Take() noexcept {
    signalfd_siginfo info{};
    const ssize_t n = RetryOnEintr([&] { return ::read(fd_.Get(), &info, sizeof info); });
    return n == static_cast<ssize_t>(sizeof info) ? static_cast<int>(info.ssi_signo) : 0;
}

}  // namespace qf580::posix
