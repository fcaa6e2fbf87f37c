#include "Run.h"

#include <memory>
#include <optional>

#include "CheckReport.h"
#include "DeviceHost.h"
#include "ExitCodes.h"
#include "SetCheck.h"
#include "SharedQuestion.h"

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

int RunCheck(const RunOptions& options, Reporter& reporter, DiskPrompt& operatorPrompt,
             StopRequest& stop) {
    const SetCheckResult result =
        CheckSet(options.fileDir, options.fileName, operatorPrompt, &stop.Flag());
    // Without --json the summary is the output; with it, the summary is for the person.
    std::string text = CheckText(options.path, result);
    text.pop_back();
    reporter.Line(text);
    reporter.Event(CheckJson(options.path, result, reporter.Seconds()));
    return ExitCodeFor(result.outcome);
}

int RunTransfers(const RunOptions& options, Reporter& reporter, DiskPrompt& operatorPrompt,
                 StopRequest& stop) {
    const bool several = options.devices.size() > 1;
    SharedQuestion question(operatorPrompt);

    std::optional<SetCheckResult> check;
    if (options.preflight) {
        check = CheckSet(options.fileDir, options.fileName, operatorPrompt, &stop.Flag());
        reporter.Event(CheckJson(options.path, *check, reporter.Seconds()));
    }
    SetTotals totals(options.fileDir, options.fileName, check ? &*check : nullptr);
    if (!options.preflight && (reporter.Json() || several)) {
        // The totals for the events and the summary, if the set is whole as it stands; the
        // transfers stream it as the window does, and nobody is asked anything here.
        totals.Refresh();
    }

    std::vector<std::unique_ptr<DeviceHost>> hosts;
    for (const Device& device : options.devices) {
        DeviceHost::Options host;
        host.device = device.name;
        host.prefixed = several;
        host.path = options.path;
        host.fileName = options.fileName;
        host.fileDir = options.fileDir;
        host.link = device.link;
        hosts.push_back(std::make_unique<DeviceHost>(std::move(host), reporter, question, totals));
    }

    if (stop.Requested()) {
        // Stopped before any worker exists: nothing is sent, and every device ends as a
        // worker ends on a stop.
        for (const auto& host : hosts) {
            host->Begin();
            host->EndUncontacted(Outcome::Aborted);
        }
    } else if (options.preflight && !check->Sound()) {
        std::fprintf(stderr,
                     "qf580-flash: the set was refused before any device was contacted: %s\n",
                     FaultText(*check).c_str());
        for (const auto& host : hosts) {
            host->Begin();
            host->EndUncontacted(check->outcome);
        }
    } else {
        std::vector<std::unique_ptr<TTrans>> workers;
        for (const auto& host : hosts) {
            host->Begin();
            workers.push_back(std::make_unique<TTrans>(*host, options.environment));
            stop.Add(*workers.back());
        }
        for (const auto& worker : workers) {
            worker->WaitFor();
        }
        stop.Clear();
    }

    std::vector<DeviceResult> results;
    for (const auto& host : hosts) {
        const std::optional<DeviceResult> result = host->Result();
        if (!result) {
            return kExitInternal;
        }
        results.push_back(*result);
    }
    if (several) {
        std::string table = SummaryTable(results);
        table.pop_back();
        reporter.Line(table);
    }
    return RunExitCode(results);
}

}  // namespace qf580::cli
