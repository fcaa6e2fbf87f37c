// What a file's status says of its contents without reading them: the same file (device and
// inode), as long, last written and last changed at the same moments. Any write through the
// file system moves the change time, which no program can set back.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <ctime>

namespace qf580::posix {

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};

    static FileIdentity Of(const struct stat& status);
    bool operator==(const FileIdentity& other) const;

    // Whether both of its times lie at least `margin` before `now`. A file stamps its writes
    // with a coarse clock (a tick of the kernel's, FAT's two seconds), so a write just after a
    // file was looked at can leave its times where they were; one after a settled file was
    // looked at cannot.
    bool SettledBefore(timespec now, std::chrono::nanoseconds margin) const;
};

}  // namespace qf580::posix
