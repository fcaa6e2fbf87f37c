// The open-file limit, checked before a run that needs many descriptors at once: a transfer
// that meets EMFILE half-way has already touched its device.
#pragma once

#include <cstdint>

namespace qf580::posix {

struct FileLimit {
    bool enough = false;
    std::uint64_t limit = 0;   // the soft limit now
    std::uint64_t needed = 0;  // the descriptors open now and those asked for
};

// Makes room for `more` descriptors besides those open now: raises the soft limit toward the
// hard one as far as that takes (as servers do), never lowers it.
FileLimit MakeRoomForFiles(std::uint64_t more);

}  // namespace qf580::posix
