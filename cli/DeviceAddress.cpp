#include "cli/DeviceAddress.h"

#include <charconv>
#include <set>

#include "text/Escape.h"

namespace qf580::cli {

namespace {

// Four decimal numbers from 0 to 255 and nothing else: the link's own reading also takes
// "127.1", hexadecimal and octal parts, which name other hosts than they seem to.
bool IsDottedIpv4(std::string_view text, std::uint32_t& value) {
    value = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (text.empty() || text.front() != '.') {
                return false;
            }
            text.remove_prefix(1);
        }
        std::size_t digits = 0;
        while (digits < text.size() && digits < 4 && text[digits] >= '0' && text[digits] <= '9') {
            ++digits;
        }
        if (digits == 0 || digits > 3 || (digits > 1 && text.front() == '0')) {
            return false;
        }
        unsigned number = 0;
        std::from_chars(text.data(), text.data() + digits, number);
        if (number > 255) {
            return false;
        }
        value = value << 8 | number;
        text.remove_prefix(digits);
    }
    return text.empty();
}

}  // namespace

DeviceAddress ParseDeviceAddress(std::string_view text, std::uint16_t defaultPort) {
    const auto refuse = [text](const std::string& why) {
        return std::invalid_argument("--address " + EscapeControls(text) + ": " + why);
    };
    DeviceAddress device;
    device.port = defaultPort;
    const std::size_t colon = text.find(':');
    device.address = std::string(text.substr(0, colon));
    if (colon != std::string_view::npos) {
        const std::string_view port = text.substr(colon + 1);
        unsigned value = 0;
        const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (port.empty() || error != std::errc() || end != port.data() + port.size() || value < 1 ||
            value > 65535) {
            throw refuse("the port after ':' must be a number from 1 to 65535");
        }
        device.port = static_cast<std::uint16_t>(value);
    }
    if (device.address.empty()) {
        throw refuse("no address");
    }
    std::uint32_t address = 0;
    if (!IsDottedIpv4(device.address, address)) {
        throw refuse(
            "expected a numeric IPv4 address, four numbers from 0 to 255 with dots between "
            "(such as 192.0.2.10), with :PORT at most once; no names, no blanks");
    }
    if (address == 0 || address == 0xFFFFFFFFu) {
        throw refuse("0.0.0.0 and 255.255.255.255 are no device's address");
    }
    return device;
}

std::vector<DeviceAddress> ParseDeviceAddresses(const std::vector<std::string>& texts,
                                                std::uint16_t defaultPort) {
    std::vector<DeviceAddress> devices;
    // Only one text names each address (four plain decimal numbers): the label is the key.
    std::set<std::string> seen;
    for (const std::string& text : texts) {
        DeviceAddress device = ParseDeviceAddress(text, defaultPort);
        if (!seen.insert(device.Label()).second) {
            throw std::invalid_argument("--address " + text + ": " + device.Label() +
                                        " is named more than once");
        }
        devices.push_back(std::move(device));
    }
    return devices;
}

}  // namespace qf580::cli
