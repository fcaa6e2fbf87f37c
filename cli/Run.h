// One run of qf580-flash after its options are parsed: the set check alone (--check), or the
// check before any device is contacted and then one transfer per device, all at once.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "attemptlog/AttemptLog.h"
#include "cli/DeviceHost.h"
#include "cli/ProgressLine.h"
#include "cli/Reporter.h"
#include "transfer/Ttrans.h"

namespace qf580::cli {

// The stop request of the whole run (Ctrl+C): the set check and every worker see it.
class StopRequest {
  public:
    // `onRequest` runs once, on the first request (the disk question is cancelled there).
    explicit StopRequest(std::function<void()> onRequest = {}) : onRequest_(std::move(onRequest)) {}

    void Request();
    bool Requested() const { return requested_.load(); }
    const std::atomic<bool>& Flag() const { return requested_; }

    // A worker to stop on a request; stopped at once if the request came before it.
    void Add(TTrans& worker);
    // Before the workers are disposed of.
    void Clear();

  private:
    std::function<void()> onRequest_;
    std::atomic<bool> requested_{false};
    std::mutex mutex_;
    std::vector<TTrans*> workers_;
};

struct Device {
    std::string name;  // "ADDR:PORT", or "usb"
    LinkSettingsValues link;
    std::optional<std::string> serial;  // for the record
    std::optional<SessionPlace> place;  // a unit of a station session
};

// Whether `path` can serve as the update file, tried as the window tries its chosen file: empty
// when it opens as a regular file, else a message naming the path and the reason ("cannot
// open PATH: Permission denied", "... is a named pipe (FIFO), not a regular file").
std::string CheckUpdateFile(const std::string& path);

struct RunOptions {
    std::string path;  // the chosen file as given
    std::vector<Device> devices;
    TransEnvironment environment;  // copied for each device
    bool preflight = true;
    // How progress is shown on the reporter's human stream.
    ProgressStyle progress = ProgressStyle::Off;
    // The released set's digest, lower-case: any other set is refused before any device.
    std::optional<std::string> expectSha256;
    // Where every device's attempt is recorded: the file (none without --record) and the
    // journal (none without --journal). The log of the run is made once the set is known, with
    // `attemptContext` and the set's part from the check.
    AttemptLogFile* attemptLogFile = nullptr;
    JournalSink* journal = nullptr;
    AttemptContext attemptContext;
    // A station session's cycle: the set as the session checked it, not read again here.
    const SetCheckResult* checked = nullptr;
    // Where each device's result goes, in the order of `devices`, when given.
    std::vector<DeviceResult>* results = nullptr;
    // The table of every device's outcome after several: a session says its own lines.
    bool table = true;
};

// The operator as a check of the set asks: the question and its answer go into the events
// too, under no device, since none has been contacted yet.
class CheckPrompt final : public DiskPrompt {
  public:
    CheckPrompt(DiskPrompt& operatorPrompt, Reporter& reporter)
        : operator_(operatorPrompt), reporter_(reporter) {}
    bool AskInsertDisk(int diskNo) override;

  private:
    DiskPrompt& operator_;
    Reporter& reporter_;
};

// --check: the set's summary or its first fault; returns the exit code of the set's outcome.
int RunCheck(const RunOptions& options, Reporter& reporter, DiskPrompt& operatorPrompt,
             StopRequest& stop);

// Checks the set (unless options.preflight is false), then runs every device's transfer at
// once; returns the run's exit code.
int RunTransfers(const RunOptions& options, Reporter& reporter, DiskPrompt& operatorPrompt,
                 StopRequest& stop);

}  // namespace qf580::cli
