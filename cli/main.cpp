// qf580-flash: transfers of an update set from the command line, for scripts and production
// lines: one device or several at once, each with the same worker as the main window's, the
// set checked whole before any device is contacted, and JSON Lines for programs.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "DeviceAddress.h"
#include "ExitCodes.h"
#include "RizEDUd.h"
#include "Run.h"
#include "TerminalOperator.h"

namespace {

using namespace qf580;
using namespace qf580::cli;

// A file descriptor that closes itself.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }

  private:
    int fd_ = -1;
};

struct Pipe {
    Fd read;
    Fd write;
    static Pipe Make() {
        int fds[2] = {-1, -1};
        if (::pipe(fds) != 0) {
            return {};
        }
        return {Fd(fds[0]), Fd(fds[1])};
    }
};

// Turns Ctrl+C (and SIGTERM) into the run's stop request. The signals are blocked in every
// thread and taken from a signalfd here, so no work at all happens in a signal handler.
class StopWatcher {
  public:
    StopWatcher(int signalFd, StopRequest& stop)
        : signalFd_(signalFd), quit_(Pipe::Make()), thread_([this, &stop] { Run(stop); }) {}
    StopWatcher(const StopWatcher&) = delete;
    StopWatcher& operator=(const StopWatcher&) = delete;
    ~StopWatcher() {
        const char byte = 0;
        if (::write(quit_.write.get(), &byte, 1) < 0) {
            // Nothing to wake: the watcher could not have started polling without the pipe.
        }
        thread_.join();
    }

