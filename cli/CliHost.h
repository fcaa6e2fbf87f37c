// The terminal as the worker's host: status texts go to a stream as lines, the disk question
// is answered from a file descriptor (the terminal) or by a fixed answer.
#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

#include "ProgressLine.h"
#include "TransHost.h"

namespace qf580::cli {

enum class DiskAnswer { Ask, Ok, Cancel };

// "OK", "ok", "y", "yes" or an empty line answer OK; "cancel", "c", "n", "no" answer Cancel.
// Surrounding blanks and a carriage return are ignored.
enum class ParsedAnswer { Ok, Cancel, Unknown };
ParsedAnswer ParseAnswer(std::string line);

// Whether `path` can serve as the update file, tried as the window tries its chosen file: empty
// when it opens as a regular file, else a message naming the path and the reason ("cannot
// open PATH: Permission denied", "... is a named pipe (FIFO), not a regular file").
std::string CheckUpdateFile(const std::string& path);

class CliHost final : public TransHost {
  public:
    // `out` receives the statuses and the question; `answerFd` is read for the operator's
    // answers; `wakeFd` becomes readable once the run is interrupted (-1: never).
    CliHost(DiskAnswer answer, std::FILE* out, int answerFd, int wakeFd);

    const LinkSettings& Settings() const override { return settings_; }
    LinkSettings& Settings() { return settings_; }

    void SetStatus(const std::string& text) override;
    bool AskInsertDisk(int diskNo) override;
    void ReportProgress(const TransferProgress& progress) override;
    void TransferEnded(Outcome outcome) override;

    // How progress is shown on `out`; off unless set before the worker starts.
    void ShowProgress(ProgressStyle style) { progress_.emplace(style, out_); }
    // A line for standard error from another thread, put above the progress line rather than
    // into it.
    void Notice(const std::string& text);

    // A stop was requested: any open or later question is answered with Cancel.
    void Interrupt() { interrupted_.store(true); }

    // The transfer's outcome once its end notice has come; nullopt before.
    std::optional<Outcome> EndedWith() const;

    // With a fixed answer of OK, the same disk is tried this many times, a pause apart,
    // before the question is given up with Cancel: a file that doesn't turn up must not
    // keep the program asking for ever.
    static constexpr int kOkTries = 3;
    static constexpr int kOkPauseMs = 1000;

  private:
    void WriteLine(const std::string& text);
    // Writes `text` with the progress line out of its way.
    void WriteAboveProgress(std::FILE* to, const std::string& text);
    // One line from answerFd; Cancel on end of input or on an interruption.
    ParsedAnswer ReadAnswer(bool& lineEnded);
    bool WaitOrInterrupted(int ms);

    const DiskAnswer answer_;
    std::FILE* const out_;
    const int answerFd_;
    const int wakeFd_;
    LinkSettings settings_;
    std::atomic<Outcome> outcome_{Outcome::Completed};  // meaningful once ended_ is set
    std::atomic<bool> ended_{false};
    std::atomic<bool> interrupted_{false};
    int lastAskedDisk_ = 0;  // worker thread only
    int timesAsked_ = 0;
    // Held for every write to the terminal: the worker's and a notice from another thread.
    std::mutex outMutex_;
    std::optional<ProgressLine> progress_{std::in_place, ProgressStyle::Off, out_};
    bool questionOpen_ = false;  // the progress line stays away while an answer is typed
};

}  // namespace qf580::cli
