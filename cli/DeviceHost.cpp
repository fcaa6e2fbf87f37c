#include "cli/DeviceHost.h"

#include <algorithm>
#include <cstdio>

#include "cli/ExitCodes.h"
#include "cli/Json.h"
#include "text/Escape.h"
#include "text/JsonText.h"

namespace qf580::cli {

JsonValue QuestionEvent(std::optional<std::string_view> device, double t, int diskNo, bool answer) {
    JsonValue event = EventPrologue("question", device, t);
    event["disk"] = diskNo;
    event["answer"] = answer ? "ok" : "cancel";
    return event;
}

KnownSet KnownSetOf(const SetCheckResult* check) {
    KnownSet set;
    if (check == nullptr) {
        return set;
    }
    set.romType = check->summary.romType;
    if (check->Sound()) {
        set.records = check->summary.TotalRecords();
        set.bytes = check->summary.TotalBytes();
        set.setSha256 = check->summary.setSha256;
        set.disks = check->summary.disks;
    }
    return set;
}

DeviceHost::DeviceHost(Options options, Reporter& reporter, SharedQuestion& question)
    : options_(std::move(options)), reporter_(reporter), question_(question) {
    settings_.Set(options_.link);
}

void DeviceHost::BeginRecord(std::string* why) {
    if (options_.attemptLog != nullptr) {
        attempt_ =
            options_.attemptLog->Begin(options_.device, options_.serial, why, options_.place);
    }
}

void DeviceHost::Begin(const KnownSet& set) {
    setSha256_ = set.setSha256;
    disks_ = set.disks;
    begun_ = reporter_.Seconds();
    JsonValue event = EventPrologue("begin", options_.device, begun_);
    event["file"] = options_.path;
    event["rom_type"] = set.romType ? JsonValue(RomTypeName(*set.romType)) : JsonValue(nullptr);
    event["passes"] = set.romType ? JsonValue(PassCount(*set.romType)) : JsonValue(nullptr);
    const bool counted = set.records && set.bytes;
    event["records"] = counted ? JsonValue(*set.records) : JsonValue(nullptr);
    event["bytes"] = counted ? JsonValue(*set.bytes) : JsonValue(nullptr);
    event["set_sha256"] = DigestOrNull(setSha256_);
    reporter_.Event(event);
}

void DeviceHost::ProgressEvent(const TransferProgress& progress) {
    lastEvent_ = progress;
    lastEventAt_ = reporter_.Seconds();
    JsonValue event = EventPrologue("progress", options_.device, lastEventAt_);
    event["bytes_sent"] = progress.sent.bytes;
    event["bytes_total"] =
        progress.totals.Known() ? JsonValue(progress.totals.all.bytes) : JsonValue(nullptr);
    event["records_sent"] = progress.sent.records;
    reporter_.Event(event);
}

void DeviceHost::ReportProgress(const TransferProgress& progress) {
    latest_ = progress;
    reporter_.Progress(options_.index, progress);
    if (!reporter_.Json()) {
        return;
    }
    const bool due =
        !lastEvent_ || lastEvent_->totals.Known() != progress.totals.Known() ||
        progress.Percent() == 100 ||
        reporter_.Seconds() - lastEventAt_ >= std::chrono::duration<double>(kEventInterval).count();
    if (due && lastEvent_ != progress) {
        ProgressEvent(progress);
    }
}

void DeviceHost::SetStatus(const std::string& text) {
    // The worker's texts are its own, but a disk's name or a system message may come with
    // them.
    const std::string shown = EscapeControls(text);
    reporter_.Line(options_.prefixed ? "[" + options_.device + "] " + shown : shown);
    if (!reporter_.Json()) {
        return;  // the event is not made where nobody takes it: a status comes at every ack
    }
    JsonValue event = EventPrologue("status", options_.device, reporter_.Seconds());
    event["text"] = text;
    reporter_.Event(event);
}

bool DeviceHost::AskInsertDisk(int diskNo) {
    const bool answer = question_.Ask(diskNo);
    reporter_.Event(QuestionEvent(options_.device, reporter_.Seconds(), diskNo, answer));
    return answer;
}

void DeviceHost::DiskUnreadable(const std::string& path, int error) {
    const std::string device = options_.prefixed ? "[" + options_.device + "] " : "";
    reporter_.Notice("qf580-flash: " + device + "cannot open " + path + ": " +
                     SystemErrorText(error));
}

const DiskContents* DeviceHost::CheckedDisk(int diskNo) const {
    const auto at = static_cast<std::size_t>(diskNo - 1);
    if (diskNo < 1 || at >= disks_.size() || disks_[at].sha256.empty()) {
        return nullptr;
    }
    return &disks_[at];
}

void DeviceHost::DiskNotChecked(const std::string& path, const std::string& checked,
                                const std::string& found) {
    diskNotChecked_ = true;
    const std::string device = options_.prefixed ? "[" + options_.device + "] " : "";
    reporter_.Notice("qf580-flash: " + device + path + " is not the disk the check read: its " +
                     "SHA-256 is " + (found.empty() ? "unknown" : found) + ", the check's " +
                     checked + "; nothing of it was sent");
}

bool DeviceHost::WantsSentDigest() const {
    // Where the end event or the attempt log names what went out.
    return reporter_.Json() || options_.attemptLog != nullptr;
}

void DeviceHost::SetSent(const std::string& sha256) {
    sentSha256_ = sha256;
}

void DeviceHost::TransferEnded(Outcome outcome) {
    // The last figures a paced event left out are not left out of the record.
    if (reporter_.Json() && lastEvent_ && *lastEvent_ != latest_) {
        ProgressEvent(latest_);
    }
    const double now = reporter_.Seconds();
    DeviceResult result{options_.device, outcome, now - begun_, latest_.sent,
                        attempt_ ? attempt_->id : std::string()};
    JsonValue event = EventPrologue("end", options_.device, now);
    event["outcome"] = OutcomeText(outcome);
    event["exit_code"] = ExitCodeFor(outcome);
    event["bytes_sent"] = result.sent.bytes;
    event["records_sent"] = result.sent.records;
    event["seconds"] = result.seconds;
    // What went out, where it was hashed; never the check's digest for a set that another
    // disk took the place of.
    const std::string& sentSet = !sentSha256_.empty() || diskNotChecked_ ? sentSha256_ : setSha256_;
    event["set_sha256"] = DigestOrNull(sentSet);
    reporter_.Event(event);
    // The outcome, the last status line, is seen at once, not with the next lines.
    reporter_.Flush();
    if (attempt_) {
        options_.attemptLog->End(*attempt_, outcome, ExitCodeFor(outcome), result.sent,
                                 result.seconds, sentSet);
    }
    const std::lock_guard lock(mutex_);
    result_ = std::move(result);
}

void DeviceHost::EndUncontacted(Outcome outcome) {
    SetStatus(std::string(OutcomeText(outcome)));
    TransferEnded(outcome);
}

std::optional<DeviceResult> DeviceHost::Result() const {
    const std::lock_guard lock(mutex_);
    return result_;
}

int RunExitCode(const std::vector<DeviceResult>& results) {
    for (const DeviceResult& result : results) {
        if (result.outcome != Outcome::Completed) {
            return ExitCodeFor(result.outcome);
        }
    }
    return kExitCompleted;
}

std::string SummaryTable(const std::vector<DeviceResult>& results) {
    std::size_t deviceWidth = 6;
    std::size_t outcomeWidth = 7;
    for (const DeviceResult& r : results) {
        deviceWidth = std::max(deviceWidth, r.device.size());
        outcomeWidth = std::max(outcomeWidth, OutcomeText(r.outcome).size());
    }
    auto pad = [](std::string_view text, std::size_t width, bool right) {
        const std::string fill(width > text.size() ? width - text.size() : 0, ' ');
        return right ? fill + std::string(text) : std::string(text) + fill;
    };
    auto row = [&](std::string_view device, std::string_view outcome, std::string_view code,
                   std::string_view bytes, std::string_view seconds) {
        return pad(device, deviceWidth, false) + "  " + pad(outcome, outcomeWidth, false) + "  " +
               pad(code, 4, true) + "  " + pad(bytes, 10, true) + "  " + pad(seconds, 8, true) +
               "\n";
    };
    std::string table = row("device", "outcome", "exit", "bytes", "seconds");
    for (const DeviceResult& r : results) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f", r.seconds);
        table += row(r.device, OutcomeText(r.outcome), std::to_string(ExitCodeFor(r.outcome)),
                     std::to_string(r.sent.bytes), seconds);
    }
    return table;
}

}  // namespace qf580::cli
