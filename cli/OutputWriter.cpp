#include "cli/OutputWriter.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <set>

namespace qf580::cli {

namespace {

constexpr auto kDrainSlice = std::chrono::milliseconds(20);
// A descriptor that is non-blocking (shared with a parent that made it so) is waited for in
// slices, so that an abandoned writer notices it is no longer needed.
constexpr int kReadySliceMs = 100;

struct Item {
    int fd = -1;
    std::string text;
    std::string key;  // empty: never dropped
};

}  // namespace

struct OutputWriter::State {
    FailureHandler onFailure;
    std::size_t bound = 0;
    std::mutex mutex;
    std::condition_variable work;
    std::condition_variable idle;
    std::list<Item> queue;
    std::map<std::string, std::list<Item>::iterator> latest;  // the queued text of each key
    std::size_t queuedBytes = 0;
    bool busy = false;  // the thread writes what it took from the queue
    bool quit = false;
    bool abandoned = false;
    bool inHandler = false;  // the failure handler runs: its owner must still be there
    std::set<int> failedFds;
};

OutputWriter::OutputWriter(FailureHandler onFailure, std::size_t bound)
    : state_(std::make_shared<State>()) {
    state_->onFailure = std::move(onFailure);
    state_->bound = bound;
    thread_ = std::thread([state = state_] { Run(state); });
}

OutputWriter::~OutputWriter() {
    bool stuck = false;
    {
        std::unique_lock lock(state_->mutex);
        state_->idle.wait(lock, [this] { return !state_->inHandler; });
        state_->quit = true;
        stuck = state_->busy || !state_->queue.empty();
        state_->abandoned = stuck;
    }
    state_->work.notify_all();
    if (stuck) {
        thread_.detach();  // it holds the state; the process ending ends it
    } else {
        thread_.join();
    }
}

void OutputWriter::Put(int fd, std::string text) {
    {
        const std::lock_guard lock(state_->mutex);
        if (state_->failedFds.count(fd) != 0) {
            return;
        }
        state_->queuedBytes += text.size();
        state_->queue.push_back(Item{fd, std::move(text), {}});
    }
    state_->work.notify_one();
}

void OutputWriter::PutLatest(int fd, const std::string& key, std::string text) {
    {
        const std::lock_guard lock(state_->mutex);
        if (state_->failedFds.count(fd) != 0) {
            return;
        }
        const auto earlier = state_->latest.find(key);
        if (earlier != state_->latest.end() && state_->queuedBytes > state_->bound) {
            // The later one goes to the end, so that what follows it in time stays after it.
            state_->queuedBytes -= earlier->second->text.size();
            state_->queue.erase(earlier->second);
        }
        state_->queuedBytes += text.size();
        state_->queue.push_back(Item{fd, std::move(text), key});
        state_->latest[key] = std::prev(state_->queue.end());
    }
    state_->work.notify_one();
}

bool OutputWriter::Drain(const std::function<bool()>& giveUp) {
    std::unique_lock lock(state_->mutex);
    for (;;) {
        if (state_->queue.empty() && !state_->busy) {
            return true;
        }
        if (giveUp && giveUp()) {
            return false;
        }
        state_->idle.wait_for(lock, kDrainSlice);
    }
}

bool OutputWriter::Failed() const {
    const std::lock_guard lock(state_->mutex);
    return !state_->failedFds.empty();
}

namespace {

// 0 once `text` is written whole, else the error that ended the writing.
int WriteAll(int fd, std::string_view text, const std::function<bool()>& abandoned) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n > 0) {
            text.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0) {
            return EIO;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return errno;
        }
        if (abandoned()) {
            return 0;
        }
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, kReadySliceMs);
    }
    return 0;
}

}  // namespace

void OutputWriter::Run(const std::shared_ptr<State>& state) {
    std::unique_lock lock(state->mutex);
    const auto abandoned = [&state] {
        const std::lock_guard look(state->mutex);
        return state->abandoned;
    };
    for (;;) {
        state->work.wait(lock, [&] { return state->quit || !state->queue.empty(); });
        if (state->queue.empty() || state->abandoned) {
            return;
        }
        // Everything queued for the first descriptor in one write: a reader that fell
        // behind catches up in few calls.
        const int fd = state->queue.front().fd;
        std::string text;
        for (auto item = state->queue.begin(); item != state->queue.end();) {
            if (item->fd != fd) {
                break;
            }
            text += item->text;
            state->queuedBytes -= item->text.size();
            if (!item->key.empty()) {
                const auto latest = state->latest.find(item->key);
                if (latest != state->latest.end() && latest->second == item) {
                    state->latest.erase(latest);
                }
            }
            item = state->queue.erase(item);
        }
        state->busy = true;
        lock.unlock();
        const int error = WriteAll(fd, text, abandoned);
        lock.lock();
        if (error != 0 && state->failedFds.insert(fd).second) {
            for (auto item = state->queue.begin(); item != state->queue.end();) {
                if (item->fd == fd) {
                    state->queuedBytes -= item->text.size();
                    if (!item->key.empty()) {
                        state->latest.erase(item->key);
                    }
                    item = state->queue.erase(item);
                } else {
                    ++item;
                }
            }
            if (state->onFailure && !state->quit) {
                state->inHandler = true;
                lock.unlock();
                state->onFailure(fd, error);
                lock.lock();
                state->inHandler = false;
            }
        }
        // Only now: what the failure handler put belongs to the same drain.
        state->busy = false;
        state->idle.notify_all();
    }
}

}  // namespace qf580::cli
