// qf580-flash: one transfer of an update set from the command line, for scripts and
// production lines. The same worker as the main window's, with the terminal as its host.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "CliHost.h"
#include "ExitCodes.h"
#include "Poll.h"
#include "RizEDUd.h"
#include "StopSignals.h"
#include "Ttrans.h"
#include "WakePipe.h"

namespace {

using namespace qf580;
using namespace qf580::cli;

// Turns Ctrl+C (and SIGTERM) into the worker's stop request. The signals are blocked in every
// thread and taken from a signalfd here, so no work at all happens in a signal handler.
class StopWatcher {
  public:
    // `quit` is woken by the destructor; `questionWake` wakes an open disk question.
    StopWatcher(posix::StopSignalFd& signals, const posix::WakePipe& quit, TTrans& trans,
                CliHost& host, const posix::WakePipe& questionWake)
        : quit_(quit), thread_([this, &signals, &trans, &host, &questionWake] {
              Run(signals, trans, host, questionWake);
          }) {}
    StopWatcher(const StopWatcher&) = delete;
    StopWatcher& operator=(const StopWatcher&) = delete;
    ~StopWatcher() {
        quit_.Wake();
        thread_.join();
    }

  private:
    void Run(posix::StopSignalFd& signals, TTrans& trans, CliHost& host,
             const posix::WakePipe& questionWake) {
        int taken = 0;
        for (;;) {
            const posix::Waited waited =
                posix::WaitFor(signals.Get(), POLLIN, quit_.ReadFd(), posix::Deadline::Never());
            if (waited != posix::Waited::Ready) {
                return;  // asked to quit, or the wait itself failed
            }
            if (signals.Take() == 0) {
                continue;
            }
            if (++taken == 1) {
                trans.Terminate();
                host.Interrupt();
                // The question, if one is open, is answered at once.
                questionWake.Wake();
                host.Notice(
                    "qf580-flash: stop requested; the transfer ends at its next stop point "
                    "(Ctrl+C again leaves at once)");
            } else {
                std::fputs("qf580-flash: left without waiting for the transfer to end\n", stderr);
                std::_Exit(kExitForced);
            }
        }
    }

    const posix::WakePipe& quit_;
    std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
    // The very first thing, before any thread exists (so every thread inherits the mask): from
    // here on a Ctrl+C waits in the signalfd as a stop request, whatever the program is doing.
    if (const int error = posix::BlockStopSignals(); error != 0) {
        std::fprintf(stderr, "qf580-flash: cannot block SIGINT and SIGTERM: %s\n",
                     std::strerror(error));
        return kExitInternal;
    }
    // A device or a reader of our output that goes away is a failed write, not a reason to die.
    ::signal(SIGPIPE, SIG_IGN);

    CLI::App app{"Rewrites the firmware of a QF580 device with one update set."};
    app.footer(
        "\nExamples:\n"
        "  qf580-flash --address 192.0.2.10 --port 8023 /media/fw/FW0001.q58\n"
        "  qf580-flash --usb --no-fast --disk-answer cancel FW0001.q58\n"
        "  qf580-flash --address 192.0.2.10 --progress FW0001.q58 > flash.log\n\n" +
        ExitCodeTable());
    // The version is the project's, handed in by the build.
    app.set_version_flag("--version", "qf580-flash " QF580_VERSION);

    std::string file;
    std::string address;
    std::uint32_t port = 8023;
    bool usb = false;
    bool fast = true;
    std::string diskAnswer = "ask";
    std::string usbDriver;
    std::optional<int> timeoutMs;
    bool progress = false;
    bool noProgress = false;

