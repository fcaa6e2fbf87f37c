// Turns Ctrl+C (and SIGTERM, SIGHUP) into the run's stop request. The signals are blocked in
// every thread and taken from a signalfd on a thread of their own, so no work at all happens
// in a signal handler.
#pragma once

#include <thread>

#include "cli/Reporter.h"
#include "cli/Run.h"
#include "posix/StopSignals.h"
#include "posix/WakePipe.h"

namespace qf580::cli {

class StopWatcher {
  public:
    // The first signal requests the stop; a second leaves the program at once.
    StopWatcher(posix::StopSignalFd& signals, StopRequest& stop, Reporter& reporter);
    StopWatcher(const StopWatcher&) = delete;
    StopWatcher& operator=(const StopWatcher&) = delete;
    ~StopWatcher();

  private:
    void Run(posix::StopSignalFd& signals, StopRequest& stop, Reporter& reporter);

    posix::WakePipe quit_;
    std::thread thread_;  // last: started once quit_ exists
};

}  // namespace qf580::cli
