// The set's files as they were when a session checked them: a set copied over the old one in
// the middle of a shift must not go out under the old one's check and record.
#pragma once

#include <string>
#include <vector>

#include "posix/FileIdentity.h"
#include "transfer/SetCheck.h"

namespace qf580::cli {

struct FileStamp {
    std::string path;
    bool present = false;
    posix::FileIdentity identity;  // where present

    bool operator==(const FileStamp& other) const;
};

// Each disk's file of `summary` as it is on the disk now.
std::vector<FileStamp> StampSet(const SetSummary& summary);

// The first file of `then` that is not as it was, or empty when none changed.
std::string ChangedFile(const std::vector<FileStamp>& then, const std::vector<FileStamp>& now);

}  // namespace qf580::cli
