#include "sim/SimOptions.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <map>
#include <stdexcept>

#include "sim/Devices.h"
#include "sim/FaultText.h"
#include "sim/TcpDeviceServer.h"

namespace qf580::sim {

namespace {

constexpr int kUsageError = 2;

// What CLI11 fills before the options are checked together.
struct Parsed {
    int port = 8023;
    int devices = 1;
    std::vector<std::string> faultTexts;
    std::string wrongByteText = "0x4E";
    int delayMs = 0;
    bool closeWhenComplete = false;
    int faultConnections = 0;
};

// An option whose default the help shows.
template <typename T>
CLI::Option* WithDefault(CLI::App& app, const std::string& name, T& value,
                         const std::string& help) {
    return app.add_option(name, value, help)->capture_default_str();
}

// Returns --usb-socket, which implies --usb.
CLI::Option* AddServeOptions(CLI::App& app, SimOptions& options, Parsed& parsed) {
    WithDefault(app, "--bind", options.bind, "Address to listen on: 127.0.0.1, ::1 or localhost");
    WithDefault(app, "--port", parsed.port, "TCP port; 0 picks a free one")
        ->check(CLI::Range(0, 65535));
    WithDefault(app, "--devices", parsed.devices,
                "Serve N independent TCP devices on N consecutive ports from --port "
                "(with --port 0, N free ports); each line of output names its device")
        ->check(CLI::Range(1, 256));
    app.add_flag("--usb", options.usb, "Also serve the stand-in USB driver");
    CLI::Option* usbSocket = WithDefault(app, "--usb-socket", options.usbSocket,
                                         "Unix socket for the stand-in USB driver (implies --usb)");
    app.add_flag("--once", options.once,
                 "Serve one connection (one per device), then exit: 0 if every transfer "
                 "completed, 1 otherwise");
    app.add_option("--fault", parsed.faultTexts,
                   "Misbehave: [DEVICE=]KIND:POINT[:PASS:INDEX], KIND wrong|silence|close, POINT "
                   "sync|ident|header-size|header|ack (ack takes PASS from 1 and INDEX from 0; "
                   "default 1:0); DEVICE (from 1) aims it at one of --devices, else every device "
                   "misbehaves. Repeatable");
    WithDefault(app, "--fault-connections", parsed.faultConnections,
                "The faults fire on each device's first N connections only, later ones "
                "behave (0: every connection)")
        ->check(CLI::NonNegativeNumber);
    WithDefault(app, "--wrong-byte", parsed.wrongByteText, "The byte that wrong faults answer");
    WithDefault(app, "--delay-ms", parsed.delayMs, "Wait this long before every reply")
        ->check(CLI::Range(0, 600000));
    app.add_flag("--close-when-complete", parsed.closeWhenComplete,
                 "Hang up once a transfer is complete, as a device that restarts into its new "
                 "firmware");
    return usbSocket;
}

// Returns --make-sample, which the others need.
CLI::Option* AddSampleOptions(CLI::App& app, SampleRequest& sample) {
    CLI::Option* makeSample = app.add_option(
        "--make-sample", sample.dir,
        "Write a sample update set into DIR, print its files' paths (disk 1 first) and exit");
    const std::map<std::string, int> romTypes{{"MAIN", 0}, {"SUB", 1}, {"IRIG", 2}};
    app.add_option("--rom", sample.romType, "Sample ROM type: MAIN, SUB or IRIG")
        ->transform(CLI::CheckedTransformer(romTypes, CLI::ignore_case))
        ->needs(makeSample);
    WithDefault(app, "--disks", sample.disks, "Sample disks: 1 or 2")
        ->check(CLI::IsMember({1, 2}))
        ->needs(makeSample);
    WithDefault(app, "--records", sample.records, "Sample records per pass after START")
        ->check(CLI::NonNegativeNumber)
        ->needs(makeSample);
    WithDefault(app, "--name", sample.name,
                "Sample file name; the disk digit replaces the "
                "character before the last '.'")
        ->needs(makeSample);
    WithDefault(app, "--seed", sample.seed, "Seed of the sample's record contents")
        ->needs(makeSample);
    return makeSample;
}

// Every device's plan: the faults aimed at it and the behaviour all devices share. Throws
// std::invalid_argument, with a message for the operator, for a fault or byte it cannot read.
std::vector<FaultPlan> Plans(const Parsed& parsed) {
    std::vector<FaultPlan> plans(static_cast<std::size_t>(parsed.devices));
    const std::uint8_t wrongByte = ParseByte(parsed.wrongByteText);
    for (const std::string& text : parsed.faultTexts) {
        const AimedFault aimed = SplitAimedFault(text, parsed.devices);
        const Fault fault = ParseFault(aimed.fault, wrongByte);
        for (int d = 1; d <= parsed.devices; ++d) {
            if (aimed.device == 0 || aimed.device == d) {
                plans[static_cast<std::size_t>(d - 1)].faults.push_back(fault);
            }
        }
    }
    for (FaultPlan& plan : plans) {
        plan.replyDelayMs = parsed.delayMs;
        // The program reports counts only; keeping every byte would cost it memory per set.
        plan.keepReceived = false;
        plan.closeWhenComplete = parsed.closeWhenComplete;
        plan.faultConnections = parsed.faultConnections;
    }
    return plans;
}

}  // namespace

std::variant<SimOptions, int> ParseSimOptions(int argc, char** argv) {
    CLI::App app{
        "qf580-sim: a QF580 device on loopback. Serves the update protocol over TCP on "
        "127.0.0.1 and, with --usb, to the stand-in USB driver; or writes a sample update set."};
    app.set_version_flag("--version", "qf580-sim " QF580_VERSION);
    SimOptions options;
    Parsed parsed;
    SampleRequest sample;
    const CLI::Option* usbSocket = AddServeOptions(app, options, parsed);
    const CLI::Option* makeSample = AddSampleOptions(app, sample);
    try {
        app.parse(argc, argv);
        options.usb = options.usb || usbSocket->count() > 0;
        if (options.usb && parsed.devices > 1) {
            throw CLI::ValidationError(
                "--devices", "serves TCP devices only: the stand-in USB driver reaches one device");
        }
        try {
            options.ports = DevicePorts(parsed.port, parsed.devices);
            options.plans = Plans(parsed);
        } catch (const std::invalid_argument& e) {
            throw CLI::ValidationError(e.what());
        }
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : kUsageError;
    }
    if (LoopbackBindAddress(options.bind).empty()) {
        std::cerr << "qf580-sim: refusing to listen on " << options.bind
                  << ": the simulator serves 127.0.0.1, ::1 or localhost only\n";
        return kUsageError;
    }
    if (*makeSample) {
        options.sample = sample;
    }
    return options;
}

}  // namespace qf580::sim
