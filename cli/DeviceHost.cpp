#include "DeviceHost.h"

#include <algorithm>
#include <cstdio>

#include "ExitCodes.h"
#include "Json.h"

namespace qf580::cli {

namespace {

JsonObject& Bytes(JsonObject& object, std::string_view key, std::optional<std::uint64_t> value) {
    return value ? object.Unsigned(key, *value) : object.Null(key);
}

// Never asks: a disk that is not there is not there.
class NoQuestion final : public DiskPrompt {
  public:
    bool AskInsertDisk(int) override { return false; }
};

}  // namespace

SetTotals::SetTotals(std::string fileDir, std::string fileName, const SetCheckResult* check)
    : fileDir_(std::move(fileDir)), fileName_(std::move(fileName)) {
    if (check != nullptr) {
        romType_ = check->summary.romType;
        if (check->Sound()) {
            summary_ = std::make_shared<const SetSummary>(check->summary);
        }
    }
}

std::optional<int> SetTotals::RomType() const {
    const std::lock_guard lock(mutex_);
    return romType_;
}

std::shared_ptr<const SetSummary> SetTotals::Get() const {
    const std::lock_guard lock(mutex_);
    return summary_;
}

std::shared_ptr<const SetSummary> SetTotals::Refresh() {
    // One reading at a time, and none that holds up Get: the other devices' status lines
    // must not wait for a set being read.
    const std::lock_guard reading(reading_);
    if (std::shared_ptr<const SetSummary> known = Get()) {
        return known;
    }
    NoQuestion never;
    SetCheckResult check = CheckSet(fileDir_, fileName_, never);
    const std::lock_guard lock(mutex_);
    if (check.summary.romType) {
        romType_ = check.summary.romType;
    }
    if (check.Sound()) {
        summary_ = std::make_shared<const SetSummary>(std::move(check.summary));
    }
    return summary_;
}

DeviceHost::DeviceHost(Options options, Reporter& reporter, SharedQuestion& question,
                       SetTotals& totals)
    : options_(std::move(options)),
      reporter_(reporter),
      question_(question),
      totals_(totals),
      progress_(totals.Get()) {
    settings_.Set(options_.link);
}

void DeviceHost::Learn(std::shared_ptr<const SetSummary> summary) {
    if (progress_.Learn(std::move(summary))) {
        Progress();
    }
}

std::string DeviceHost::Text(const std::string& status) const {
    return options_.prefixed ? "[" + options_.device + "] " + status : status;
}

void DeviceHost::Begin() {
    begun_ = reporter_.Seconds();
    JsonObject event;
    event.String("event", "begin")
        .String("device", options_.device)
        .Number("t", begun_)
        .String("file", options_.path);
    const std::optional<int> romType = totals_.RomType();
    if (romType) {
        event.String("rom_type", RomTypeName(*romType)).Int("passes", PassCount(*romType));
    } else {
        event.Null("rom_type").Null("passes");
    }
    // The records and bytes only of a set known whole.
    if (const std::shared_ptr<const SetSummary> s = totals_.Get()) {
        event.Int("records", s->TotalRecords()).Unsigned("bytes", s->TotalBytes());
    } else {
        event.Null("records").Null("bytes");
    }
    reporter_.Event(event.Text());
}

void DeviceHost::Progress() {
    const ProgressValue& value = progress_.Value();
    JsonObject event;
    event.String("event", "progress")
        .String("device", options_.device)
        .Number("t", reporter_.Seconds());
    Bytes(event, "bytes_sent", value.bytesSent);
    Bytes(event, "bytes_total", value.bytesTotal);
    event.Int("records_sent", value.recordsSent);
    reporter_.Event(event.Text());
}

void DeviceHost::SetStatus(const std::string& text) {
    reporter_.Line(Text(text));
    reporter_.Event(JsonObject()
                        .String("event", "status")
                        .String("device", options_.device)
                        .Number("t", reporter_.Seconds())
                        .String("text", text)
                        .Text());
    if (!progress_.Knows()) {
        // Another device's question may have brought the missing disk meanwhile.
        Learn(totals_.Get());
    }
    if (progress_.Take(text, false)) {
        Progress();
    }
}

bool DeviceHost::AskInsertDisk(int diskNo) {
    const bool answer = question_.Ask(diskNo);
    reporter_.Event(JsonObject()
                        .String("event", "question")
                        .String("device", options_.device)
                        .Number("t", reporter_.Seconds())
                        .Int("disk", diskNo)
                        .String("answer", answer ? "ok" : "cancel")
                        .Text());
    if (answer && !progress_.Knows()) {
        Learn(totals_.Refresh());
    }
    return answer;
}

void DeviceHost::TransferEnded(Outcome outcome) {
    if (progress_.Take({}, outcome == Outcome::Completed)) {
        Progress();
    }
    const double now = reporter_.Seconds();
    DeviceResult result{options_.device, outcome, now - begun_, progress_.Value()};
    JsonObject event;
    event.String("event", "end")
        .String("device", options_.device)
        .Number("t", now)
        .String("outcome", OutcomeText(outcome))
        .Int("exit_code", ExitCodeFor(outcome));
    Bytes(event, "bytes_sent", result.progress.bytesSent);
    event.Int("records_sent", result.progress.recordsSent).Number("seconds", result.seconds);
    reporter_.Event(event.Text());
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
        const std::string bytes =
            r.progress.bytesSent ? std::to_string(*r.progress.bytesSent) : std::string("-");
        table += row(r.device, OutcomeText(r.outcome), std::to_string(ExitCodeFor(r.outcome)),
                     bytes, seconds);
    }
    return table;
}

}  // namespace qf580::cli
