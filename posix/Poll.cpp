#include "posix/Poll.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace qf580::posix {

Deadline Deadline::In(int ms) {
    if (ms < 0) {
        return Never();
    }
    return Deadline(Clock::now() + std::chrono::milliseconds(ms));
}

bool Deadline::Passed() const {
    return at_ && Clock::now() >= *at_;
}

int Deadline::MsLeft() const {
    if (!at_) {
        return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*at_ - Clock::now());
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INT_MAX));
}

Waited WaitFor(int fd, short events, int wakeFd, Deadline deadline) {
    pollfd fds[2];
    nfds_t count = 0;
    int fdAt = -1;
    int wakeAt = -1;
    if (fd >= 0) {
        fdAt = static_cast<int>(count);
        fds[count++] = pollfd{fd, events, 0};
    }
    if (wakeFd >= 0) {
        wakeAt = static_cast<int>(count);
        fds[count++] = pollfd{wakeFd, POLLIN, 0};
    }
    for (;;) {
        const int n = ::poll(fds, count, deadline.MsLeft());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Waited::Failed;
        }
        if (n == 0) {
            // poll may come back a little early by the clock it is measured against.
            if (deadline.Passed()) {
                return Waited::TimedOut;
            }
            continue;
        }
        for (int at : {wakeAt, fdAt}) {
            if (at >= 0 && (fds[at].revents & POLLNVAL) != 0) {
                return Waited::Failed;
            }
        }
        if (wakeAt >= 0 && fds[wakeAt].revents != 0) {
            return Waited::Woken;
        }
        return Waited::Ready;
    }
}

}  // namespace qf580::posix
