// qf580-sim: plays the QF580 device on loopback for demos and tests. It serves the device model
// over TCP on 127.0.0.1 (or ::1) and, with --usb, over the Unix socket that the stand-in USB
// driver library connects to; it can misbehave on request, and it writes sample update sets.
#include <poll.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "posix/Poll.h"
#include "posix/StopSignals.h"
#include "posix/WakePipe.h"
#include "sim/DeviceModel.h"
#include "sim/Devices.h"
#include "sim/FaultText.h"
#include "sim/SampleSet.h"
#include "sim/TcpDeviceServer.h"
#include "sim/UnixDeviceServer.h"

namespace {

using namespace qf580::sim;
namespace posix = qf580::posix;

constexpr int kUsageError = 2;

std::string Summary(const char* transport, const DeviceModel& model) {
    // The host's own check counts the set without the handshake, so both are given.
    const std::size_t handshake = model.HandshakeByteCount();
    std::string line = std::string(transport) + ": bytes " + std::to_string(model.ByteCount()) +
                       " (" + std::to_string(handshake) + " of the handshake, " +
                       std::to_string(model.ByteCount() - handshake) + " of the set)" +
                       ", records " + std::to_string(model.RecordCount()) + ", passes " +
                       std::to_string(model.PassesCompleted()) + "/" +
                       std::to_string(model.PassCount()) + ", ";
    line += model.Complete() ? "complete" : "stopped: " + model.State();
    return line;
}

// What the servers' threads tell the main thread when a connection has ended. The pipe wakes
// the main loop; --once waits for one ended connection per device, and succeeds if every one
// of them completed.
struct Connections {
    std::mutex printMutex;
    posix::WakePipe wake;
    std::atomic<int> ended{0};
    std::atomic<bool> allComplete{true};
    // With several devices each summary line names its device: "[127.0.0.1:8024] ".
    std::vector<std::string> prefixes;

    DeviceServer::ConnectionEnd Reporter(const char* transport, std::size_t device = 0) {
        return [this, transport, device](const DeviceModel& model) {
            {
                std::lock_guard lock(printMutex);
                const std::string prefix = device < prefixes.size() ? prefixes[device] : "";
                std::cout << prefix << Summary(transport, model) << std::endl;
            }
            if (!model.Complete()) {
                allComplete.store(false);
            }
            ++ended;
            wake.Wake();
        };
    }
};

struct SampleRequest {
    std::string dir;
    int romType = 0;
    int disks = 1;
    int records = 200;
    std::string name = "FW0000.q58";
    unsigned seed = 1;
};

int MakeSample(const SampleRequest& request) {
    std::filesystem::create_directories(request.dir);
    SampleOptions options;
    options.romType = request.romType;
    options.disks = request.disks;
    options.recordsPerPass = request.records;
    options.seed = request.seed;
    const std::vector<std::string> paths = WriteSampleSet(request.dir, request.name, options);
    for (const std::string& path : paths) {
        std::cout << path << "\n";
    }
    std::cout << std::flush;
    return 0;
}

// One TCP device per plan, on `ports` (0: a free one), and with --usb the stand-in's device.
int Serve(const std::string& bind, const std::vector<std::uint16_t>& ports, bool usb,
          const std::string& usbSocket, const std::vector<FaultPlan>& plans, bool once) {
    // The stop signals are taken through a signalfd: blocked here, before any server thread
    // exists, so that every thread inherits the mask and none runs a handler.
    posix::StopSignalFd signals;
    Connections connections;

    // Declared after `connections`, so the servers (and their threads) end before it does.
    std::vector<std::unique_ptr<TcpDeviceServer>> tcp;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        tcp.push_back(std::make_unique<TcpDeviceServer>(plans[i], ports[i], bind,
                                                        connections.Reporter("tcp", i)));
    }
    std::optional<UnixDeviceServer> usbServer;
    if (usb) {
        usbServer.emplace(usbSocket, plans.front(), connections.Reporter("usb"));
    }
    {
        std::lock_guard lock(connections.printMutex);
        for (const auto& server : tcp) {
            const std::string host = server->Address() == "::1" ? "[::1]" : server->Address();
            const std::string name = host + ":" + std::to_string(server->Port());
            std::cout << "listening on " << name << "\n";
            if (tcp.size() > 1) {
                connections.prefixes.push_back("[" + name + "] ");
            }
        }
        if (usbServer) {
            std::cout << "usb stand-in socket " << usbServer->Path() << "\n";
        }
        std::cout << std::flush;
    }
    // --once: one connection for each TCP device; with the stand-in (one device, reached over
    // either transport) the first connection.
    const int expected = usbServer ? 1 : static_cast<int>(tcp.size());

