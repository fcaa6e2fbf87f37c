// A pipe that wakes a wait on another thread: Wake makes its read end readable.
#pragma once

#include "posix/UniqueFd.h"

namespace qf580::posix {

// Both ends are close-on-exec, so a program started meanwhile inherits neither, and
// non-blocking, so neither Wake nor Drain ever waits.
class WakePipe {
  public:
    // std::system_error when the system gives no pipe.
    WakePipe();

    // Readable from the first Wake until Drain.
    int ReadFd() const noexcept { return read_.Get(); }
    // Safe from any thread and from a signal handler. A pipe too full to take the byte is
    // readable already, so nothing is lost when the write fails.
    void Wake() const noexcept;
    // Takes every byte waiting, for a pipe that wakes the same wait again and again.
    void Drain() const noexcept;

  private:
    UniqueFd read_;
    UniqueFd write_;
};

}  // namespace qf580::posix
