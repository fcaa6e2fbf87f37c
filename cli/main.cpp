// qf580-flash: transfers of an update set from the command line, for scripts and production
// lines: one device or several at once, each with the same worker as the main window's, the
// set checked whole before any device is contacted, and JSON Lines for programs.
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

#include "attemptlog/AttemptLog.h"
#include "cli/ExitCodes.h"
#include "cli/Options.h"
#include "cli/Run.h"
#include "cli/Say.h"
#include "cli/Session.h"
#include "cli/StationText.h"
#include "cli/StopWatcher.h"
#include "cli/TerminalOperator.h"
#include "posix/FileLimit.h"
#include "posix/StandardStreams.h"
#include "posix/StopSignals.h"
#include "posix/WakePipe.h"
#include "transfer/RizEDUd.h"

using namespace qf580;
using namespace qf580::cli;

namespace {

// A device's socket and the disk files its transfer and its count of the set may hold at once.
constexpr std::uint64_t kFilesPerDevice = 3;

// What every run needs before its options are even read; an exit code when it cannot have it.
// `stopSignals` receives the stop signals blocked.
std::optional<int> PrepareProcess(sigset_t& stopSignals) {
    // The very first thing, before any thread exists (so every thread inherits the mask): from
    // here on a Ctrl+C waits in the signalfd as a stop request, whatever the program is doing.
    if (const int error = posix::BlockStopSignals(&stopSignals); error != 0) {
        std::fprintf(stderr, "qf580-flash: cannot block SIGINT, SIGTERM and SIGHUP: %s\n",
                     std::strerror(error));
        return kExitInternal;
    }
    // Before any descriptor of ours exists: a program started with one of its standard streams
    // closed would otherwise hand out that number to the signalfd or a pipe.
    if (const int error = posix::OpenMissingStandardStreams(); error != 0) {
        std::fprintf(stderr, "qf580-flash: cannot open /dev/null: %s\n", std::strerror(error));
        return kExitInternal;
    }
    // A device or a reader of our output that goes away is a failed write, not a reason to die.
    ::signal(SIGPIPE, SIG_IGN);
    // Nor is a record that grows beyond the size this process may write: that write fails.
    ::signal(SIGXFSZ, SIG_IGN);
    // A few threads that allocate little: one heap for them all, grown a megabyte at a time,
    // instead of a heap of its own for each thread, grown a page at a time (a system call a
    // step). The memory reserved is not touched until it is used.
    ::mallopt(M_ARENA_MAX, 1);
    ::mallopt(M_TOP_PAD, 1 << 20);
    // The disks' read buffers from that heap too: the check's, given back, is the one the
    // transfer reads through next, where a mapping of its own would be made and unmade for each.
    ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
    return std::nullopt;
}

// Every device holds its socket and its disk files at once; found out half-way, the lack of
// descriptors would look like a missing disk or a port that cannot be opened.
bool EnoughFiles(const Options& options) {
    if (options.check) {
        return true;
    }
    const std::uint64_t deviceCount = options.DeviceCount();
    const posix::FileLimit files = posix::MakeRoomForFiles(deviceCount * kFilesPerDevice + 8);
    if (!files.enough) {
        SayError("qf580-flash: " + std::to_string(deviceCount) + " devices at once need about " +
                 std::to_string(files.needed) + " open files, but the limit is " +
                 std::to_string(files.limit) + " (ulimit -n)");
    }
    return files.enough;
}

// Whether two paths name one place, symbolic links and dot-dot followed as far as they exist.
bool SamePath(const std::string& a, const std::string& b) {
    std::error_code errorA;
    std::error_code errorB;
    const std::filesystem::path placeA = std::filesystem::weakly_canonical(a, errorA);
    const std::filesystem::path placeB = std::filesystem::weakly_canonical(b, errorB);
    return !errorA && !errorB && placeA == placeB;
}

// Before any device is contacted, and before the set's check asks anyone anything: a run
// whose attempts cannot be recorded does not start. The exit code when it cannot be opened,
// when its lock is not had in time, or when a stop ends the wait for it.
std::optional<int> OpenAttemptLogFile(const Options& options, posix::StopSignalFd& signals,
                                      std::optional<AttemptLogFile>& file) {
    // A session is recorded even without --record.
    std::string path = options.recordPath.value_or("");
    if (path.empty() && options.loop) {
        std::string why;
        path = StationRecordPath(&why);
        if (path.empty()) {
            SayError("qf580-flash: no record for the session: " + why);
            return kExitUsage;
        }
    }
    if (path.empty()) {
        return std::nullopt;
    }
    // Lines written into a disk of the set would spoil the very set they record.
    const ChosenFile chosen = SplitChosenFile(options.file);
    const std::vector<std::string> disks{options.file, chosen.dir + MakeDiskName(1, chosen.name),
                                         chosen.dir + MakeDiskName(2, chosen.name)};
    const auto refuse = [&path](const std::string& disk) {
        SayError("qf580-flash: the record " + path + " is a disk of the set (" + disk +
                 "): name another file");
        return kExitUsage;
    };
    // By name before the file is made: a disk that is not there yet would be left behind
    // empty, and taken for a broken disk by the next run.
    for (const std::string& disk : disks) {
        if (SamePath(path, disk)) {
            return refuse(disk);
        }
    }
    bool stopped = false;
    LockWait wait;
    wait.stopped = [&signals, &stopped] {
        stopped = stopped || signals.Take() != 0;
        return stopped;
    };
    std::string why;
    file = AttemptLogFile::Open(path, &why, wait);
    if (!file) {
        SayError("qf580-flash: cannot open the record " + path + ": " + why);
        return stopped ? ExitCodeFor(Outcome::Aborted) : kExitUsage;
    }
    // By the file itself: another name (a hard link) for a disk.
    for (const std::string& disk : disks) {
        if (file->IsFile(disk)) {
            return refuse(disk);
        }
    }
    return std::nullopt;
}

// The run's part of every begin line; the set's part comes from the check.
AttemptContext RunContext(const Options& options) {
    AttemptContext context;
    context.host = HostName();
    context.station = options.station.value_or(context.host);
    context.operatorName = options.operatorName;
    context.version = QF580_VERSION;
    context.file = options.file;
    return context;
}

RunOptions MakeRunOptions(const Options& options, bool humanIsTerminal) {
    RunOptions run;
    run.path = options.file;
    run.preflight = options.preflight;
    run.expectSha256 = options.expectSha256;
    // Scripts and logs get the status lines as they always have, unless they ask for more.
    if (!options.noProgress && !options.check) {
        if (humanIsTerminal) {
            run.progress = ProgressStyle::Live;
        } else if (options.progress) {
            run.progress = ProgressStyle::Lines;
        }
    }
    LinkSettingsValues link;
    link.FastTrans = options.fast;
    if (options.usb) {
        link.UseUSB = 1;
        link.IPAddress.clear();
        link.PortNo = options.port;
        run.devices.push_back({"usb", link, {}, {}});
    }
    for (const DeviceAddress& device : options.addresses) {
        link.UseUSB = 0;
        link.IPAddress = device.address;
        link.PortNo = device.port;
        run.devices.push_back({device.Label(), link, {}, {}});
    }
    for (std::size_t i = 0; i < options.serials.size(); ++i) {
        run.devices[i].serial = options.serials[i];
    }
    run.attemptContext = RunContext(options);
    if (options.timeoutMs) {
        const int ms = *options.timeoutMs;
        run.environment.timeouts = LinkTimeouts{ms, ms, ms, ms};
    }
    if (options.usb && !options.usbDriver.empty()) {
        run.environment.usb = LoadUsbDriverFrom(options.usbDriver);
    }
    return run;
}

// A slow reader gets everything; one that reads nothing holds the program only until a stop
// is asked for, and then a second at most. Returns the exit code with the output's part.
int Drained(int code, Reporter& reporter, const StopRequest& stop) {
    std::optional<std::chrono::steady_clock::time_point> stopSeen;
    const bool whole = reporter.Drain([&stop, &stopSeen] {
        if (!stop.Requested()) {
            return false;
        }
        const auto now = std::chrono::steady_clock::now();
        stopSeen = stopSeen.value_or(now);
        return now - *stopSeen >= std::chrono::seconds(1);
    });
    if ((!whole || reporter.OutputFailed()) && code == kExitCompleted) {
        return kExitOutput;
    }
    return code;
}

int Run(const Options& options, const sigset_t& stopSignals) {
    if (!EnoughFiles(options)) {
        return kExitUsage;
    }
    std::optional<posix::StopSignalFd> signals;
    std::optional<posix::WakePipe> questionWake;
    try {
        signals.emplace(stopSignals);
        questionWake.emplace();
    } catch (const std::system_error& e) {
        SayError(std::string("qf580-flash: ") + e.what());
        return kExitInternal;
    }
    std::optional<AttemptLogFile> attemptLogFile;
    if (const std::optional<int> refused = OpenAttemptLogFile(options, *signals, attemptLogFile)) {
        return *refused;
    }

    // With --json, standard output carries the events and nothing else.
    const int humanFd = options.json ? STDERR_FILENO : STDOUT_FILENO;
    const bool humanIsTerminal = ::isatty(humanFd) != 0;
    Reporter reporter(humanFd, options.json ? STDOUT_FILENO : -1, humanIsTerminal);
    TerminalOperator terminal(options.diskAnswer, reporter, STDIN_FILENO, questionWake->ReadFd());
    StopRequest stop([&terminal, &questionWake] {
        terminal.Interrupt();
        // The question, if one is open, is answered at once.
        questionWake->Wake();
    });
    RunOptions run = MakeRunOptions(options, humanIsTerminal);
    run.attemptLogFile = attemptLogFile ? &*attemptLogFile : nullptr;
    std::optional<JournalSink> journal;
    if (options.journal) {
        journal.emplace("qf580-flash",
                        [&reporter](const std::string& text) { reporter.Notice(text); });
        run.journal = &*journal;
    }

    // A stop that came before the run starts: nothing is sent, and every device ends as a
    // worker ends on a stop. One that comes later is the watcher's.
    if (signals->Take() != 0) {
        stop.Request();
    }
    int code = kExitInternal;
    // Watching until the very end: a stop asked for while the output drains ends the wait.
    std::optional<StopWatcher> watcher;
    try {
        watcher.emplace(*signals, stop, reporter);
        if (options.loop) {
            SessionOptions session = options.session;
            session.askOperator = !options.operatorName && terminal.FromTerminal();
            session.colour = StationColour(humanIsTerminal);
            session.bell = humanIsTerminal;
            code = RunSession(run, session, SerialRules(options.serialPattern), reporter, terminal,
                              stop, questionWake->ReadFd());
        } else {
            code = options.check ? RunCheck(run, reporter, terminal, stop)
                                 : RunTransfers(run, reporter, terminal, stop);
        }
    } catch (const std::exception& e) {
        // No thread or memory for one more device: the workers that did start have been
        // stopped and joined on the way out, and the run says why instead of aborting.
        reporter.Notice(std::string("qf580-flash: ") + e.what());
    }
    return Drained(code, reporter, stop);
}

}  // namespace

int main(int argc, char** argv) {
    sigset_t stopSignals;
    if (const std::optional<int> failed = PrepareProcess(stopSignals)) {
        return *failed;
    }
    std::variant<Options, int> parsed = ParseOptions(argc, argv);
    if (const int* code = std::get_if<int>(&parsed)) {
        return *code;
    }
    return Run(std::get<Options>(parsed), stopSignals);
}
