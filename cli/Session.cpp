#include "cli/Session.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "attemptlog/AttemptLog.h"
#include "cli/CheckReport.h"
#include "cli/ExitCodes.h"
#include "cli/Json.h"
#include "cli/SetOnDisk.h"
#include "cli/StationText.h"
#include "posix/Poll.h"
#include "text/Escape.h"
#include "transfer/SetCheck.h"

namespace qf580::cli {

bool LinkFault(int exitCode) {
    switch (exitCode) {
        case 12:  // Cannot open port
        case 13:  // Communication setup failure
        case 14:  // no identification
        case 15:  // header size
        case 17:  // header transfer
        case 20:  // communication error
            return true;
        default:
            return false;
    }
}

std::string StationRecordPath(std::string* why) {
    std::filesystem::path state;
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg != nullptr && *xdg == '/') {
        state = xdg;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
        state = std::filesystem::path(home) / ".local" / "state";
    } else {
        *why = "neither XDG_STATE_HOME nor HOME is set; give --record FILE";
        return {};
    }
    const std::filesystem::path dir = state / "qf580-flash";
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) {
        *why = "cannot create " + EscapeControls(dir.string()) + ": " + error.message();
        return {};
    }
    return (dir / "attempts.jsonl").string();
}

namespace {

struct Unit {
    std::size_t slot = 0;  // from 0
    std::string serial;
    int number = 0;  // in the session, from 1
};

class Session {
  public:
    Session(RunOptions run, const SessionOptions& options, const SerialRules& rules,
            Reporter& reporter, TerminalOperator& terminal, StopRequest& stop, int wakeFd)
        : run_(std::move(run)),
          slots_(run_.devices),
          options_(options),
          rules_(rules),
          reporter_(reporter),
          terminal_(terminal),
          stop_(stop),
          wakeFd_(wakeFd),
          file_(*run_.attemptLogFile),
          id_(NewAttemptId()),
          started_(UtcTime(std::chrono::system_clock::now())) {}

    int Run();

  private:
    enum class Read { Units, EndOfInput, Stopped };
    Read ReadCycle(std::vector<Unit>& units, bool& lastCycle);
    // Empty when the serial may be flashed in this cycle, else why not.
    std::string Refusal(std::string& serial, const std::vector<Unit>& units) const;
    // False, said, when the set on the disk is no longer the one checked.
    bool SetUnchanged();
    // The set checked, the record read: nullopt, or the exit code of a session that cannot
    // start.
    std::optional<int> Prepare();
    // "Operator: " once; nullopt, or the exit code of a session whose input ended there.
    std::optional<int> AskOperator();
    // Runs the cycle's units with their retries; false when a run could not start at all.
    bool Flash(const std::vector<Unit>& units, int& runCode);
    // A unit on its way: its try and, from the second on, its first attempt.
    struct Pending {
        const Unit* unit;
        int tryNo = 1;
        std::optional<std::string> firstAttempt;
    };
    // One run of every pending unit at once; its exit code, and one result a unit in `results`
    // unless the run could not start.
    int TryPending(const std::vector<Pending>& pending, std::vector<DeviceResult>& results);
    // The units a link fault ended that may be tried again; the others join `finished`.
    std::vector<Pending> Settle(const std::vector<Pending>& pending,
                                const std::vector<DeviceResult>& results,
                                std::vector<UnitResult>& finished);
    // Counts the cycle's units and says each one's result, then the counts.
    void ReportCycle(std::vector<UnitResult> finished);
    // After a cycle: nullopt, or the exit code of the session that the stop rules end.
    std::optional<int> StopRules(bool lastCycle);
    int End(const std::string& endedBy, int code);
    void Refused(std::size_t slot, const std::string& serial, const std::string& why);

