// qf580-flash: one transfer of an update set from the command line, for scripts and
// production lines. The same worker as the main window's, with the terminal as its host.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "CliHost.h"
#include "ExitCodes.h"
#include "RizEDUd.h"
#include "Ttrans.h"

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

// Turns Ctrl+C (and SIGTERM) into the worker's stop request. The signals are blocked in every
// thread and taken from a signalfd here, so no work at all happens in a signal handler.
class StopWatcher {
  public:
    StopWatcher(int signalFd, TTrans& trans, CliHost& host, int wakeWriteFd)
        : signalFd_(signalFd),
          quit_(Pipe::Make()),
          thread_([=, this, &trans, &host] { Run(trans, host, wakeWriteFd); }) {}
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
    void Run(TTrans& trans, CliHost& host, int wakeWriteFd) {
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
                trans.Terminate();
                host.Interrupt();
                const char byte = 0;
                if (::write(wakeWriteFd, &byte, 1) < 0) {
                    // The question, if one is open, is then answered on its next wake-up.
                }
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

    CLI::App app{"Rewrites the firmware of a QF580 device with one update set."};
    app.footer(
        "\nExamples:\n"
        "  qf580-flash --address 192.0.2.10 --port 8023 /media/fw/FW0001.q58\n"
        "  qf580-flash --usb --no-fast --disk-answer cancel FW0001.q58\n\n" +
        ExitCodeTable());

    std::string file;
    std::string address;
    std::uint32_t port = 8023;
    bool usb = false;
    bool fast = true;
    std::string diskAnswer = "ask";
    std::string usbDriver;
    std::optional<int> timeoutMs;

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

    const Pipe wake = Pipe::Make();
    const Fd signalFd(::signalfd(-1, &stopSignals, SFD_CLOEXEC));
    if (wake.read.get() < 0 || signalFd.get() < 0) {
        std::perror("qf580-flash");
        return kExitInternal;
    }

    const DiskAnswer answer = diskAnswer == "ok"       ? DiskAnswer::Ok
                              : diskAnswer == "cancel" ? DiskAnswer::Cancel
                                                       : DiskAnswer::Ask;
    CliHost host(file, answer, stdout, STDIN_FILENO, wake.read.get());
    LinkSettingsValues values;
    values.UseUSB = usb ? 1 : 0;
    values.IPAddress = address;
    values.PortNo = port;
    values.FastTrans = fast;
    host.Settings().Set(values);

    TransEnvironment env;
    if (timeoutMs) {
        env.timeouts = LinkTimeouts{*timeoutMs, *timeoutMs, *timeoutMs};
    }
    if (usb && !usbDriver.empty()) {
        env.usb = LoadUsbDriverFrom(usbDriver);
    }

    {
        TTrans trans(host, std::move(env));
        StopWatcher watcher(signalFd.get(), trans, host, wake.write.get());
        trans.WaitFor();
    }
    const std::optional<Outcome> outcome = host.EndedWith();
    return outcome ? ExitCodeFor(*outcome) : kExitInternal;
}
