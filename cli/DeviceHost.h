// The worker's host for one device of a command-line run: its own link settings, its status
// lines (prefixed with the device when there are several), its share of the disk question,
// its events for --json, and how it ended.
#pragma once

#include <memory>
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

// The set's summary, shared by the devices of a run: known from the check before the
// transfers, or, where a disk was missing then, read again once the operator has said it is
// there.
class SetTotals {
  public:
    // `check`: the check before the transfers, if there was one.
    SetTotals(std::string fileDir, std::string fileName, const SetCheckResult* check);

    std::shared_ptr<const SetSummary> Get() const;
    // The ROM type, known as soon as disk 1 has been read, whole set or not.
    std::optional<int> RomType() const;
    // Reads the set again, asking nobody, if its summary is not known yet.
    std::shared_ptr<const SetSummary> Refresh();

  private:
    const std::string fileDir_;
    const std::string fileName_;
    std::mutex reading_;
    mutable std::mutex mutex_;
    std::shared_ptr<const SetSummary> summary_;
    std::optional<int> romType_;
};

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
    };
    DeviceHost(Options options, Reporter& reporter, SharedQuestion& question, SetTotals& totals);

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
    // Takes the set's summary if it has become known meanwhile.
    void Learn(std::shared_ptr<const SetSummary> summary);

    const Options options_;
    Reporter& reporter_;
    SharedQuestion& question_;
    SetTotals& totals_;
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
