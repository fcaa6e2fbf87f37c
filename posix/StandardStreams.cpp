#include "posix/StandardStreams.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "posix/Eintr.h"

namespace qf580::posix {

int OpenMissingStandardStreams() noexcept {
    // One look at all three: poll marks a number that holds no open file with POLLNVAL.
    std::array<pollfd, 3> look{{{0, 0, 0}, {1, 0, 0}, {2, 0, 0}}};
    const bool looked = ::poll(look.data(), look.size(), 0) >= 0;
    for (int fd = 0; fd <= 2; ++fd) {
        const bool missing = looked ? (look[static_cast<std::size_t>(fd)].revents & POLLNVAL) != 0
                                    : ::fcntl(fd, F_GETFD) == -1 && errno == EBADF;
        if (!missing) {
            continue;
        }
        // The lowest free number is this one: every lower one is open by now. Read-only for
        // all three: a write to an output the program was started without fails (EBADF)
        // instead of pretending that something was written.
        const int opened = RetryOnEintr([] { return ::open("/dev/null", O_RDONLY); });
        if (opened == -1) {
            return errno;
        }
        if (opened != fd) {
            // Only if something opened a descriptor at the same moment on another thread.
            const int error = ::dup2(opened, fd) == -1 ? errno : 0;
            ::close(opened);
            if (error != 0) {
                return error;
            }
        }
    }
    return 0;
}

}  // namespace qf580::posix
