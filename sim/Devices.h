// Several independent devices in one simulator (--devices N): their ports, and faults aimed at
// one of them.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace qf580::sim {

// "K=FAULT" aims FAULT at device K (1 to `devices`); a FAULT without "K=" is every device's.
struct AimedFault {
    int device = 0;  // 0: every device
    std::string fault;
};
// Throws std::invalid_argument for a K that is not a device.
AimedFault SplitAimedFault(const std::string& text, int devices);

// The TCP ports of `devices` devices: consecutive from `first`, or all 0 (each a free one)
// when `first` is 0. Throws std::invalid_argument when they would go past 65535.
std::vector<std::uint16_t> DevicePorts(int first, int devices);

}  // namespace qf580::sim
