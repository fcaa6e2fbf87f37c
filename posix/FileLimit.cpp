#include "posix/FileLimit.h"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <memory>

namespace qf580::posix {

namespace {

// The descriptors open now; the listing's own included, which its caller will close.
std::uint64_t OpenCount() {
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir("/proc/self/fd"), ::closedir);
    if (!dir) {
        return 3;  // no /proc: the standard streams at least
    }
    std::uint64_t count = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        count += entry->d_name[0] != '.' ? 1 : 0;
    }
    return count;
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
