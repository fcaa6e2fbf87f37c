#include "cli/OutputWriter.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace qf580::cli {

namespace {

using Clock = std::chrono::steady_clock;

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
    std::chrono::milliseconds gather{};
    std::mutex mutex;
    std::condition_variable work;
    std::condition_variable idle;
    std::list<Item> queue;
    std::map<std::string, std::list<Item>::iterator> latest;  // the queued text of each key
    std::size_t queuedBytes = 0;
    Clock::time_point firstQueued;  // of what is queued now
    bool asleep = false;            // waits for a first line: only a put wakes it
    bool gathering = false;         // waits for more lines: only a flush wakes it
    bool now = false;               // a flush asked for what is queued to go out at once
    bool busy = false;              // the thread writes what it took from the queue
    bool quit = false;
    bool abandoned = false;
    bool inHandler = false;     // the failure handler runs: its owner must still be there
    std::uint64_t written = 0;  // bytes written so far: whether a write moves at all
    std::set<int> failedFds;

    // Queues `item`; true when the thread has to be woken for it. The caller holds mutex.
    bool Queue(Item item) {
        if (queue.empty()) {
            firstQueued = Clock::now();
        }
        queuedBytes += item.text.size();
        queue.push_back(std::move(item));
        return std::exchange(asleep, false);
    }
};

OutputWriter::OutputWriter(FailureHandler onFailure, std::size_t bound,
                           std::chrono::milliseconds gather)
    : state_(std::make_shared<State>()) {
    state_->onFailure = std::move(onFailure);
    state_->bound = bound;
    state_->gather = gather;
    thread_ = std::thread([state = state_] { Run(state); });
}

OutputWriter::~OutputWriter() {
    std::unique_lock lock(state_->mutex);
    state_->idle.wait(lock, [this] { return !state_->inHandler; });
    state_->quit = true;
    state_->now = true;
    state_->work.notify_all();
    for (;;) {
        const std::uint64_t before = state_->written;
        const bool done = state_->idle.wait_for(
            lock, kStuckLimit, [this] { return state_->queue.empty() && !state_->busy; });
        if (done) {
            break;
        }
        if (state_->written == before) {
            state_->abandoned = true;
            lock.unlock();
            thread_.detach();  // it holds the state; the process ending ends it
            return;
        }
    }
    lock.unlock();
    thread_.join();
}

void OutputWriter::Put(int fd, std::string text) {
    bool wake = false;
    {
        const std::lock_guard lock(state_->mutex);
        if (state_->failedFds.count(fd) != 0) {
            return;
        }
        wake = state_->Queue(Item{fd, std::move(text), {}});
    }
    if (wake) {
        state_->work.notify_one();
    }
}

void OutputWriter::PutLatest(int fd, const std::string& key, std::string text) {
    bool wake = false;
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
        wake = state_->Queue(Item{fd, std::move(text), key});
        state_->latest[key] = std::prev(state_->queue.end());
    }
    if (wake) {
        state_->work.notify_one();
    }
}

void OutputWriter::Flush() {
    bool wake = false;
    {
        const std::lock_guard lock(state_->mutex);
        if (state_->queue.empty()) {
            return;
        }
        state_->now = true;
        wake = state_->gathering || std::exchange(state_->asleep, false);
    }
    if (wake) {
        state_->work.notify_one();
    }
}

bool OutputWriter::Drain(const std::function<bool()>& giveUp) {
    Flush();
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

// 0 once `text` is written whole, else the error that ended the writing. A descriptor that
// blocks holds the thread in write: nothing else waits for it.
int WriteAll(int fd, std::string_view text, std::mutex& mutex, std::uint64_t& written,
             const bool& abandoned) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n > 0) {
            text.remove_prefix(static_cast<std::size_t>(n));
            const std::lock_guard lock(mutex);
            written += static_cast<std::uint64_t>(n);
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
        {
            const std::lock_guard lock(mutex);
            if (abandoned) {
                return 0;
            }
        }
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, kReadySliceMs);
    }
    return 0;
}

// Everything taken from the queue, each run of texts for the same descriptor as one.
std::vector<std::pair<int, std::string>> Joined(std::list<Item>& queue) {
    std::vector<std::pair<int, std::string>> runs;
    for (Item& item : queue) {
        if (runs.empty() || runs.back().first != item.fd) {
            runs.emplace_back(item.fd, std::move(item.text));
        } else {
            runs.back().second += item.text;
        }
    }
    queue.clear();
    return runs;
}

}  // namespace

void OutputWriter::Run(const std::shared_ptr<State>& state) {
    std::unique_lock lock(state->mutex);
    // Lines come in runs while a transfer goes on. After a write the thread waits one
    // gathering time for the next ones, which need not wake it, and writes what came; only
    // when nothing came does it sleep until a line wakes it.
    std::optional<Clock::time_point> lingerUntil;
    bool lingered = false;
    for (;;) {
        if (state->queue.empty()) {
            if (state->quit) {
                return;
            }
            if (lingerUntil && !state->now) {
                state->gathering = true;
                state->work.wait_until(lock, *std::exchange(lingerUntil, std::nullopt),
                                       [&] { return state->now || state->quit; });
                state->gathering = false;
                lingered = true;
                continue;
            }
            lingered = false;
            state->now = false;
            state->asleep = true;
            state->work.wait(lock, [&] { return state->quit || !state->queue.empty(); });
            state->asleep = false;
            continue;
        }
        // What came while the thread lingered has waited long enough.
        if (!std::exchange(lingered, false) && !state->now && !state->quit) {
            state->gathering = true;
            state->work.wait_until(lock, state->firstQueued + state->gather,
                                   [&] { return state->now || state->quit; });
            state->gathering = false;
        }
        if (state->abandoned) {
            return;
        }
        state->now = false;
        state->latest.clear();
        state->queuedBytes = 0;
        const auto runs = Joined(state->queue);
        state->busy = true;
        lock.unlock();
        std::vector<std::pair<int, int>> failures;  // descriptor, error
        for (const auto& [fd, text] : runs) {
            bool failed = false;
            for (const auto& failure : failures) {
                failed = failed || failure.first == fd;
            }
            if (failed) {
                continue;
            }
            if (const int error =
                    WriteAll(fd, text, state->mutex, state->written, state->abandoned)) {
                failures.emplace_back(fd, error);
            }
        }
        lock.lock();
        for (const auto& [fd, error] : failures) {
            if (!state->failedFds.insert(fd).second) {
                continue;
            }
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
        lingerUntil = Clock::now() + state->gather;
    }
}

}  // namespace qf580::cli
