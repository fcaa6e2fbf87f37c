// SIGINT, SIGTERM and SIGHUP, the signals that ask a program to stop, taken as data instead of
// in a handler: blocked in every thread and read from a signalfd.
#pragma once

#include <signal.h>

#include "posix/UniqueFd.h"

namespace qf580::posix {

// SIGINT, SIGTERM and SIGHUP, less those whose disposition is to be ignored.
sigset_t StopSignalSet();

// Blocks the stop signals in the calling thread, and so in every thread it starts from then
// on; to hold for the whole program it comes before the first thread. 0, or the error
// number when the mask could not be changed. `blocked`, when given, receives the set.
int BlockStopSignals(sigset_t* blocked = nullptr) noexcept;

// The stop signals as a readable descriptor (close-on-exec, non-blocking).
class StopSignalFd {
  public:
    // Blocks the signals in the calling thread first. std::system_error when either step
    // fails.
    StopSignalFd();
    // For the set that BlockStopSignals has blocked already. std::system_error on failure.
    explicit StopSignalFd(const sigset_t& blocked);

    int Get() const noexcept { return fd_.Get(); }
    // Takes one stop signal that has come: its number, or 0 when none is waiting.
    int Take() noexcept;

  private:
    UniqueFd fd_;
};

}  // namespace qf580::posix
