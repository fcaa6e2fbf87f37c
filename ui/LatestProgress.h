// The worker's latest progress report on its way to the GUI thread. The worker may report far
// more often than a window repaints (every record with fast transfer off), so only the latest
// report waits, and one queued delivery at a time carries it. A delivery is queued behind
// everything the worker handed over before it, its end notice after it, so the last report
// is always shown before the end.
#pragma once

#include <mutex>

#include "transfer/Progress.h"

namespace qf580::ui {

class LatestProgress {
  public:
    // Worker thread: keeps `progress`. True when no delivery is pending, so the caller must
    // queue one.
    bool Put(const TransferProgress& progress) {
        std::lock_guard lock(mutex_);
        latest_ = progress;
        const bool post = !pending_;
        pending_ = true;
        return post;
    }

    // GUI thread, in the queued delivery: the latest report. The next Put queues again.
    TransferProgress Take() {
        std::lock_guard lock(mutex_);
        pending_ = false;
        return latest_;
    }

  private:
    std::mutex mutex_;
    TransferProgress latest_;
    bool pending_ = false;
};

}  // namespace qf580::ui