    RunOptions run_;
    const std::vector<Device> slots_;
    const SessionOptions& options_;
    const SerialRules& rules_;
    Reporter& reporter_;
    TerminalOperator& terminal_;
    StopRequest& stop_;
    const int wakeFd_;
    AttemptLogFile& file_;
    bool recordFailed_ = false;
    const std::string id_;
    const std::string started_;
    std::optional<SetCheckResult> check_;
    std::vector<FileStamp> stamps_;
    FlashedBefore flashed_;
    StationCount count_;
    int units_ = 0;
    int cycles_ = 0;
    bool transferStopped_ = false;
};

std::string Session::Refusal(std::string& serial, const std::vector<Unit>& units) const {
    if (std::string why = rules_.Refusal(serial); !why.empty()) {
        return why;
    }
    for (const Unit& unit : units) {
        if (unit.serial == serial) {
            return "it was scanned for slot " + std::to_string(unit.slot + 1) +
                   " in this cycle already";
        }
    }
    if (!options_.allowReflash) {
        if (const FlashedUnit* before = flashed_.Find(serial)) {
            return "it was flashed before, on " + before->time + " at " +
                   (before->station.empty() ? std::string("an unknown station")
                                            : EscapeControls(before->station)) +
                   " with the set " +
                   (before->setSha256.empty() ? std::string("of unknown digest")
                                              : before->setSha256) +
                   " (--allow-reflash flashes a unit sent back for an update)";
        }
    }
    return {};
}

void Session::Refused(std::size_t slot, const std::string& serial, const std::string& why) {
    reporter_.Line("qf580-flash: slot " + std::to_string(slot + 1) + ": serial \"" +
                   EscapeControls(serial) + "\" refused: " + why + "; scan it again");
    JsonValue event = EventPrologue("refused", slots_[slot].name, reporter_.Seconds());
    event["slot"] = slot + 1;
    event["serial"] = serial;
    event["reason"] = why;
    reporter_.Event(event);
}

Session::Read Session::ReadCycle(std::vector<Unit>& units, bool& lastCycle) {
    std::size_t wanted = slots_.size();
    if (options_.units) {
        wanted = std::min<std::size_t>(
            wanted, static_cast<std::size_t>(std::max(0, *options_.units - count_.passed)));
    }
    for (std::size_t slot = 0; slot < wanted; ++slot) {
        for (;;) {
            std::string serial;
            const TerminalOperator::LineRead read = terminal_.ReadLine(
                "Serial for slot " + std::to_string(slot + 1) + " (" + slots_[slot].name + "): ",
                serial);
            if (read == TerminalOperator::LineRead::Interrupted || stop_.Requested()) {
                return Read::Stopped;
            }
            if (read == TerminalOperator::LineRead::EndOfInput) {
                // What was scanned before the end is flashed; nothing more is asked.
                lastCycle = true;
                return units.empty() ? Read::EndOfInput : Read::Units;
            }
            if (serial.empty() || serial == "\r") {
                break;  // the slot stays empty in this cycle
            }
            const std::string scanned = serial;
            if (const std::string why = Refusal(serial, units); !why.empty()) {
                Refused(slot, scanned, why);
                continue;
            }
            units.push_back({slot, serial, 0});
            break;
        }
    }
    return Read::Units;
}

bool Session::SetUnchanged() {
    const std::vector<FileStamp> now = StampSet(check_->summary);
    const std::string changed = ChangedFile(stamps_, now);
    if (changed.empty()) {
        return true;
    }
    // Touched, or copied over with the same set: only another digest stops the line.
    const ChosenFile file = SplitChosenFile(run_.path);
    NeverAsk never;
    const SetCheckResult again = CheckSet(file.dir, file.name, never, &stop_.Flag());
    if (again.Sound() && again.summary.setSha256 == check_->summary.setSha256) {
        stamps_ = StampSet(again.summary);
        return true;
    }
    const std::string now256 = again.Sound() ? again.summary.setSha256 : std::string();
    reporter_.Notice("qf580-flash: " + EscapeControls(changed) +
                     " changed on the disk since the session checked the set: " +
                     (now256.empty() ? "it is no longer a sound set (" + FaultText(again) + ")"
                                     : "the set's SHA-256 is now " + now256) +
                     ", not " + check_->summary.setSha256 +
                     "; the session ends and nothing of it was sent");
    return false;
}

bool Session::Flash(const std::vector<Unit>& units, int& runCode) {
    std::vector<Pending> pending;
    for (const Unit& unit : units) {
        pending.push_back({&unit, 1, std::nullopt});
    }
    std::vector<UnitResult> finished;
    while (!pending.empty()) {
        if (!SetUnchanged()) {
            runCode = kExitSetChanged;
            return false;
        }
        std::vector<DeviceResult> results;
        runCode = TryPending(pending, results);
        if (results.size() != pending.size()) {
            return false;  // said by the run: nothing of this try was sent
        }
        pending = Settle(pending, results, finished);
        if (!pending.empty()) {
            reporter_.Line("qf580-flash: a link fault: " + std::to_string(pending.size()) +
                           (pending.size() == 1 ? " unit" : " units") + " tried again in " +
                           std::to_string(options_.retryDelayMs) + " ms");
            posix::WaitFor(-1, 0, wakeFd_, options_.retryDelayMs);
        }
    }
    ReportCycle(std::move(finished));
    return true;
}

int Session::TryPending(const std::vector<Pending>& pending, std::vector<DeviceResult>& results) {
    RunOptions cycle = run_;
    cycle.devices.clear();
    for (const Pending& p : pending) {
        Device device = slots_[p.unit->slot];
        device.serial = p.unit->serial;
        device.place = SessionPlace{id_, p.unit->number, p.tryNo, p.firstAttempt};
        cycle.devices.push_back(std::move(device));
    }
    cycle.results = &results;
    cycle.checked = &*check_;
    cycle.table = false;
    const int runCode = RunTransfers(cycle, reporter_, terminal_, stop_);
    recordFailed_ = recordFailed_ || runCode == kExitOutput;
    return runCode;
}

std::vector<Session::Pending> Session::Settle(const std::vector<Pending>& pending,
                                              const std::vector<DeviceResult>& results,
                                              std::vector<UnitResult>& finished) {
    std::vector<Pending> again;
    for (std::size_t i = 0; i < pending.size(); ++i) {
        const int code = ExitCodeFor(results[i].outcome);
        if (code != kExitCompleted && LinkFault(code) && pending[i].tryNo <= options_.retries &&
            !stop_.Requested()) {
            again.push_back({pending[i].unit, pending[i].tryNo + 1,
                             pending[i].firstAttempt.value_or(results[i].attempt)});
            continue;
        }
        transferStopped_ = transferStopped_ || results[i].outcome == Outcome::Aborted;
        finished.push_back({static_cast<int>(pending[i].unit->slot) + 1,
                            slots_[pending[i].unit->slot].name, pending[i].unit->serial,
                            std::string(OutcomeText(results[i].outcome)), code, pending[i].tryNo});
    }
    return again;
}

void Session::ReportCycle(std::vector<UnitResult> finished) {
    // In slot order, as the operator takes the units out of the fixture.
    std::sort(finished.begin(), finished.end(),
              [](const UnitResult& a, const UnitResult& b) { return a.slot < b.slot; });
    JsonValue results = JsonValue::array();
    for (const UnitResult& result : finished) {
        const bool pass = result.exitCode == kExitCompleted;
        count_.Take(pass, result.outcome);
        if (pass) {
            flashed_.Add(result.serial, {UtcTime(std::chrono::system_clock::now()),
                                         run_.attemptContext.station, check_->summary.setSha256});
        }
        reporter_.Line(ResultLine(result, options_.colour, options_.bell));
        results.push_back({{"slot", result.slot},
                           {"device", result.device},
                           {"serial", result.serial},
                           {"result", pass ? "PASS" : "FAIL"},
                           {"outcome", result.outcome},
                           {"exit_code", result.exitCode},
                           {"tries", result.tries}});
    }
    std::optional<int> toGo;
    if (options_.units) {
        toGo = std::max(0, *options_.units - count_.passed);
    }
    reporter_.Line(CountLine(count_, toGo));
    JsonValue event = EventPrologue("cycle", std::nullopt, reporter_.Seconds());
    event["cycle"] = cycles_;
    event["results"] = results;
    event["units"] = count_.units;
    event["passed"] = count_.passed;
    event["failed"] = count_.failed;
    event["failures_in_a_row"] = count_.failuresInARow;
    event["to_go"] = toGo ? JsonValue(*toGo) : JsonValue(nullptr);
    reporter_.Event(event);
}

int Session::End(const std::string& endedBy, int code) {
    reporter_.Line(SummaryText(count_, endedBy));
    SessionEnd end;
    end.session = id_;
    end.started = started_;
    end.units = count_.units;
    end.passed = count_.passed;
    end.failed = count_.failed;
    end.outcomes.assign(count_.outcomes.begin(), count_.outcomes.end());
    end.endedBy = endedBy;
    AttemptContext context = run_.attemptContext;
    TakeSet(context, &*check_);
    AttemptLog log(&file_, run_.journal, std::move(context),
                   [this](const std::string& text) { reporter_.Notice(text); });
    const bool recorded = log.EndSession(end).empty();
    if (code == kExitCompleted && (!recorded || recordFailed_)) {
        code = kExitOutput;
    }
    JsonValue event = EventPrologue("session", std::nullopt, reporter_.Seconds());
    event["session"] = id_;
    AddCounts(event, end);
    event["ended_by"] = endedBy;
    event["exit_code"] = code;
    reporter_.Event(event);
    return code;
}

std::optional<int> Session::Prepare() {
    std::string why;
    std::optional<FlashedBefore> index = FlashedBefore::Read(file_.Path(), &why);
    if (!index) {
        reporter_.Notice("qf580-flash: cannot read the record " + EscapeControls(file_.Path()) +
                         ": " + why);
        return kExitUsage;
    }
    flashed_ = std::move(*index);
    const ChosenFile file = SplitChosenFile(run_.path);
    {
        CheckPrompt prompt(terminal_, reporter_);
        check_ = CheckSet(file.dir, file.name, prompt, &stop_.Flag());
    }
    reporter_.Event(CheckJson(run_.path, *check_, reporter_.Seconds()));
    if (!check_->Sound()) {
        reporter_.Notice("qf580-flash: the set was refused before any device was contacted: " +
                         FaultText(*check_));
        return ExitCodeFor(check_->outcome);
    }
    if (run_.expectSha256 && check_->summary.setSha256 != *run_.expectSha256) {
        reporter_.Notice("qf580-flash: the set's SHA-256 is " + check_->summary.setSha256 +
                         ", not " + *run_.expectSha256 +
                         " as --expect-sha256 gives: no device was contacted");
        return kExitWrongSet;
    }
    stamps_ = StampSet(check_->summary);
    return std::nullopt;
}

std::optional<int> Session::AskOperator() {
    std::string name;
    const TerminalOperator::LineRead read = terminal_.ReadLine("Operator: ", name);
    if (read != TerminalOperator::LineRead::Line) {
        return End(read == TerminalOperator::LineRead::EndOfInput ? "end-of-input" : "stop",
                   kExitCompleted);
    }
    if (!name.empty() && name.back() == '\r') {
        name.pop_back();
    }
    if (!name.empty()) {
        run_.attemptContext.operatorName = name;
    }
    return std::nullopt;
}

std::optional<int> Session::StopRules(bool lastCycle) {
    const int soFar = count_.failed == 0 ? kExitCompleted : kExitSomeFailed;
    if (stop_.Requested()) {
        return End("stop", transferStopped_ ? ExitCodeFor(Outcome::Aborted) : soFar);
    }
    if (options_.stopAfterFailures > 0 && count_.failuresInARow >= options_.stopAfterFailures) {
        reporter_.Notice("qf580-flash: " + std::to_string(count_.failuresInARow) +
                         " units failed in a row: the station takes no more units. Check "
                         "the fixture, its cables and the link settings, then the set");
        return End("failures-in-a-row", kExitFailuresInARow);
    }
    if (options_.units && count_.passed >= *options_.units) {
        return End("units", soFar);
    }
    if (lastCycle) {
        return End("end-of-input", soFar);
    }
    return std::nullopt;
}

int Session::Run() {
    reporter_.Line("qf580-flash: station session " + id_ + "; attempts recorded in " +
                   EscapeControls(file_.Path()));
    if (const std::optional<int> refused = Prepare()) {
        return *refused;
    }
    if (options_.askOperator) {
        if (const std::optional<int> ended = AskOperator()) {
            return *ended;
        }
    }
    for (;;) {
        std::vector<Unit> units;
        bool lastCycle = false;
        const Read read = ReadCycle(units, lastCycle);
        const int soFar = count_.failed == 0 ? kExitCompleted : kExitSomeFailed;
        if (read == Read::Stopped) {
            return End("stop", soFar);
        }
        if (read == Read::EndOfInput) {
            return End("end-of-input", soFar);
        }
        for (Unit& unit : units) {
            unit.number = ++units_;
        }
        if (!units.empty()) {
            ++cycles_;
            int runCode = kExitCompleted;
            if (!Flash(units, runCode)) {
                if (runCode == kExitSetChanged) {
                    return End("set-changed", kExitSetChanged);
                }
                return runCode;  // the record could not be written: said, nothing sent
            }
        }
        if (const std::optional<int> ended = StopRules(lastCycle)) {
            return *ended;
        }
    }
}

}  // namespace

int RunSession(RunOptions run, const SessionOptions& session, const SerialRules& rules,
               Reporter& reporter, TerminalOperator& terminal, StopRequest& stop, int wakeFd) {
    return Session(std::move(run), session, rules, reporter, terminal, stop, wakeFd).Run();
}

}  // namespace qf580::cli
