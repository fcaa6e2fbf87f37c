#include "posix/StandardStreams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "posix/Eintr.h"

namespace qf580::posix {

int OpenMissingStandardStreams() noexcept {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
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
