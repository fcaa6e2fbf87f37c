// The device's USB port as the stand-in driver reaches it: the device model served over a Unix
// socket that carries frames (StandinFrames.h), so each write of the host is one write to the
// model, and the driver hears when the device has taken it.
#pragma once

#include <string>

#include "sim/DeviceServer.h"

namespace qf580::sim {

class UnixDeviceServer : public DeviceServer {
  public:
    // Listens on the Unix socket `path`, replacing a stale socket there; removes it at the end.
    explicit UnixDeviceServer(std::string path, FaultPlan plan = {}, ConnectionEnd onEnd = {});
    ~UnixDeviceServer() override;

    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace qf580::sim
