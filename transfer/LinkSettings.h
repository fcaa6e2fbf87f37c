// The link settings: written on the GUI thread by the settings dialog, read by the worker
// thread at every link operation and fast-transfer decision.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace qf580 {

struct LinkSettingsValues {
    std::int32_t UseUSB = 0;  // 0 = TCP/IP, anything else = USB
    std::string IPAddress = "192.168.0.1";
    std::uint32_t PortNo = 8023;
    bool FastTrans = true;  // mirrors the check box "Fast Transfer Enable"
};

// Every access copies under a lock that is held for the copy only, so a reader never waits
// on the dialog's modal loop and never sees a half-written address.
class LinkSettings {
  public:
    LinkSettingsValues Get() const;
    void Set(const LinkSettingsValues& values);

    std::int32_t UseUSB() const;
    std::string IPAddress() const;
    std::uint32_t PortNo() const;
    bool FastTrans() const;

    void SetUseUSB(std::int32_t value);
    void SetIPAddress(const std::string& value);
    void SetPortNo(std::uint32_t value);
    void SetFastTrans(bool value);

  private:
    mutable std::mutex mutex_;
    LinkSettingsValues values_;
};

}  // namespace qf580
