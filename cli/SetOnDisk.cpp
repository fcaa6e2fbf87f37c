#include "cli/SetOnDisk.h"

#include <sys/stat.h>

namespace qf580::cli {

bool FileStamp::operator==(const FileStamp& other) const {
    return path == other.path && present == other.present && identity == other.identity;
}

std::vector<FileStamp> StampSet(const SetSummary& summary) {
    std::vector<FileStamp> stamps;
    for (const DiskContents& disk : summary.disks) {
        FileStamp stamp;
        stamp.path = disk.path;
        struct stat status {};
        if (::stat(disk.path.c_str(), &status) == 0) {
            stamp.present = true;
            stamp.identity = posix::FileIdentity::Of(status);
        }
        stamps.push_back(std::move(stamp));
    }
    return stamps;
}

std::string ChangedFile(const std::vector<FileStamp>& then, const std::vector<FileStamp>& now) {
    for (std::size_t i = 0; i < then.size(); ++i) {
        if (i >= now.size() || !(then[i] == now[i])) {
            return then[i].path;
        }
    }
    return {};
}

}  // namespace qf580::cli
