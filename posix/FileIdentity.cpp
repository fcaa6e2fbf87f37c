#include "posix/FileIdentity.h"

namespace qf580::posix {

namespace {

bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::chrono::nanoseconds SinceEpoch(const timespec& t) {
    return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

}  // namespace

FileIdentity FileIdentity::Of(const struct stat& status) {
    return {status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
}

bool FileIdentity::operator==(const FileIdentity& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           SameTime(modified, other.modified) && SameTime(changed, other.changed);
}

bool FileIdentity::SettledBefore(timespec now, std::chrono::nanoseconds margin) const {
    const std::chrono::nanoseconds latest = SinceEpoch(now) - margin;
    return SinceEpoch(modified) < latest && SinceEpoch(changed) < latest;
}

}  // namespace qf580::posix
