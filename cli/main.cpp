// qf580-flash: transfers of an update set from the command line, for scripts and production
// lines: one device or several at once, each with the same worker as the main window's, the
// set checked whole before any device is contacted, and JSON Lines for programs.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "attemptlog/AttemptLog.h"
#include "cli/DeviceAddress.h"
#include "cli/ExitCodes.h"
#include "cli/HelpFormatter.h"
#include "cli/Run.h"
#include "cli/StopWatcher.h"
#include "cli/TerminalOperator.h"
#include "posix/FileLimit.h"
#include "posix/StandardStreams.h"
#include "posix/StopSignals.h"
#include "posix/WakePipe.h"
#include "text/Escape.h"
#include "transfer/RizEDUd.h"

using namespace qf580;
using namespace qf580::cli;

// A device's socket and the disk files its transfer and its count of the set may hold at once.
constexpr std::uint64_t kFilesPerDevice = 3;

int main(int argc, char** argv) {
    // The very first thing, before any thread exists (so every thread inherits the mask): from
    // here on a Ctrl+C waits in the signalfd as a stop request, whatever the program is doing.
    if (const int error = posix::BlockStopSignals(); error != 0) {
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

    CLI::App app{
        "Rewrites the firmware of QF580 devices with one update set: one device, or several at "
        "once. The whole set is checked before any device is contacted."};
    app.footer(
        "\nExamples:\n"
        "  qf580-flash --address 192.0.2.10 --port 8023 /media/fw/FW0001.q58\n"
        "  qf580-flash --address 192.0.2.10 --address 192.0.2.11:8024 --json FW0001.q58\n"
        "  qf580-flash --usb --no-fast --disk-answer cancel FW0001.q58\n"
        "  qf580-flash --address 192.0.2.10 --progress FW0001.q58 > flash.log\n"
        "  qf580-flash --check FW0001.q58\n\n"
        "With several devices each status line starts with its device, \"[ADDR:PORT] \", and "
        "a table\nof every device's outcome follows; the exit code is 0 when every device "
        "completed,\notherwise that of the first device, in the order given, that did not.\n\n" +
        ExitCodeTable());
    app.formatter(std::make_shared<HelpFormatter>());
    // The version is the project's, handed in by the build.
    app.set_version_flag("--version", "qf580-flash " QF580_VERSION);

    std::string file;
    std::vector<std::string> addresses;
    std::uint32_t port = 8023;
    bool usb = false;
    bool fast = true;
    std::string diskAnswer = "ask";
    std::string usbDriver;
    std::optional<int> timeoutMs;
    bool check = false;
    bool preflight = true;
    bool json = false;
    bool progress = false;
    bool noProgress = false;
    std::string recordPath;
    bool journal = false;
    std::string station;
    std::optional<std::string> operatorName;
    std::vector<std::string> serials;
    std::optional<std::string> expectSha256;

    // Opened as the window opens its chosen file, so that the message gives the real reason:
    // CLI11's own check calls every failure "File does not exist".
    app.add_option("file", file, "The update file (disk 1 of the set, as chosen in the window)")
        ->required()
        ->check(CLI::Validator([](std::string& path) { return CheckUpdateFile(path); }, "FILE"));
    auto* addressOpt = app.add_option("--address", addresses,
                                      "Numeric IPv4 address of a device (TCP/IP), ADDR or "
                                      "ADDR:PORT; give it once for each "
                                      "device, all are flashed at once")
                           ->option_text("ADDR[:PORT] ...");
    auto* portOpt =
        app.add_option("--port", port, "TCP port of a device given without one (default 8023)")
            ->option_text("PORT")
            ->default_val(8023)
            ->check(CLI::Range(1, 65535));
    auto* usbOpt =
        app.add_flag("--usb", usb, "Reach the device through the USB driver library (one device)");
    app.add_flag("--fast,!--no-fast", fast,
                 "Fast transfer: records between two acknowledgements in one write (default on)");
    app.add_option("--disk-answer", diskAnswer,
                   "How \"Insert Disk N\" is answered: ask (from the terminal; end of input "
                   "cancels), ok (look again, at most 3 times, a second apart) or cancel "
                   "(default ask)")
        ->option_text("ask|ok|cancel")
        ->check(CLI::IsMember({"ask", "ok", "cancel"}))
        ->default_val("ask");
    auto* checkOpt = app.add_flag(
        "--check", check,
        "Only check the set: read every disk, record, checksum and END, print the summary or "
        "the first fault, and exit with the code of the outcome the set would cause; no "
        "device is contacted");
    auto* noPreflightOpt =
        app.add_flag("!--no-preflight", preflight,
                     "Skip the check before the transfer: records are checked as they are sent, "
                     "as the window does")
            ->excludes(checkOpt);
    app.add_option("--expect-sha256", expectSha256,
                   "The released set's SHA-256 (64 hex digits, either case): a set with another "
                   "digest is refused before any device is contacted, exit code 21")
        ->check(CLI::Validator(
            [](std::string& hex) {
                return hex.size() == 64 &&
                               hex.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos
                           ? std::string()
                           : "a SHA-256 is 64 hexadecimal digits: " + hex;
            },
            "HEX"))
        ->option_text("HEX")
        ->excludes(noPreflightOpt);
    auto* recordOpt = app.add_option(
        "--record", recordPath,
        "Append a line to FILE when each device's transfer begins and when it ends (JSON "
        "Lines, on the disk before the transfer goes on); shared safely by several runs");
    recordOpt->option_text("FILE")->excludes(checkOpt);
    app.add_flag("--journal", journal,
                 "Send each line of the record to the systemd journal as well, one structured "
                 "entry each (with or without --record)")
        ->excludes(checkOpt);
    // Each fills the record's lines, whether they go to the file, the journal or both.
    const std::vector<CLI::Option*> recordFields = {
        app.add_option("--station", station,
                       "The station's name in the record (default: the host name)")
            ->option_text("NAME"),
        app.add_option("--operator", operatorName,
                       "The operator's name in the record (default: none)")
            ->option_text("NAME"),
        app.add_option("--serial", serials,
                       "A device's serial number in the record: once per device, in the order "
                       "of --address (once with --usb)")
            ->option_text("SERIAL"),
    };
    app.add_flag("--json", json,
                 "JSON Lines on standard output, one event per line (check, begin, status, "
                 "progress, question, end; with --check one check object); the human text goes "
                 "to standard error");
    auto* progressOpt = app.add_flag(
        "--progress", progress,
        "Show progress also where the status lines do not go to a terminal: a line of its own "
        "at most once a second (on a terminal it is one line redrawn in place, and on by "
        "default)");
    app.add_flag("--no-progress", noProgress, "No progress line, not even on a terminal")
        ->excludes(progressOpt);
    auto* driverOpt = app.add_option("--usb-driver", usbDriver,
                                     "For tests and demos: the USB driver library to load "
                                     "instead of librizedud.so beside the program or the system's")
                          ->group("Testing")
                          ->option_text("PATH")
                          ->check(CLI::ExistingFile);
    app.add_option("--timeout-ms", timeoutMs,
                   "For tests: every link time limit (connect, readiness wait, socket read and "
                   "write, USB call) in milliseconds")
        ->group("Testing")
        ->option_text("MS")
        ->check(CLI::Range(1, 600000));
    addressOpt->excludes(usbOpt);
    portOpt->excludes(usbOpt);
    driverOpt->needs(usbOpt);

    std::vector<DeviceAddress> devices;
    try {
        app.parse(argc, argv);
        if (!check && !usb && addresses.empty()) {
            throw CLI::RequiredError("--address or --usb");
        }
        for (const CLI::Option* field : recordFields) {
            if (field->count() > 0 && recordPath.empty() && !journal) {
                throw CLI::RequiresError(field->get_name(), "--record or --journal");
            }
        }
        devices = ParseDeviceAddresses(addresses, static_cast<std::uint16_t>(port));
        const std::size_t deviceCount = devices.size() + (usb ? 1 : 0);
        if (!serials.empty() && serials.size() != deviceCount) {
            throw CLI::ValidationError("--serial", "given " + std::to_string(serials.size()) +
                                                       " times for " + std::to_string(deviceCount) +
                                                       (deviceCount == 1 ? " device" : " devices") +
                                                       ": give one for each device");
        }
    } catch (const CLI::ParseError& e) {
        // Every usage error gives 2, whichever of CLI11's kinds it is.
        return app.exit(e) == 0 ? 0 : kExitUsage;
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "%s\nRun with --help for more information.\n", e.what());
        return kExitUsage;
    }

    // Every device holds its socket and its disk files at once; found out half-way, the lack
    // of descriptors would look like a missing disk or a port that cannot be opened.
    if (!check) {
        const std::uint64_t deviceCount = devices.size() + (usb ? 1 : 0);
        const posix::FileLimit files = posix::MakeRoomForFiles(deviceCount * kFilesPerDevice + 8);
        if (!files.enough) {
            std::fprintf(stderr,
                         "qf580-flash: %llu devices at once need about %llu open files, but "
                         "the limit is %llu (ulimit -n)\n",
                         static_cast<unsigned long long>(deviceCount),
                         static_cast<unsigned long long>(files.needed),
                         static_cast<unsigned long long>(files.limit));
            return kExitUsage;
        }
    }

    // Before any device is contacted, and before the set's check asks anyone anything: a run
    // whose attempts cannot be recorded does not start.
    std::optional<AttemptLogFile> recordFile;
    if (!recordPath.empty()) {
        std::string why;
        recordFile = AttemptLogFile::Open(recordPath, &why);
        if (!recordFile) {
            std::fprintf(stderr, "qf580-flash: cannot open the record %s: %s\n",
                         EscapeControls(recordPath).c_str(), why.c_str());
            return kExitUsage;
        }
    }

    std::optional<posix::StopSignalFd> signals;
    std::optional<posix::WakePipe> questionWake;
    try {
        signals.emplace();
        questionWake.emplace();
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "qf580-flash: %s\n", e.what());
        return kExitInternal;
    }

    // With --json, standard output carries the events and nothing else.
    const int humanFd = json ? STDERR_FILENO : STDOUT_FILENO;
    const bool humanIsTerminal = ::isatty(humanFd) != 0;
    RunOptions run;
    run.path = file;
    run.preflight = preflight;
    if (expectSha256) {
        std::transform(expectSha256->begin(), expectSha256->end(), expectSha256->begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        run.expectSha256 = expectSha256;
    }
    // Scripts and logs get the status lines as they always have, unless they ask for more.
    if (!noProgress && !check) {
        if (humanIsTerminal) {
            run.progress = ProgressStyle::Live;
        } else if (progress) {
            run.progress = ProgressStyle::Lines;
        }
    }
    Reporter reporter(humanFd, json ? STDOUT_FILENO : -1, humanIsTerminal);

    const DiskAnswer answer = diskAnswer == "ok"       ? DiskAnswer::Ok
                              : diskAnswer == "cancel" ? DiskAnswer::Cancel
                                                       : DiskAnswer::Ask;
    TerminalOperator terminal(answer, reporter, STDIN_FILENO, questionWake->ReadFd());
    StopRequest stop([&terminal, &questionWake] {
        terminal.Interrupt();
        // The question, if one is open, is answered at once.
        questionWake->Wake();
    });

    LinkSettingsValues link;
    link.FastTrans = fast;
    if (usb) {
        link.UseUSB = 1;
        link.IPAddress.clear();
        link.PortNo = port;
        run.devices.push_back({"usb", link, {}});
    }
    for (const DeviceAddress& device : devices) {
        link.UseUSB = 0;
        link.IPAddress = device.address;
        link.PortNo = device.port;
        run.devices.push_back({device.Label(), link, {}});
    }
    for (std::size_t i = 0; i < serials.size(); ++i) {
        run.devices[i].serial = serials[i];
    }
    // Before the log that sends to it, so that it outlives every line.
    std::optional<JournalSink> journalSink;
    if (journal) {
        journalSink.emplace("qf580-flash",
                            [&reporter](const std::string& text) { reporter.Notice(text); });
    }
    std::optional<AttemptLog> attemptLog;
    if (recordFile || journalSink) {
        AttemptContext context;
        context.host = HostName();
        context.station = station.empty() ? context.host : station;
        context.operatorName = operatorName;
        context.version = QF580_VERSION;
        context.file = file;
        attemptLog.emplace(std::move(recordFile), journalSink ? &*journalSink : nullptr,
                           std::move(context),
                           [&reporter](const std::string& text) { reporter.Notice(text); });
        run.attemptLog = &*attemptLog;
    }
    if (timeoutMs) {
        run.environment.timeouts = LinkTimeouts{*timeoutMs, *timeoutMs, *timeoutMs, *timeoutMs};
    }
    if (usb && !usbDriver.empty()) {
        run.environment.usb = LoadUsbDriverFrom(usbDriver);
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
        code = check ? RunCheck(run, reporter, terminal, stop)
                     : RunTransfers(run, reporter, terminal, stop);
    } catch (const std::exception& e) {
        // No thread or memory for one more device: the workers that did start have been
        // stopped and joined on the way out, and the run says why instead of aborting.
        reporter.Notice(std::string("qf580-flash: ") + e.what());
    }
    // A slow reader gets everything; one that reads nothing holds the program only until a
    // stop is asked for, and then a second at most.
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
        code = kExitOutput;
    }
    return code;
}
