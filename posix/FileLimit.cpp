#include "posix/FileLimit.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "posix/Eintr.h"
#include "posix/UniqueFd.h"

namespace qf580::posix {

namespace {

// The descriptors open now; the listing's own included, which its caller will close. Read
// with the system's own listing call into a buffer on the stack: the library's directory
// stream would add a look at the directory and a heap buffer of 32 KiB.
std::uint64_t OpenCount() {
    const UniqueFd dir(::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) {
        return 3;  // no /proc: the standard streams at least
    }
    alignas(dirent64) char buffer[4096];
    std::uint64_t count = 0;
    for (;;) {
        const ssize_t n =
            RetryOnEintr([&] { return ::getdents64(dir.Get(), buffer, sizeof buffer); });
        if (n <= 0) {
            return count;
        }
        // Each entry read field by field, where its layout puts it: the buffer holds bytes.
        for (std::size_t at = 0; at < static_cast<std::size_t>(n);) {
            unsigned short length = 0;
            std::memcpy(&length, buffer + at + offsetof(dirent64, d_reclen), sizeof length);
            if (length == 0) {
                return count;
            }
            count += buffer[at + offsetof(dirent64, d_name)] != '.' ? 1 : 0;
            at += length;
        }
    }
}

}  // namespace

FileLimit MakeRoomForFiles(std::uint64_t more) {
    FileLimit result;
    result.needed = OpenCount() + more;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        result.enough = true;  // nothing known, nothing to refuse on
        return result;
    }
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < result.needed) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max == RLIM_INFINITY
                              ? result.needed
                              : std::min<rlim_t>(limit.rlim_max, result.needed);
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        }
    }
    result.limit = limit.rlim_cur;
    result.enough = limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= result.needed;
    return result;
}

}  // namespace qf580::posix
