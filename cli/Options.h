// The options of one qf580-flash run, as parsed and checked from its command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "cli/DeviceAddress.h"
#include "cli/Session.h"
#include "cli/TerminalOperator.h"

namespace qf580::cli {

struct Options {
    std::string file;  // the chosen file as given
    std::vector<DeviceAddress> addresses;
    std::uint16_t port = 8023;
    bool usb = false;
    bool fast = true;
    DiskAnswer diskAnswer = DiskAnswer::Ask;
    std::string usbDriver;
    std::optional<int> timeoutMs;
    bool check = false;
    bool preflight = true;
    bool json = false;
    bool progress = false;
    bool noProgress = false;
    std::optional<std::string> recordPath;
    bool journal = false;  // each line of the record to the systemd journal too
    std::optional<std::string> station;
    std::optional<std::string> operatorName;
    std::vector<std::string> serials;         // one per device, or none
    std::optional<std::string> expectSha256;  // lower-case
    // --loop: a station session, and how it goes.
    bool loop = false;
    SessionOptions session;
    std::optional<std::string> serialPattern;

    // The devices of the run: the USB one, if any, and one per --address.
    std::size_t DeviceCount() const { return addresses.size() + (usb ? 1 : 0); }
};

// The options of `argv`, checked; or, when the run ends here (--help, --version, a usage
// error, already said on the terminal), the exit code to end with.
std::variant<Options, int> ParseOptions(int argc, char** argv);

}  // namespace qf580::cli
