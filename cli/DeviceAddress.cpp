#include "cli/DeviceAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <charconv>
#include <map>

namespace qf580::cli {

DeviceAddress ParseDeviceAddress(std::string_view text, std::uint16_t defaultPort) {
    DeviceAddress device;
    device.port = defaultPort;
    const std::size_t colon = text.rfind(':');
    device.address = std::string(text.substr(0, colon));
    if (colon != std::string_view::npos) {
        const std::string_view port = text.substr(colon + 1);
        unsigned value = 0;
        const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (port.empty() || error != std::errc() || end != port.data() + port.size() || value < 1 ||
            value > 65535) {
            throw std::invalid_argument("--address " + std::string(text) +
                                        ": the port after ':' must be a number from 1 to 65535");
        }
        device.port = static_cast<std::uint16_t>(value);
    }
    if (device.address.empty()) {
        throw std::invalid_argument("--address " + std::string(text) + ": no address");
    }
    if (device.address.find(':') != std::string::npos) {
        throw std::invalid_argument("--address " + std::string(text) +
                                    ": expected a numeric IPv4 address, with :PORT at most once");
    }
    return device;
}

namespace {

// Who the device is, as the link will reach it: the link reads the address with inet_addr,
// which takes "127.1", "0x7f.0.0.1" and "0177.0.0.1" for 127.0.0.1 as well, so two texts can
// name one device. A text that does not convert is compared as it is.
std::string DeviceKey(const DeviceAddress& device) {
    in_addr address{};
    if (::inet_aton(device.address.c_str(), &address) != 0 &&
        device.address.find('\0') == std::string::npos) {
        return std::to_string(ntohl(address.s_addr)) + ":" + std::to_string(device.port);
    }
    return device.Label();
}

}  // namespace

std::vector<DeviceAddress> ParseDeviceAddresses(const std::vector<std::string>& texts,
                                                std::uint16_t defaultPort) {
    std::vector<DeviceAddress> devices;
    std::map<std::string, std::string> seen;  // key: the label it was first given as
    for (const std::string& text : texts) {
        DeviceAddress device = ParseDeviceAddress(text, defaultPort);
        const auto [first, added] = seen.emplace(DeviceKey(device), device.Label());
        if (!added) {
            throw std::invalid_argument(
                "--address " + text + ": " +
                (first->second == device.Label()
                     ? device.Label() + " is named more than once"
                     : "the same device as " + first->second + ", named more than once"));
        }
        devices.push_back(std::move(device));
    }
    return devices;
}

}  // namespace qf580::cli