  private:
    void Run(StopRequest& stop) {
        int signals = 0;
        for (;;) {
            pollfd fds[2] = {{signalFd_, POLLIN, 0}, {quit_.read.get(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (fds[1].revents != 0) {
                return;
            }
            signalfd_siginfo info{};
            if (::read(signalFd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) {
                continue;
            }
            if (++signals == 1) {
                stop.Request();
                std::fputs(
                    "qf580-flash: stop requested; the transfer ends at its next stop point "
                    "(Ctrl+C again leaves at once)\n",
                    stderr);
            } else {
                std::fputs("qf580-flash: left without waiting for the transfer to end\n", stderr);
                std::_Exit(kExitForced);
            }
        }
    }

    const int signalFd_;
    Pipe quit_;
    std::thread thread_;
};

std::string DirectoryOf(const std::filesystem::path& path) {
    const std::filesystem::path parent = path.parent_path();
    // The worker joins the directory and the disk's name as they stand, so it ends with "/".
    return parent.empty() ? std::string("./") : parent.string() + "/";
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread exists, so that every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A device or a reader of our output that goes away is a failed write, not a reason to die.
    ::signal(SIGPIPE, SIG_IGN);

    CLI::App app{
        "Rewrites the firmware of QF580 devices with one update set: one device, or several at "
        "once. The whole set is checked before any device is contacted."};
    app.footer(
        "\nExamples:\n"
        "  qf580-flash --address 192.0.2.10 --port 8023 /media/fw/FW0001.q58\n"
        "  qf580-flash --address 192.0.2.10 --address 192.0.2.11:8024 --json FW0001.q58\n"
        "  qf580-flash --usb --no-fast --disk-answer cancel FW0001.q58\n"
        "  qf580-flash --check FW0001.q58\n\n"
        "With several devices each status line starts with its device, \"[ADDR:PORT] \", and "
        "a table\nof every device's outcome follows; the exit code is 0 when every device "
        "completed,\notherwise that of the first device, in the order given, that did not.\n\n" +
        ExitCodeTable());

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

    app.add_option("file", file, "The update file (disk 1 of the set, as chosen in the window)")
        ->required()
        ->check(CLI::ExistingFile);
    auto* addressOpt = app.add_option(
        "--address", addresses,
        "Numeric IPv4 address of a device (TCP/IP), ADDR or ADDR:PORT; give it once for each "
        "device, all are flashed at once");
    auto* portOpt = app.add_option("--port", port, "TCP port of a device given without one")
                        ->default_val(8023)
                        ->check(CLI::Range(1, 65535));
    auto* usbOpt =
        app.add_flag("--usb", usb, "Reach the device through the USB driver library (one device)");
    app.add_flag("--fast,!--no-fast", fast,
                 "Fast transfer: records between two acknowledgements in one write (default on)");
    app.add_option("--disk-answer", diskAnswer,
                   "How \"Insert Disk N\" is answered: ask (from the terminal; end of input "
                   "cancels), ok (try again, at most 3 times a second apart) or cancel")
        ->check(CLI::IsMember({"ask", "ok", "cancel"}))
        ->default_val("ask");
    auto* checkOpt = app.add_flag(
        "--check", check,
        "Only check the set: read every disk, record, checksum and END, print the summary or "
        "the first fault, and exit with the code of the outcome the set would cause; no "
        "device is contacted");
    app.add_flag("!--no-preflight", preflight,
                 "Skip the check before the transfer: records are checked as they are sent, as "
                 "the window does")
        ->excludes(checkOpt);
    app.add_flag("--json", json,
                 "JSON Lines on standard output, one event per line (begin, status, progress, "
                 "question, end; with --check one check object); the human text goes to "
                 "standard error");
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

    std::vector<DeviceAddress> devices;
    try {
        app.parse(argc, argv);
        if (!check && !usb && addresses.empty()) {
            throw CLI::RequiredError("--address or --usb");
        }
        devices = ParseDeviceAddresses(addresses, static_cast<std::uint16_t>(port));
    } catch (const CLI::ParseError& e) {
        // Every usage error gives 2, whichever of CLI11's kinds it is.
        return app.exit(e) == 0 ? 0 : kExitUsage;
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "%s\nRun with --help for more information.\n", e.what());
        return kExitUsage;
    }

    const Pipe wake = Pipe::Make();
    const Fd signalFd(::signalfd(-1, &stopSignals, SFD_CLOEXEC));
    if (wake.read.get() < 0 || signalFd.get() < 0) {
        std::perror("qf580-flash");
        return kExitInternal;
    }

    const DiskAnswer answer = diskAnswer == "ok"       ? DiskAnswer::Ok
                              : diskAnswer == "cancel" ? DiskAnswer::Cancel
                                                       : DiskAnswer::Ask;
    // With --json, standard output carries the events and nothing else.
    Reporter reporter(json ? stderr : stdout, json ? stdout : nullptr);
    TerminalOperator terminal(answer, reporter.Human(), STDIN_FILENO, wake.read.get());
    StopRequest stop([&terminal, &wake] {
        terminal.Interrupt();
        const char byte = 0;
        if (::write(wake.write.get(), &byte, 1) < 0) {
            // The question, if one is open, is then answered on its next wake-up.
        }
    });

    RunOptions run;
    run.path = file;
    run.fileName = std::filesystem::path(file).filename().string();
    run.fileDir = DirectoryOf(file);
    run.preflight = preflight;
    LinkSettingsValues link;
    link.FastTrans = fast;
    if (usb) {
        link.UseUSB = 1;
        link.IPAddress.clear();
        link.PortNo = port;
        run.devices.push_back({"usb", link});
    }
    for (const DeviceAddress& device : devices) {
        link.UseUSB = 0;
        link.IPAddress = device.address;
        link.PortNo = device.port;
        run.devices.push_back({device.Label(), link});
    }
    if (timeoutMs) {
        run.environment.timeouts = LinkTimeouts{*timeoutMs, *timeoutMs, *timeoutMs};
    }
    if (usb && !usbDriver.empty()) {
        run.environment.usb = LoadUsbDriverFrom(usbDriver);
    }

    const StopWatcher watcher(signalFd.get(), stop);
    return check ? RunCheck(run, reporter, terminal, stop)
                 : RunTransfers(run, reporter, terminal, stop);
}
