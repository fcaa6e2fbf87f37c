#include "transfer/LinkSettings.h"

namespace qf580 {

LinkSettingsValues LinkSettings::Get() const {
    std::lock_guard lock(mutex_);
    return values_;
}

void LinkSettings::Set(const LinkSettingsValues& values) {
    std::lock_guard lock(mutex_);
    values_ = values;
}

std::int32_t LinkSettings::UseUSB() const {
    std::lock_guard lock(mutex_);
    return values_.UseUSB;
}

std::string LinkSettings::IPAddress() const {
    std::lock_guard lock(mutex_);
    return values_.IPAddress;
}

std::uint32_t LinkSettings::PortNo() const {
    std::lock_guard lock(mutex_);
    return values_.PortNo;
}

bool LinkSettings::FastTrans() const {
    std::lock_guard lock(mutex_);
    return values_.FastTrans;
}

void LinkSettings::SetUseUSB(std::int32_t value) {
    std::lock_guard lock(mutex_);
    values_.UseUSB = value;
}

void LinkSettings::SetIPAddress(const std::string& value) {
    std::lock_guard lock(mutex_);
    values_.IPAddress = value;
}

void LinkSettings::SetPortNo(std::uint32_t value) {
    std::lock_guard lock(mutex_);
    values_.PortNo = value;
}

void LinkSettings::SetFastTrans(bool value) {
    std::lock_guard lock(mutex_);
    values_.FastTrans = value;
}

}  // namespace qf580
