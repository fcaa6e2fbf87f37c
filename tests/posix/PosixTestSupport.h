// What the plumbing's tests share: pipes, the flags of a descriptor, and the descriptors a
// process holds.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>
#include <utility>

#include "posix/UniqueFd.h"

namespace qf580::posix::test {

// A plain pipe: read end first.
inline std::pair<UniqueFd, UniqueFd> Pipe() {
    int fds[2] = {-1, -1};
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

inline bool IsOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

inline bool IsCloseOnExec(int fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    return flags != -1 && (flags & FD_CLOEXEC) != 0;
}

inline bool IsNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags != -1 && (flags & O_NONBLOCK) != 0;
}

// The descriptors below 1024 this process holds now (asked one by one: listing /proc/self/fd
// would open one more).
inline std::set<int> OpenDescriptors() {
    std::set<int> fds;
    for (int fd = 0; fd < 1024; ++fd) {
        if (IsOpen(fd)) {
            fds.insert(fd);
        }
    }
    return fds;
}

}  // namespace qf580::posix::test
