#include "cli/Run.h"

#include <memory>
#include <optional>

#include "cli/CheckReport.h"
#include "cli/DeviceHost.h"
#include "cli/ExitCodes.h"
#include "cli/SharedQuestion.h"
#include "transfer/SetCheck.h"

namespace qf580::cli {

void StopRequest::Request() {
    if (requested_.exchange(true)) {
        return;
    }
    {
        const std::lock_guard lock(mutex_);
        for (TTrans* worker : workers_) {
            worker->Terminate();
        }
    }
    if (onRequest_) {
        onRequest_();
    }
}

void StopRequest::Add(TTrans& worker) {
    const std::lock_guard lock(mutex_);
    workers_.push_back(&worker);
    if (requested_.load()) {
        worker.Terminate();
    }
}

void StopRequest::Clear() {
    const std::lock_guard lock(mutex_);
    workers_.clear();
}

std::string CheckUpdateFile(const std::string& path) {
    std::string why;
    if (DiskFile::CanOpen(path, &why)) {
        return {};
    }
    return "cannot open " + path + ": " + why;
}

namespace {

// A sound set that is not the one released: said with both digests, so that the person sees
// which set was chosen. A faulty set has no digest, and is refused for its fault anyway.
bool NotTheExpectedSet(const RunOptions& options, const SetCheckResult& check, Reporter& reporter,
                       const std::string& consequence) {
    if (!WrongSet(check, options.expectSha256)) {
        return false;
    }
    const std::string& actual = check.summary.setSha256;
    reporter.Notice("qf580-flash: the set's SHA-256 is " + (actual.empty() ? "unknown" : actual) +
                    ", not " + *options.expectSha256 + " as --expect-sha256 gives" + consequence);
    return true;
}

}  // namespace

bool CheckPrompt::AskInsertDisk(int diskNo) {
    const bool answer = operator_.AskInsertDisk(diskNo);
    reporter_.Event(QuestionEvent(std::nullopt, reporter_.Seconds(), diskNo, answer));
    return answer;
}

int RunCheck(const RunOptions& options, Reporter& reporter, DiskPrompt& operatorPrompt,
             StopRequest& stop) {
    SayWhichFileIsDiskOne(options.path, reporter);
    const ChosenFile file = SplitChosenFile(options.path);
    // --check --json prints its one object and nothing else: the question stays the person's.
    const SetCheckResult result = CheckSet(file.dir, file.name, operatorPrompt, &stop.Flag());
    // Without --json the summary is the output; with it, the summary is for the person.
    std::string text = CheckText(options.path, result);
    text.pop_back();
    reporter.Line(text);
    reporter.Event(CheckJson(options.path, result, reporter.Seconds(), options.expectSha256));
    if (NotTheExpectedSet(options, result, reporter, "")) {
        return kExitWrongSet;
    }
    return ExitCodeFor(result.outcome);
}

namespace {

// The check before any device is contacted; none when it is skipped and nobody needs its
// digest.
std::optional<SetCheckResult> CheckBeforeTransfers(const RunOptions& options,
                                                   const ChosenFile& file, Reporter& reporter,
                                                   DiskPrompt& operatorPrompt, StopRequest& stop) {
    if (options.checked != nullptr) {
        return *options.checked;
    }
    if (options.preflight) {
        CheckPrompt prompt(operatorPrompt, reporter);
        // With its digests whatever the options: each disk is held to them as the transfer
        // reaches it.
        SetCheckResult check = CheckSet(file.dir, file.name, prompt, &stop.Flag());
        reporter.Event(CheckJson(options.path, check, reporter.Seconds(), options.expectSha256));
        return check;
    }
    if (reporter.Json() || options.attemptLogFile != nullptr || options.journal != nullptr) {
        // For the begin events and lines only, if the set is whole as it stands: the transfers
        // stream it as the window does, and nobody is asked anything here.
        NeverAsk never;
        return CheckSet(file.dir, file.name, never, &stop.Flag());
    }
    return std::nullopt;
}

// Every begin line on the disk before any transfer goes on, with one sync for all: a sync can
// take as long as a transfer of a small set. A line that cannot be written refuses the whole
// run, as a record that cannot be opened does: no device is contacted without its line. The
// exit code then, said.
std::optional<int> WriteBeginLines(AttemptLog* attemptLog,
                                   const std::vector<std::unique_ptr<DeviceHost>>& hosts,
                                   Reporter& reporter, const StopRequest& stop) {
    if (attemptLog == nullptr || hosts.empty()) {
        return std::nullopt;
    }
    std::string why;
    for (std::size_t i = 0; i < hosts.size() && why.empty(); ++i) {
        hosts[i]->BeginRecord(&why);
    }
    if (why.empty()) {
        attemptLog->Sync(&why);
    }
    if (why.empty()) {
        return std::nullopt;
    }
    reporter.Notice("qf580-flash: cannot write the record " + attemptLog->Path() + ": " + why +
                    "; no device was contacted");
    return stop.Requested() ? ExitCodeFor(Outcome::Aborted) : kExitUsage;
}

// Every device's transfer at once, each with its own worker, until the last has ended.
void TransferAll(const RunOptions& options, const ChosenFile& file,
                 const std::optional<SetCheckResult>& check, const KnownSet& known,
                 const std::vector<std::unique_ptr<DeviceHost>>& hosts, Reporter& reporter,
                 StopRequest& stop) {
    reporter.ShowProgress(options.progress, hosts.size());
    std::vector<std::unique_ptr<TTrans>> workers;
    // Whatever happens below, the stop request forgets the workers before they go.
    struct Forget {
        StopRequest& stop;
        ~Forget() { stop.Clear(); }
    } forget{stop};
    // The workers need not count a set that the check has just read whole.
    TransEnvironment environment = options.environment;
    if (check && check->Sound()) {
        environment.totals = check->summary.Totals();
    }
    // The last device's transfer runs on this thread, which would otherwise only wait for
    // it: a thread fewer to start and end, for one device as for many.
    for (std::size_t i = 0; i < hosts.size(); ++i) {
        hosts[i]->Begin(known);
        workers.push_back(i + 1 < hosts.size()
                              ? std::make_unique<TTrans>(*hosts[i], file, environment)
                              : std::make_unique<TTrans>(*hosts[i], file, environment,
                                                         TTrans::OnCallingThread{}));
        stop.Add(*workers.back());
    }
    if (!workers.empty()) {
        workers.back()->RunHere();
    }
    for (const auto& worker : workers) {
        worker->WaitFor();
    }
    reporter.FinishProgress();
}

// The exit code of the run once every device has ended, with the table of several devices.
int Conclude(const RunOptions& options, const std::vector<std::unique_ptr<DeviceHost>>& hosts,
             const AttemptLog* attemptLog, Reporter& reporter) {
    std::vector<DeviceResult> results;
    for (const auto& host : hosts) {
        const std::optional<DeviceResult> result = host->Result();
        if (!result) {
            return kExitInternal;
        }
        results.push_back(*result);
    }
    if (options.results != nullptr) {
        *options.results = results;
    }
    if (hosts.size() > 1 && options.table) {
        std::string table = SummaryTable(results);
        table.pop_back();
        reporter.Line(table);
    }
    const int code = RunExitCode(results);
    // A device's own outcome says more than a line missing from the record.
    if (code == kExitCompleted && attemptLog != nullptr && attemptLog->Failed()) {
        return kExitOutput;
    }
    return code;
}

}  // namespace

int RunTransfers(const RunOptions& options, Reporter& reporter, DiskPrompt& operatorPrompt,
                 StopRequest& stop) {
    SayWhichFileIsDiskOne(options.path, reporter);
    const ChosenFile file = SplitChosenFile(options.path);
    SharedQuestion question(operatorPrompt);
    const std::optional<SetCheckResult> check =
        CheckBeforeTransfers(options, file, reporter, operatorPrompt, stop);
    if (check && NotTheExpectedSet(options, *check, reporter, ": no device was contacted")) {
        return kExitWrongSet;
    }
    const KnownSet known = KnownSetOf(check ? &*check : nullptr);
    // Made whole before any worker reads it.
    std::optional<AttemptLog> attemptLog;
    if (options.attemptLogFile != nullptr || options.journal != nullptr) {
        AttemptContext context = options.attemptContext;
        TakeSet(context, check ? &*check : nullptr);
        LockWait wait;
        wait.stopped = [&stop] { return stop.Requested(); };
        attemptLog.emplace(
            options.attemptLogFile, options.journal, std::move(context),
            [&reporter](const std::string& text) { reporter.Notice(text); }, std::move(wait));
    }
    AttemptLog* const log = attemptLog ? &*attemptLog : nullptr;

    std::vector<std::unique_ptr<DeviceHost>> hosts;
    for (std::size_t i = 0; i < options.devices.size(); ++i) {
        DeviceHost::Options host;
        host.device = options.devices[i].name;
        host.index = i;
        host.prefixed = options.devices.size() > 1;
        host.path = options.path;
        host.link = options.devices[i].link;
        host.serial = options.devices[i].serial;
        host.place = options.devices[i].place;
        host.attemptLog = log;
        hosts.push_back(std::make_unique<DeviceHost>(std::move(host), reporter, question));
    }
    if (const std::optional<int> refused = WriteBeginLines(log, hosts, reporter, stop)) {
        return *refused;
    }

    if (stop.Requested()) {
        // Stopped before any worker exists: nothing is sent, and every device ends as a
        // worker ends on a stop.
        for (const auto& host : hosts) {
            host->Begin(known);
            host->EndUncontacted(Outcome::Aborted);
        }
    } else if (options.preflight && !check->Sound()) {
        reporter.Notice("qf580-flash: the set was refused before any device was contacted: " +
                        FaultText(*check));
        for (const auto& host : hosts) {
            host->Begin(known);
            host->EndUncontacted(check->outcome);
        }
    } else {
        TransferAll(options, file, check, known, hosts, reporter, stop);
    }
    if (log != nullptr) {
        log->Sync();
    }
    return Conclude(options, hosts, log, reporter);
}

}  // namespace qf580::cli
