// Where the command line writes, from any thread: lines for a person, with the progress line
// and the disk question kept out of each other's way, and, with --json, one JSON object per
// line for a program. Each line goes out whole and at once.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cli/ProgressLine.h"

namespace qf580::cli {

class Reporter {
  public:
    // `human` takes the status lines, the summary and the question; `json`, when not null,
    // the events (then nothing else may be written there). `humanIsTerminal`: a line can be
    // erased and drawn again there.
    Reporter(std::FILE* human, std::FILE* json, bool humanIsTerminal = false);

    // A line for the person, above the progress line and the open question.
    void Line(const std::string& text);
    // A line for standard error from any thread, kept out of the progress line likewise.
    void Notice(const std::string& text);
    void Event(const std::string& object);

    bool Json() const { return json_ != nullptr; }
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

  private:
    // Writes `text` and a line end to `to`, out of the way of the progress line and the
    // question; the caller holds mutex_.
    void WriteAbove(std::FILE* to, const std::string& text);

    std::FILE* const human_;
    std::FILE* const json_;
    const bool humanIsTerminal_;
    const std::chrono::steady_clock::time_point start_;
    std::mutex mutex_;
    std::optional<ProgressLine> line_;
    std::vector<TransferProgress> latest_;  // each device's, for the line of several
    std::atomic<bool> lineShown_{false};    // a style other than Off was set
    std::optional<std::string> question_;   // the question on the terminal now
};

// The sum of several devices' progress, as one transfer of all their sets. They all send the
// same set, so its totals are known once any device has counted them.
TransferProgress SumOfProgress(const std::vector<TransferProgress>& devices);

}  // namespace qf580::cli
