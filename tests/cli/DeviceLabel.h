// How a simulated device on loopback is named: as --address takes it, and as the command line
// labels that device's status lines, JSON events and table row.
#pragma once

#include <string>

#include "sim/TcpDeviceServer.h"

namespace qf580::test {

inline std::string Label(const sim::TcpDeviceServer& server) {
    return "127.0.0.1:" + std::to_string(server.Port());
}

}  // namespace qf580::test
