// The set's files as they were when a session checked them: a set copied over the old one in
// the middle of a shift must not go out under the old one's check and record.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>
#include <vector>

#include "transfer/SetCheck.h"

namespace qf580::cli {

struct FileStamp {
    std::string path;
    bool present = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};

    bool operator==(const FileStamp& other) const;
};

// Each disk's file of `summary` as it is on the disk now.
std::vector<FileStamp> StampSet(const SetSummary& summary);

// The first file of `then` that is not as it was, or empty when none changed.
std::string ChangedFile(const std::vector<FileStamp>& then, const std::vector<FileStamp>& now);

}  // namespace qf580::cli
