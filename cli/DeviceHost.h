// The worker's host for one device of a command-line run: its own link settings, its status
// lines (prefixed with the device when there are several), its share of the disk question,
// its events for --json, and how it ended.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Reporter.h"
#include "SetCheck.h"
#include "SharedQuestion.h"
#include "StatusProgress.h"
#include "TransHost.h"

namespace qf580::cli {

struct DeviceResult {
    std::string device;
    Outcome outcome = Outcome::Completed;
    double seconds = 0;
    ProgressValue progress;
};

class DeviceHost final : public TransHost {
  public:
    struct Options {
        std::string device;  // "ADDR:PORT" or "usb"
        bool prefixed = false;
        std::string path;  // the chosen file as given
        std::string fileName;
        std::string fileDir;
        LinkSettingsValues link;
        // The set as the check read it, when sound; none with the check skipped or failed.
        std::optional<SetSummary> summary;
    };
    DeviceHost(Options options, Reporter& reporter, SharedQuestion& question);

    std::string UpdateFileName() const override { return options_.fileName; }
    std::string UpdateFileDir() const override { return options_.fileDir; }
    const LinkSettings& Settings() const override { return settings_; }

    void SetStatus(const std::string& text) override;
    bool AskInsertDisk(int diskNo) override;
    void TransferEnded(Outcome outcome) override;

    // Before the worker starts: the "begin" event, and the device's clock starts.
    void Begin();
    // For a device that is never contacted: ends as a transfer with `outcome` would end
    // before its first byte, with the outcome's status line and end event.
    void EndUncontacted(Outcome outcome);

    // How the device ended, once its end notice has come.
    std::optional<DeviceResult> Result() const;

  private:
    std::string Text(const std::string& status) const;
    void Progress();

    const Options options_;
    Reporter& reporter_;
    SharedQuestion& question_;
    LinkSettings settings_;
    StatusProgress progress_;  // the worker's thread only
    double begun_ = 0;
    mutable std::mutex mutex_;
    std::optional<DeviceResult> result_;
};

// The exit code of a run: 0 when every device completed, otherwise the code of the first
// device, in the order given, that did not.
int RunExitCode(const std::vector<DeviceResult>& results);

// The table printed after a run of several devices: device, outcome text, exit code, bytes
// sent and seconds, one row per device in the order given.
std::string SummaryTable(const std::vector<DeviceResult>& results);

}  // namespace qf580::cli
