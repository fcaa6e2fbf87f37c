// Where the command line writes, from any thread: lines for a person, with the progress line
// and the disk question kept out of each other's way, and, with --json, one JSON object per
// line for a program. Each line goes out whole, through a writer thread: no caller ever waits
// for a reader, and a reader that went away never stops a transfer.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cli/OutputWriter.h"
#include "cli/ProgressLine.h"
#include "text/JsonText.h"

namespace qf580::cli {

class Reporter {
  public:
    // `humanFd` takes the status lines, the summary and the question; `jsonFd`, when not -1,
    // the events (then nothing else may be written there). `humanIsTerminal`: a line can be
    // erased and drawn again there. Notices go to standard error.
    Reporter(int humanFd, int jsonFd, bool humanIsTerminal = false);
    ~Reporter();

    // A line for the person, above the progress line and the open question.
    void Line(const std::string& text);
    // A line for standard error from any thread, kept out of the progress line likewise.
    void Notice(const std::string& text);
    void Event(const JsonValue& event);
    // What is reported so far goes out now (an outcome): lines are otherwise gathered for a
    // few tens of milliseconds, so that a transfer does not pay a write for each.
    void Flush();

    bool Json() const { return jsonFd_ >= 0; }
    // Seconds since the reporter was made, the "t" of every event.
    double Seconds() const;

    // How progress is shown on the human stream; off unless set before any device reports.
    // `devices` is how many devices report: with several, the line shows them all together.
    void ShowProgress(ProgressStyle style, std::size_t devices);
    // The latest progress of device `device` (from 0).
    void Progress(std::size_t device, const TransferProgress& progress);
    // Every transfer has ended: the progress line goes for good.
    void FinishProgress();

    // The disk question: put without a line end, and every line written while it is open
    // goes above it, the question then put again below.
    void OpenQuestion(const std::string& question);
    // `endLine`: the answer did not end the line on the terminal by its echo.
    void CloseQuestion(bool endLine);

    // Waits until everything reported is written (see OutputWriter::Drain).
    bool Drain(const std::function<bool()>& giveUp = {});
    // A write failed on a stream: the output is not whole.
    bool OutputFailed() const { return outputFailed_.load(); }

  private:
    // Writes `text` and a line end to `toFd`, out of the way of the progress line and the
    // question; the caller holds mutex_.
    void WriteAbove(int toFd, const std::string& text);
    // What was composed on the human stream since the last call, to its writer.
    void Send(bool onlyLatest = false);
    void WriteFailed(int fd, int error);

    const int humanFd_;
    const int jsonFd_;
    const bool humanIsTerminal_;
    const std::chrono::steady_clock::time_point start_;
    std::atomic<bool> outputFailed_{false};
    std::atomic<bool> failureSaid_{false};
    std::mutex mutex_;
    std::string human_;  // the human stream's text as composed, not yet sent
    std::optional<ProgressLine> line_;
    std::vector<TransferProgress> latest_;  // each device's, for the line of several
    std::atomic<bool> lineShown_{false};    // a style other than Off was set
    std::optional<std::string> question_;   // the question on the terminal now
    // Last: gone first, while what their failure handler uses still exists.
    std::unique_ptr<OutputWriter> humanWriter_;  // the human stream and standard error
    std::unique_ptr<OutputWriter> jsonWriter_;
};

// The sum of several devices' progress, as one transfer of all their sets. They all send the
// same set, so its totals are known once any device has counted them.
TransferProgress SumOfProgress(const std::vector<TransferProgress>& devices);

}  // namespace qf580::cli
