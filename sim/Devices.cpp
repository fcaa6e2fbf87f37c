#include "sim/Devices.h"

#include <charconv>

namespace qf580::sim {

AimedFault SplitAimedFault(const std::string& text, int devices) {
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos) {
        return {0, text};
    }
    const std::string_view number(text.data(), equals);
    int device = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), device);
    if (number.empty() || error != std::errc() || end != number.data() + number.size() ||
        device < 1 || device > devices) {
        throw std::invalid_argument("--fault " + text + ": the device before '=' must be 1 to " +
                                    std::to_string(devices));
    }
    return {device, text.substr(equals + 1)};
}

std::vector<std::uint16_t> DevicePorts(int first, int devices) {
    if (devices < 1) {
        throw std::invalid_argument("--devices must be at least 1");
    }
    if (first != 0 && first + devices - 1 > 65535) {
        throw std::invalid_argument("--devices " + std::to_string(devices) + " from port " +
                                    std::to_string(first) + " would go past port 65535");
    }
    std::vector<std::uint16_t> ports;
    for (int i = 0; i < devices; ++i) {
        ports.push_back(static_cast<std::uint16_t>(first == 0 ? 0 : first + i));
    }
    return ports;
}

}  // namespace qf580::sim
