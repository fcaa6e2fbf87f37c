// What the program writes for people and programs, handed to a thread of its own: a thread
// that puts a line never waits for a reader, a terminal or a full disk. A reader that stops
// reading holds only this writer, never a transfer or the stop path.
#pragma once

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
    // of their key.
    explicit OutputWriter(FailureHandler onFailure = {}, std::size_t bound = kDefaultBound);
    OutputWriter(const OutputWriter&) = delete;
    OutputWriter& operator=(const OutputWriter&) = delete;
    // Waits for the thread only where it is not held by a write: a reader that never reads
    // must not keep the program from ending.
    ~OutputWriter();

    // Queued for `fd` and written whole, in the order put, however long the queue grows.
    void Put(int fd, std::string text);
    // Like Put, but only the latest text of `key` counts (the progress): while the queue is
    // beyond its bound, an earlier one of the same key not yet written is dropped.
    void PutLatest(int fd, const std::string& key, std::string text);

    // Waits until all that was put is written, or dropped where writing failed; true then.
    // False when `giveUp`, asked every few tens of milliseconds, said so first.
    bool Drain(const std::function<bool()>& giveUp);
    // A write failed on some descriptor: not everything put was written.
    bool Failed() const;

    static constexpr std::size_t kDefaultBound = 1 << 20;

  private:
    struct State;
    static void Run(const std::shared_ptr<State>& state);

    std::shared_ptr<State> state_;  // shared with the thread, which may outlive this object
    std::thread thread_;
};

}  // namespace qf580::cli
