// What the program writes for people and programs, handed to a thread of its own: a thread
// that puts a line never waits for a reader, a terminal or a full disk. A reader that stops
// reading holds only this writer, never a transfer or the stop path.
//
// Lines are gathered for a moment and written together: a transfer puts a status line at
// every acknowledgement, and a wake-up and a write for each would cost the program more than
// the transfer itself. After a write the writer waits one gathering time for more, which need
// not wake it; when none came it sleeps, and the first line to come wakes it. What comes while
// it gathers or writes waits for its next round.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace qf580::cli {

class OutputWriter {
  public:
    // Called once per descriptor, on the writer's thread, when a write there fails for good
    // (the reader went away, the disk is full, the descriptor is not open for writing); what
    // is queued for it and put later is dropped.
    using FailureHandler = std::function<void(int fd, int error)>;

    // `bound`: the bytes queued beyond which texts put with PutLatest give way to later ones
    // of their key; `gather`: how long a text may wait for others to go with it.
    explicit OutputWriter(FailureHandler onFailure = {}, std::size_t bound = kDefaultBound,
                          std::chrono::milliseconds gather = kTerminalGather);
    OutputWriter(const OutputWriter&) = delete;
    OutputWriter& operator=(const OutputWriter&) = delete;
    // Writes everything still queued. A write that has not moved for kStuckLimit is held by
    // a reader that does not read: then the thread is left to the end of the process, so
    // that such a reader never keeps the program from ending.
    ~OutputWriter();

    // Queued for `fd` and written whole, in the order put, however long the queue grows;
    // out within the gathering time unless Flush comes first.
    void Put(int fd, std::string text);
    // Like Put, but only the latest text of `key` counts (the progress): while the queue is
    // beyond its bound, an earlier one of the same key not yet written is dropped.
    void PutLatest(int fd, const std::string& key, std::string text);
    // What is queued goes out now, without gathering (a question, an outcome).
    void Flush();

    // Flushes, and waits until all that was put is written, or dropped where writing failed;
    // true then. False when `giveUp`, asked every few tens of milliseconds, said so first.
    bool Drain(const std::function<bool()>& giveUp);
    // A write failed on some descriptor: not everything put was written.
    bool Failed() const;

    static constexpr std::size_t kDefaultBound = 1 << 20;
    // A status line on a terminal still follows the transfer as it happens; a log or a
    // program reading events is content with a tenth of a second.
    static constexpr std::chrono::milliseconds kTerminalGather{40};
    static constexpr std::chrono::milliseconds kGather{100};
    static constexpr std::chrono::milliseconds kStuckLimit{200};

  private:
    struct State;
    static void Run(const std::shared_ptr<State>& state);

    std::shared_ptr<State> state_;  // shared with the thread, which may outlive this object
    std::thread thread_;
};

}  // namespace qf580::cli