    for (;;) {
        // A connection's end is looked at first, so --once reports it even when a stop
        // signal came at the same moment.
        switch (posix::WaitFor(signals.Get(), POLLIN, connections.wake.ReadFd(),
                               posix::Deadline::Never())) {
            case posix::Waited::Woken:
                connections.wake.Drain();
                if (once && connections.ended >= expected) {
                    return connections.allComplete ? 0 : 1;
                }
                break;
            case posix::Waited::Ready:
                // Stopped before (or without) the connections --once waits for: not a
                // success.
                return once && (connections.ended < expected || !connections.allComplete) ? 1 : 0;
            case posix::Waited::TimedOut:
            case posix::Waited::Failed:
                throw std::runtime_error("waiting for the stop signals failed");
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "qf580-sim: a QF580 device on loopback. Serves the update protocol over TCP on "
        "127.0.0.1 and, with --usb, to the stand-in USB driver; or writes a sample update set."};
    app.set_version_flag("--version", "qf580-sim " QF580_VERSION);

    std::string bind = "127.0.0.1";
    int port = 8023;
    bool usb = false;
    std::string usbSocket = "/tmp/qf580-sim.sock";
    bool once = false;
    std::vector<std::string> faultTexts;
    std::string wrongByteText = "0x4E";
    int delayMs = 0;
    bool closeWhenComplete = false;
    int faultConnections = 0;
    int devices = 1;
    SampleRequest sample;

    app.add_option("--bind", bind, "Address to listen on: 127.0.0.1, ::1 or localhost")
        ->capture_default_str();
    app.add_option("--port", port, "TCP port; 0 picks a free one")
        ->capture_default_str()
        ->check(CLI::Range(0, 65535));
    app.add_option("--devices", devices,
                   "Serve N independent TCP devices on N consecutive ports from --port "
                   "(with --port 0, N free ports); each line of output names its device")
        ->capture_default_str()
        ->check(CLI::Range(1, 256));
    app.add_flag("--usb", usb, "Also serve the stand-in USB driver");
    auto* usbSocketOption =
        app.add_option("--usb-socket", usbSocket,
                       "Unix socket for the stand-in USB driver (implies --usb)")
            ->capture_default_str();
    app.add_flag("--once", once,
                 "Serve one connection (one per device), then exit: 0 if every transfer "
                 "completed, 1 otherwise");
    app.add_option("--fault", faultTexts,
                   "Misbehave: [DEVICE=]KIND:POINT[:PASS:INDEX], KIND wrong|silence|close, POINT "
                   "sync|ident|header-size|header|ack (ack takes PASS from 1 and INDEX from 0; "
                   "default 1:0); DEVICE (from 1) aims it at one of --devices, else every device "
                   "misbehaves. Repeatable");
    app.add_option("--fault-connections", faultConnections,
                   "The faults fire on each device's first N connections only, later ones "
                   "behave (0: every connection)")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    app.add_option("--wrong-byte", wrongByteText, "The byte that wrong faults answer")
        ->capture_default_str();
    app.add_option("--delay-ms", delayMs, "Wait this long before every reply")
        ->capture_default_str()
        ->check(CLI::Range(0, 600000));
    app.add_flag("--close-when-complete", closeWhenComplete,
                 "Hang up once a transfer is complete, as a device that restarts into its new "
                 "firmware");

    auto* makeSample = app.add_option(
        "--make-sample", sample.dir,
        "Write a sample update set into DIR, print its files' paths (disk 1 first) and exit");
    const std::map<std::string, int> romTypes{{"MAIN", 0}, {"SUB", 1}, {"IRIG", 2}};
    app.add_option("--rom", sample.romType, "Sample ROM type: MAIN, SUB or IRIG")
        ->transform(CLI::CheckedTransformer(romTypes, CLI::ignore_case))
        ->needs(makeSample);
    app.add_option("--disks", sample.disks, "Sample disks: 1 or 2")
        ->check(CLI::IsMember({1, 2}))
        ->capture_default_str()
        ->needs(makeSample);
    app.add_option("--records", sample.records, "Sample records per pass after START")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str()
        ->needs(makeSample);
    app.add_option("--name", sample.name,
                   "Sample file name; the disk digit replaces the "
                   "character before the last '.'")
        ->capture_default_str()
        ->needs(makeSample);
    app.add_option("--seed", sample.seed, "Seed of the sample's record contents")
        ->capture_default_str()
        ->needs(makeSample);

    std::vector<FaultPlan> plans;
    std::vector<std::uint16_t> ports;
    try {
        app.parse(argc, argv);
        usb = usb || usbSocketOption->count() > 0;
        if (usb && devices > 1) {
            throw CLI::ValidationError(
                "--devices", "serves TCP devices only: the stand-in USB driver reaches one device");
        }
        try {
            ports = DevicePorts(port, devices);
            plans.resize(static_cast<std::size_t>(devices));
            const std::uint8_t wrongByte = ParseByte(wrongByteText);
            for (const std::string& text : faultTexts) {
                const AimedFault aimed = SplitAimedFault(text, devices);
                const Fault fault = ParseFault(aimed.fault, wrongByte);
                for (int d = 1; d <= devices; ++d) {
                    if (aimed.device == 0 || aimed.device == d) {
                        plans[static_cast<std::size_t>(d - 1)].faults.push_back(fault);
                    }
                }
            }
        } catch (const std::invalid_argument& e) {
            throw CLI::ValidationError(e.what());
        }
        for (FaultPlan& plan : plans) {
            plan.replyDelayMs = delayMs;
            // The program reports counts only; keeping every byte would cost it memory per set.
            plan.keepReceived = false;
            plan.closeWhenComplete = closeWhenComplete;
            plan.faultConnections = faultConnections;
        }
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : kUsageError;
    }
    if (LoopbackBindAddress(bind).empty()) {
        std::cerr << "qf580-sim: refusing to listen on " << bind
                  << ": the simulator serves 127.0.0.1, ::1 or localhost only\n";
        return kUsageError;
    }

    try {
        if (*makeSample) {
            return MakeSample(sample);
        }
        ::signal(SIGPIPE, SIG_IGN);
        return Serve(bind, ports, usb, usbSocket, plans, once);
    } catch (const std::exception& e) {
        std::cerr << "qf580-sim: " << e.what() << "\n";
        return 1;
    }
}
