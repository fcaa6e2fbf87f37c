#include "posix/WakePipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "posix/Eintr.h"

namespace qf580::posix {

WakePipe::WakePipe() {
    int fds[2] = {-1, -1};
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    read_.Reset(fds[0]);
    write_.Reset(fds[1]);
}

void WakePipe::Wake() const noexcept {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written =
        RetryOnEintr([&] { return ::write(write_.Get(), &byte, 1); });
}

void WakePipe::Drain() const noexcept {
    char bytes[64];
    while (RetryOnEintr([&] { return ::read(read_.Get(), bytes, sizeof bytes); }) > 0) {
    }
}

}  // namespace qf580::posix
