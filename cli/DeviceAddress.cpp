#include "DeviceAddress.h"

#include <charconv>
#include <set>

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

std::vector<DeviceAddress> ParseDeviceAddresses(const std::vector<std::string>& texts,
                                                std::uint16_t defaultPort) {
    std::vector<DeviceAddress> devices;
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
