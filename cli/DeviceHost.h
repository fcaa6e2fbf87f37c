// The worker's host for one device of a command-line run: its own link settings, its status
// lines (prefixed with the device when there are several), its share of the disk question,
// its progress, its events for --json, and how it ended.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "attemptlog/AttemptLog.h"
#include "cli/Reporter.h"
#include "cli/SharedQuestion.h"
#include "text/JsonText.h"
#include "transfer/SentSet.h"
#include "transfer/SetCheck.h"
#include "transfer/TransHost.h"

namespace qf580::cli {

// What the run knows of the set before any device is contacted, for the begin events.
struct KnownSet {
    std::optional<int> romType;  // once disk 1 was read
    // The records and bytes of a set read whole and sound; none otherwise.
    std::optional<int> records;
    std::optional<std::uint64_t> bytes;
    std::string setSha256;  // empty unless the set was read whole and sound
    // Each disk as the check read it, by disk number from 1, its digest included; none
    // unless sound.
    std::vector<DiskContents> disks;
};
KnownSet KnownSetOf(const SetCheckResult* check);

// The "question" event: disk `diskNo` was asked for, on behalf of `device` (none: the check
// before any device is contacted), and answered.
JsonValue QuestionEvent(std::optional<std::string_view> device, double t, int diskNo, bool answer);

struct DeviceResult {
    std::string device;
    Outcome outcome = Outcome::Completed;
    double seconds = 0;
    StreamCount sent;          // what reached the device of the set
    std::string attempt = {};  // its id in the attempt log; empty without one
};

class DeviceHost final : public TransHost, public CheckedSet {
  public:
    struct Options {
        std::string device;     // "ADDR:PORT" or "usb"
        std::size_t index = 0;  // its place in the run, from 0
        bool prefixed = false;
        std::string path;  // the chosen file as given
        LinkSettingsValues link;
        std::optional<std::string> serial;
        AttemptLog* attemptLog = nullptr;   // none without --record or --journal
        std::optional<SessionPlace> place;  // in a station session
    };
    DeviceHost(Options options, Reporter& reporter, SharedQuestion& question);

    const LinkSettings& Settings() const override { return settings_; }

    void SetStatus(const std::string& text) override;
    bool AskInsertDisk(int diskNo) override;
    void ReportProgress(const TransferProgress& progress) override;
    void DiskUnreadable(const std::string& path, int error) override;
    void TransferEnded(Outcome outcome) override;
    CheckedSet* Checked() override { return this; }
    const DiskContents* CheckedDisk(int diskNo) const override;
    void DiskNotChecked(const std::string& path, const std::string& checked,
                        const std::string& found) override;
    bool WantsSentDigest() const override;
    void SetSent(const std::string& sha256) override;

    // With a record, first of all: the record's begin line (not yet synced). `why`: as
    // AttemptLog::Begin's.
    void BeginRecord(std::string* why = nullptr);
    // Before the worker starts: the "begin" event, and the device's clock starts.
    void Begin(const KnownSet& set);
    // For a device that is never contacted: ends as a transfer with `outcome` would end
    // before its first byte, with the outcome's status line and end event.
    void EndUncontacted(Outcome outcome);

    // How the device ended, once its end notice has come.
    std::optional<DeviceResult> Result() const;

    // Progress events go out at most this often, besides the first, the one that brings
    // the totals and the last: a transfer without fast mode reports every record.
    static constexpr std::chrono::milliseconds kEventInterval{100};

  private:
    void ProgressEvent(const TransferProgress& progress);

    const Options options_;
    Reporter& reporter_;
    SharedQuestion& question_;
    LinkSettings settings_;
    double begun_ = 0;
    std::string setSha256_;
    // Given to the worker before it starts; read on its thread only.
    std::vector<DiskContents> disks_;
    // The worker's thread only: the digest of what it sent of the set; a disk it found not
    // to be the one checked.
    std::string sentSha256_;
    bool diskNotChecked_ = false;
    std::optional<AttemptLog::Attempt> attempt_;
    // The worker's thread only.
    TransferProgress latest_;
    std::optional<TransferProgress> lastEvent_;
    double lastEventAt_ = 0;
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