    // Opened as the window opens its chosen file, so that the message gives the real reason:
    // CLI11's own check calls every failure "File does not exist".
    app.add_option("file", file, "The update file (disk 1 of the set, as chosen in the window)")
        ->required()
        ->check(CLI::Validator([](std::string& path) { return CheckUpdateFile(path); }, "FILE"));
    auto* addressOpt =
        app.add_option("--address", address, "Numeric IPv4 address of the device (TCP/IP)");
    auto* portOpt = app.add_option("--port", port, "TCP port of the device")
                        ->default_val(8023)
                        ->check(CLI::Range(1, 65535));
    auto* usbOpt = app.add_flag("--usb", usb, "Reach the device through the USB driver library");
    app.add_flag("--fast,!--no-fast", fast,
                 "Fast transfer: records between two acknowledgements in one write (default on)");
    app.add_option("--disk-answer", diskAnswer,
                   "How \"Insert Disk N\" is answered: ask (from the terminal; end of input "
                   "cancels), ok (try again, at most 3 times a second apart) or cancel")
        ->check(CLI::IsMember({"ask", "ok", "cancel"}))
        ->default_val("ask");
    auto* progressOpt = app.add_flag(
        "--progress", progress,
        "Show progress also where standard output is not a terminal: a line of its own at "
        "most once a second (on a terminal it is one line redrawn in place, and on by default)");
    app.add_flag("--no-progress", noProgress, "No progress line, not even on a terminal")
        ->excludes(progressOpt);
    auto* driverOpt = app.add_option("--usb-driver", usbDriver,
                                     "For tests and demos: the USB driver library to load "
                                     "instead of librizedud.so beside the program or the system's")
                          ->group("Testing")
                          ->check(CLI::ExistingFile);
    app.add_option("--timeout-ms", timeoutMs,
                   "For tests: every link time limit (readiness wait, socket read and write, "
                   "USB call) in milliseconds")
        ->group("Testing")
        ->check(CLI::Range(1, 600000));
    addressOpt->excludes(usbOpt);
    portOpt->excludes(usbOpt);
    driverOpt->needs(usbOpt);

    try {
        app.parse(argc, argv);
        if (!usb && address.empty()) {
            throw CLI::RequiredError("--address or --usb");
        }
    } catch (const CLI::ParseError& e) {
        // Every usage error gives 2, whichever of CLI11's kinds it is.
        return app.exit(e) == 0 ? 0 : kExitUsage;
    }

    std::optional<posix::StopSignalFd> signals;
    std::optional<posix::WakePipe> questionWake;
    std::optional<posix::WakePipe> watcherQuit;
    try {
        signals.emplace();
        questionWake.emplace();
        watcherQuit.emplace();
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "qf580-flash: %s\n", e.what());
        return kExitInternal;
    }

    const DiskAnswer answer = diskAnswer == "ok"       ? DiskAnswer::Ok
                              : diskAnswer == "cancel" ? DiskAnswer::Cancel
                                                       : DiskAnswer::Ask;
    CliHost host(answer, stdout, STDIN_FILENO, questionWake->ReadFd());
    LinkSettingsValues values;
    values.UseUSB = usb ? 1 : 0;
    values.IPAddress = address;
    values.PortNo = port;
    values.FastTrans = fast;
    host.Settings().Set(values);
    // Scripts and logs get the status lines as they always have, unless they ask for more.
    if (!noProgress) {
        if (::isatty(STDOUT_FILENO) != 0) {
            // Flushed by hand instead of at each line end, so that a status line, the erase
            // before it and the progress line after it reach the terminal in one write.
            std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
            host.ShowProgress(ProgressStyle::Live);
        } else if (progress) {
            host.ShowProgress(ProgressStyle::Lines);
        }
    }

    TransEnvironment env;
    if (timeoutMs) {
        env.timeouts = LinkTimeouts{*timeoutMs, *timeoutMs, *timeoutMs};
    }
    if (usb && !usbDriver.empty()) {
        env.usb = LoadUsbDriverFrom(usbDriver);
    }

    // A stop that came before the worker exists: nothing is sent, and it ends as the worker
    // ends on a stop. One that comes later is the watcher's.
    if (signals->Take() != 0) {
        host.SetStatus(std::string(OutcomeText(Outcome::Aborted)));
        return ExitCodeFor(Outcome::Aborted);
    }
    {
        TTrans trans(host, SplitChosenFile(file), std::move(env));
        StopWatcher watcher(*signals, *watcherQuit, trans, host, *questionWake);
        trans.WaitFor();
    }
    const std::optional<Outcome> outcome = host.EndedWith();
    return outcome ? ExitCodeFor(*outcome) : kExitInternal;
}
