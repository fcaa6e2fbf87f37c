// Waiting for one descriptor with a time limit, cut short by a wake-up.
#pragma once

#include <poll.h>

#include <chrono>
#include <optional>

namespace qf580::posix {

// A point in time that a wait may last until; Never for a wait without limit.
class Deadline {
  public:
    using Clock = std::chrono::steady_clock;

    // `ms` from now; a negative `ms` is no limit at all.
    static Deadline In(int ms);
    static Deadline Never() { return Deadline(); }

    bool Passed() const;
    // What is left, in whole milliseconds rounded up, as poll takes it: -1 for Never, 0 once
    // passed.
    int MsLeft() const;

  private:
    Deadline() = default;
    explicit Deadline(Clock::time_point at) : at_(at) {}
    std::optional<Clock::time_point> at_;
};

enum class Waited {
    Ready,     // the descriptor reported one of the events, an error or a hang-up
    Woken,     // the wake descriptor became readable
    TimedOut,  // the deadline passed first
    Failed,    // the wait itself failed, or a descriptor is not open
};

// Waits until `fd` reports one of `events` (poll's POLLIN, POLLOUT), until `wakeFd` is readable, or
// until the deadline. Either descriptor may be -1 to leave it out (with both left out this is a
// sleep). A wake-up wins over a ready descriptor. A signal does not end the wait: it goes on for
// the time that is left.
Waited WaitFor(int fd, short events, int wakeFd, Deadline deadline);

inline Waited WaitFor(int fd, short events, int wakeFd, int timeoutMs) {
    return WaitFor(fd, events, wakeFd, Deadline::In(timeoutMs));
}

}  // namespace qf580::posix
