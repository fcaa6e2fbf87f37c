// Which devices one run of the command line reaches: `--address ADDR[:PORT]`, given once for
// each device.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qf580::cli {

struct DeviceAddress {
    std::string address;  // dotted numeric IPv4, as typed
    std::uint16_t port = 8023;

    // "ADDR:PORT", as the device is named in status lines, events and the summary.
    std::string Label() const { return address + ":" + std::to_string(port); }
};

// "ADDR" takes `defaultPort`; "ADDR:PORT" its own port, 1 to 65535 in decimal. ADDR is four
// decimal numbers from 0 to 255 with dots between, not 0.0.0.0 or 255.255.255.255: no names,
// no blanks, no other forms. Throws std::invalid_argument with a message for the operator,
// the text quoted with its control characters escaped.
DeviceAddress ParseDeviceAddress(std::string_view text, std::uint16_t defaultPort);

// Every text parsed in order. Throws std::invalid_argument for a bad one, or for a device
// named twice: two transfers to one device at once can only spoil each other.
std::vector<DeviceAddress> ParseDeviceAddresses(const std::vector<std::string>& texts,
                                                std::uint16_t defaultPort);

}  // namespace qf580::cli
