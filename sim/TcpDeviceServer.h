// The device's network port: the device model served over TCP on 127.0.0.1 (or ::1) only.
#pragma once

#include <cstdint>
#include <string>

#include "sim/DeviceServer.h"

namespace qf580::sim {

// The address a TCP front-end may bind: "127.0.0.1" and "localhost" give "127.0.0.1", "::1"
// gives "::1"; anything else is refused (empty result). The simulator must never be reachable
// from the network.
std::string LoopbackBindAddress(const std::string& requested);

// A TCP stream keeps no write boundaries: each read the server makes is one write to the model.
class TcpDeviceServer : public DeviceServer {
  public:
    // Listens on `bindAddress` (loopback only; std::invalid_argument otherwise) and `port`
    // (0: an ephemeral one). std::runtime_error if the socket can't be set up.
    explicit TcpDeviceServer(FaultPlan plan = {}, std::uint16_t port = 0,
                             const std::string& bindAddress = "127.0.0.1",
                             ConnectionEnd onEnd = {});
    ~TcpDeviceServer() override;

    std::uint16_t Port() const { return port_; }
    const std::string& Address() const { return address_; }

  private:
    std::string address_;
    std::uint16_t port_ = 0;
};

}  // namespace qf580::sim
