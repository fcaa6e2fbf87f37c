// For tests of opens that must not wait: should one wait on a named pipe after all, this
// opens the pipe's other end once the limit has passed and closes it again, which ends the
// wait with an empty pipe, so the test fails instead of hanging.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qf580::test {

class FifoRescue {
  public:
    FifoRescue(std::vector<std::string> fifos, std::chrono::milliseconds limit)
        : fifos_(std::move(fifos)), thread_([this, limit] { Run(limit); }) {}
    FifoRescue(const FifoRescue&) = delete;
    FifoRescue& operator=(const FifoRescue&) = delete;
    ~FifoRescue() {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

    // True if an open was waiting on one of the pipes when the limit passed.
    bool Rescued() const { return rescued_.load(); }

  private:
    void Run(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        if (wake_.wait_for(lock, limit, [this] { return stopped_; })) {
            return;
        }
        // Keep trying: a reader may only just be getting to its open.
        while (!wake_.wait_for(lock, std::chrono::milliseconds(10), [this] { return stopped_; })) {
            for (const std::string& fifo : fifos_) {
                // Succeeds only while someone waits to read.
                const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                if (fd >= 0) {
                    ::close(fd);
                    rescued_.store(true);
                }
            }
        }
    }

    const std::vector<std::string> fifos_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopped_ = false;
    std::atomic<bool> rescued_{false};
    std::thread thread_;
};

}  // namespace qf580::test
