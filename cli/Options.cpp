#include "cli/Options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "cli/ExitCodes.h"
#include "cli/HelpFormatter.h"
#include "cli/Run.h"
#include "cli/Say.h"

namespace qf580::cli {

namespace {

// The longest station, operator and serial: a record line stays well within one page, and so
// within one write.
constexpr std::size_t kMaxStation = 256;
constexpr std::size_t kMaxOperator = 256;
constexpr std::size_t kMaxSerial = 128;

// A value that is given must say something, and at most `limit` bytes of it.
CLI::Validator Text(std::size_t limit) {
    return CLI::Validator(
        [limit](std::string& text) -> std::string {
            if (text.empty()) {
                return "an empty value says nothing";
            }
            if (text.size() > limit) {
                return "at most " + std::to_string(limit) + " bytes, not " +
                       std::to_string(text.size());
            }
            return {};
        },
        "TEXT");
}

// What CLI11 fills before the options are checked together.
struct Parsed {
    std::vector<std::string> addresses;
    std::uint32_t port = 8023;
    std::string diskAnswer = "ask";
    double retryDelay = 1.0;
};

void Describe(CLI::App& app) {
    app.description(
        "Rewrites the firmware of QF580 devices with one update set: one device, or several at "
        "once. The whole set is checked before any device is contacted.");
    app.footer(
        "\nExamples:\n"
        "  qf580-flash --address 192.0.2.10 --port 8023 /media/fw/FW0001.q58\n"
        "  qf580-flash --address 192.0.2.10 --address 192.0.2.11:8024 --json FW0001.q58\n"
        "  qf580-flash --usb --no-fast --disk-answer cancel FW0001.q58\n"
        "  qf580-flash --address 192.0.2.10 --progress FW0001.q58 > flash.log\n"
        "  qf580-flash --check FW0001.q58\n"
        "  qf580-flash --loop --address 192.0.2.10 --address 192.0.2.11 --retries 1 "
        "FW0001.q58\n\n"
        "With several devices each status line starts with its device, \"[ADDR:PORT] \", and "
        "a table\nof every device's outcome follows; the exit code is 0 when every device "
        "completed,\notherwise that of the first device, in the order given, that did not.\n\n" +
        ExitCodeTable());
    app.formatter(std::make_shared<HelpFormatter>());
    // The version is the project's, handed in by the build.
    app.set_version_flag("--version", "qf580-flash " QF580_VERSION);
}

void AddDeviceOptions(CLI::App& app, Options& options, Parsed& parsed) {
    // Opened as the window opens its chosen file, so that the message gives the real reason:
    // CLI11's own check calls every failure "File does not exist".
    app.add_option("file", options.file,
                   "The update file (disk 1 of the set, as chosen in the window)")
        ->required()
        ->check(CLI::Validator([](std::string& path) { return CheckUpdateFile(path); }, "FILE"));
    app.add_option("--address", parsed.addresses,
                   "Numeric IPv4 address of a device (TCP/IP), ADDR or "
                   "ADDR:PORT; give it once for each "
                   "device, all are flashed at once")
        ->option_text("ADDR[:PORT] ...");
    app.add_option("--port", parsed.port, "TCP port of a device given without one (default 8023)")
        ->option_text("PORT")
        ->default_val(8023)
        ->check(CLI::Range(1, 65535));
    app.add_flag("--usb", options.usb,
                 "Reach the device through the USB driver library (one device)");
    app.add_flag("--fast,!--no-fast", options.fast,
                 "Fast transfer: records between two acknowledgements in one write (default on)");
    app.add_option("--disk-answer", parsed.diskAnswer,
                   "How \"Insert Disk N\" is answered: ask (from the terminal; end of input "
                   "cancels), ok (look again, at most 3 times, a second apart) or cancel "
                   "(default ask)")
        ->option_text("ask|ok|cancel")
        ->check(CLI::IsMember({"ask", "ok", "cancel"}))
        ->default_val("ask");
}

void AddCheckOptions(CLI::App& app, Options& options) {
    auto* checkOpt = app.add_flag(
        "--check", options.check,
        "Only check the set: read every disk, record, checksum and END, print the summary or "
        "the first fault, and exit with the code of the outcome the set would cause; no "
        "device is contacted");
    auto* noPreflightOpt =
        app.add_flag("!--no-preflight", options.preflight,
                     "Skip the check before the transfer: records are checked as they are sent, "
                     "as the window does")
            ->excludes(checkOpt);
    app.add_option("--expect-sha256", options.expectSha256,
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
}

void AddRecordOptions(CLI::App& app, Options& options) {
    auto* recordOpt = app.add_option(
        "--record", options.recordPath,
        "Append a line to FILE when each device's transfer begins and when it ends (JSON "
        "Lines, on the disk before the transfer goes on); shared safely by several runs");
    recordOpt->option_text("FILE")->excludes(app.get_option("--check"))->check(Text(PATH_MAX));
    app.add_flag("--journal", options.journal,
                 "Send each line of the record to the systemd journal as well, one structured "
                 "entry each (with or without --record)")
        ->excludes(app.get_option("--check"));
    // These fill the record's lines wherever they go: they need --record or --journal, which
    // CheckTogether sees.
    app.add_option("--station", options.station,
                   "The station's name in the record (default: the host name)")
        ->option_text("NAME")
        ->check(Text(kMaxStation));
    app.add_option("--operator", options.operatorName,
                   "The operator's name in the record (default: none; --loop asks for it once "
                   "on a terminal)")
        ->option_text("NAME")
        ->check(Text(kMaxOperator));
    app.add_option("--serial", options.serials,
                   "A device's serial number in the record: once per device, in the order of "
                   "--address (once with --usb)")
        ->option_text("SERIAL")
        ->check(Text(kMaxSerial));
}

void AddStationOptions(CLI::App& app, Options& options, Parsed& parsed) {
    auto* loopOpt = app.add_flag(
        "--loop", options.loop,
        "A station session: the set is checked once, then cycle after cycle one serial per "
        "device (a slot) is read from standard input, a line each (an empty line leaves the "
        "slot out), and the cycle's units are flashed at once; ends at end of input or Ctrl+C "
        "with a summary. Always recorded: --record, else "
        "$XDG_STATE_HOME/qf580-flash/attempts.jsonl");
    loopOpt->excludes(app.get_option("--check"))
        ->excludes(app.get_option("--no-preflight"))
        ->excludes(app.get_option("--serial"));
    SessionOptions& session = options.session;
    app.add_option("--retries", session.retries,
                   "--loop: try a unit again this many times after a link fault (exit codes 12, "
                   "13, 14, 15, 17, 20; default 0)")
        ->option_text("N")
        ->check(CLI::Range(0, 100))
        ->needs(loopOpt);
    app.add_option("--retry-delay", parsed.retryDelay,
                   "--loop: seconds between a unit's tries (default 1)")
        ->option_text("SECONDS")
        ->check(CLI::Range(0.0, 600.0))
        ->needs(loopOpt);
    app.add_option("--stop-after-failures", session.stopAfterFailures,
                   "--loop: stop the line after K failed units in a row, exit code 22 (default "
                   "3; 0 never)")
        ->option_text("K")
        ->check(CLI::Range(0, 1000000))
        ->needs(loopOpt);
    app.add_option("--units", session.units, "--loop: end the session once N units have passed")
        ->option_text("N")
        ->check(CLI::Range(1, 100000000))
        ->needs(loopOpt);
    app.add_option("--serial-pattern", options.serialPattern,
                   "--loop: a POSIX extended regular expression every serial must match whole "
                   "(default: 1 to 64 of A-Z a-z 0-9 - _ . /)")
        ->option_text("REGEX")
        ->needs(loopOpt);
    app.add_flag("--allow-reflash", session.allowReflash,
                 "--loop: flash a serial the record already has a completed transfer for (a "
                 "unit sent back for an update)")
        ->needs(loopOpt);
}

void AddOutputOptions(CLI::App& app, Options& options) {
    app.add_flag("--json", options.json,
                 "JSON Lines on standard output, one event per line (check, begin, status, "
                 "progress, question, end; with --check one check object); the human text goes "
                 "to standard error");
    auto* progressOpt = app.add_flag(
        "--progress", options.progress,
        "Show progress also where the status lines do not go to a terminal: a line of its own "
        "at most once a second (on a terminal it is one line redrawn in place, and on by "
        "default)");
    app.add_flag("--no-progress", options.noProgress, "No progress line, not even on a terminal")
        ->excludes(progressOpt);
}

void AddTestingOptions(CLI::App& app, Options& options) {
    auto* driverOpt = app.add_option("--usb-driver", options.usbDriver,
                                     "For tests and demos: the USB driver library to load "
                                     "instead of librizedud.so beside the program or the system's")
                          ->group("Testing")
                          ->option_text("PATH")
                          ->check(CLI::ExistingFile);
    app.add_option("--timeout-ms", options.timeoutMs,
                   "For tests: every link time limit (connect, readiness wait, socket read and "
                   "write, USB call) in milliseconds")
        ->group("Testing")
        ->option_text("MS")
        ->check(CLI::Range(1, 600000));
    auto* usbOpt = app.get_option("--usb");
    app.get_option("--address")->excludes(usbOpt);
    app.get_option("--port")->excludes(usbOpt);
    driverOpt->needs(usbOpt);
}

// The checks of several options together; throws CLI11's errors as its parser does.
void CheckTogether(Options& options, const Parsed& parsed) {
    if (!options.check && !options.usb && parsed.addresses.empty()) {
        throw CLI::RequiredError("--address or --usb");
    }
    if (!options.recordPath && !options.journal) {
        const std::pair<const char*, bool> fields[] = {
            {"--station", options.station.has_value()},
            {"--operator", options.operatorName.has_value()},
            {"--serial", !options.serials.empty()}};
        for (const auto& [name, given] : fields) {
            if (given) {
                throw CLI::RequiresError(name, "--record or --journal");
            }
        }
    }
    options.port = static_cast<std::uint16_t>(parsed.port);
    options.addresses = ParseDeviceAddresses(parsed.addresses, options.port);
    const std::size_t deviceCount = options.DeviceCount();
    if (!options.serials.empty() && options.serials.size() != deviceCount) {
        throw CLI::ValidationError("--serial", "given " + std::to_string(options.serials.size()) +
                                                   " times for " + std::to_string(deviceCount) +
                                                   (deviceCount == 1 ? " device" : " devices") +
                                                   ": give one for each device");
    }
    // A session is always recorded, in a file of its own choosing without --record.
    for (const auto& [given, name] : {std::pair{options.station.has_value(), "--station"},
                                      std::pair{options.operatorName.has_value(), "--operator"}}) {
        if (given && !options.loop && !options.recordPath) {
            throw CLI::RequiresError(name, "--record or --loop");
        }
    }
    if (options.loop) {
        const SerialRules rules(options.serialPattern);  // a pattern that does not compile
        options.session.retryDelayMs = static_cast<int>(parsed.retryDelay * 1000.0 + 0.5);
    }
    options.diskAnswer = parsed.diskAnswer == "ok"       ? DiskAnswer::Ok
                         : parsed.diskAnswer == "cancel" ? DiskAnswer::Cancel
                                                         : DiskAnswer::Ask;
    if (options.expectSha256) {
        std::string& hex = *options.expectSha256;
        std::transform(hex.begin(), hex.end(), hex.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    }
}

}  // namespace

std::variant<Options, int> ParseOptions(int argc, char** argv) {
    CLI::App app;
    Describe(app);
    // The parser's messages quote what was typed: shown as every other message is.
    app.failure_message([](const CLI::App*, const CLI::Error& e) { return UsageError(e.what()); });
    Options options;
    Parsed parsed;
    AddDeviceOptions(app, options, parsed);
    AddCheckOptions(app, options);
    AddRecordOptions(app, options);
    AddStationOptions(app, options, parsed);
    AddOutputOptions(app, options);
    AddTestingOptions(app, options);
    try {
        app.parse(argc, argv);
        CheckTogether(options, parsed);
    } catch (const CLI::ParseError& e) {
        // Every usage error gives 2, whichever of CLI11's kinds it is.
        return app.exit(e) == 0 ? 0 : kExitUsage;
    } catch (const std::invalid_argument& e) {
        std::fputs(UsageError(e.what()).c_str(), stderr);
        return kExitUsage;
    }
    return options;
}

}  // namespace qf580::cli
