#include "posix/UniqueFd.h"

#include <unistd.h>

namespace qf580::posix {

void UniqueFd::Reset(int fd) noexcept {
    if (fd_ >= 0 && fd_ != fd) {
        ::close(fd_);
    }
    fd_ = fd;
}

}  // namespace qf580::posix
