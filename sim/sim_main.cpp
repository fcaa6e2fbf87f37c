// qf580-sim: plays the QF580 device on loopback for demos and tests. It serves the device model
// over TCP on 127.0.0.1 (or ::1) and, with --usb, over the Unix socket that the stand-in USB
// driver library connects to; it can misbehave on request, and it writes sample update sets.
#include <poll.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "posix/Poll.h"
#include "posix/StopSignals.h"
#include "posix/WakePipe.h"
#include "sim/DeviceModel.h"
#include "sim/SampleSet.h"
#include "sim/SimOptions.h"
#include "sim/TcpDeviceServer.h"
#include "sim/UnixDeviceServer.h"

namespace {

using namespace qf580::sim;
namespace posix = qf580::posix;

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
int Serve(const SimOptions& options) {
    // The stop signals are taken through a signalfd: blocked here, before any server thread
    // exists, so that every thread inherits the mask and none runs a handler.
    posix::StopSignalFd signals;
    Connections connections;

    // Declared after `connections`, so the servers (and their threads) end before it does.
    std::vector<std::unique_ptr<TcpDeviceServer>> tcp;
    for (std::size_t i = 0; i < options.ports.size(); ++i) {
        tcp.push_back(std::make_unique<TcpDeviceServer>(
            options.plans[i], options.ports[i], options.bind, connections.Reporter("tcp", i)));
    }
    std::optional<UnixDeviceServer> usbServer;
    if (options.usb) {
        usbServer.emplace(options.usbSocket, options.plans.front(), connections.Reporter("usb"));
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
                if (options.once && connections.ended >= expected) {
                    return connections.allComplete ? 0 : 1;
                }
                break;
            case posix::Waited::Ready:
                // Stopped before (or without) the connections --once waits for: not a
                // success.
                return options.once && (connections.ended < expected || !connections.allComplete)
                           ? 1
                           : 0;
            case posix::Waited::TimedOut:
            case posix::Waited::Failed:
                throw std::runtime_error("waiting for the stop signals failed");
        }
    }
}

// Writes the sample set, or serves until a stop (or --once's connections).
int Run(const SimOptions& options) {
    try {
        if (options.sample) {
            return MakeSample(*options.sample);
        }
        ::signal(SIGPIPE, SIG_IGN);
        return Serve(options);
    } catch (const std::exception& e) {
        std::cerr << "qf580-sim: " << e.what() << "\n";
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::variant<SimOptions, int> parsed = ParseSimOptions(argc, argv);
    if (const int* code = std::get_if<int>(&parsed)) {
        return *code;
    }
    return Run(std::get<SimOptions>(parsed));
}
