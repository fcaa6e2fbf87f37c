#include "transfer/DeviceLink.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "transfer/TcpClient.h"

namespace qf580 {

DeviceLink::DeviceLink(const LinkSettings& settings, LinkTimeouts timeouts,
                       std::optional<UsbDriver> usb, const std::atomic<bool>* stop)
    : settings_(settings),
      timeouts_(timeouts),
      usb_(std::move(usb)),
      stop_(stop),
      ClientSocket1(std::make_unique<TcpClient>()) {}

DeviceLink::~DeviceLink() {
    // The worker always closes; this only keeps a handle from outliving the link otherwise.
    if (UsbHeld()) {
        try {
            if (usb_->CloseDevice) {
                usb_->CloseDevice(usbHandle_);
            }
        } catch (...) {
        }
    }
    SockStream.reset();
}

DeviceLink::Transport DeviceLink::Current() const {
    return settings_.UseUSB() != 0 ? Transport::Usb : Transport::Tcp;
}

DeviceLink::Transport DeviceLink::Chosen() const {
    return opened_ ? *opened_ : Current();
}

bool DeviceLink::UsbHeld() const {
    return opened_ == Transport::Usb && usbHandle_ != 0;
}

UsbDriver& DeviceLink::Usb() {
    if (!usb_) {
        usb_ = LoadUsbDriver();
    }
    return *usb_;
}

int DeviceLink::OpenPort() {
    try {
        if (opened_) {
            ClosePort();  // a second open must not leak the first connection or handle
        }
        stopped_ = false;
        const LinkSettingsValues settings = settings_.Get();
        if (settings.UseUSB != 0) {
            UsbDriver& driver = Usb();
            usbHandle_ = 0;  // stays 0 if the open throws
            usbHandle_ = driver.OpenDevice ? driver.OpenDevice() : 0;
            if (usbHandle_ == 0) {
                return 0;
            }
            opened_ = Transport::Usb;
            return 1;
        }
        ClientSocket1->SetAddress(settings.IPAddress);
        ClientSocket1->SetPort(settings.PortNo);
        if (!ClientSocket1->Open(stop_, timeouts_.connectMs)) {
            return 0;
        }
        SockStream =
            std::make_unique<SocketStream>(ClientSocket1->Socket(), timeouts_.streamMs, stop_);
        opened_ = Transport::Tcp;
        return 1;
    } catch (...) {
        if (!opened_) {
            SockStream.reset();
            ClientSocket1->Close();
        }
        return 0;
    }
}

int DeviceLink::SendData(const void* data, int len) {
    try {
        if (len < 0 || (len > 0 && data == nullptr)) {
            return 0;
        }
        if (Chosen() == Transport::Usb) {
            if (!UsbHeld()) {
                return 0;
            }
            if (len == 0) {
                return 1;
            }
            UsbDriver& driver = Usb();
            if (!driver.WriteDevice) {
                return 0;
            }
            std::int32_t written = len;
            const std::int32_t result =
                driver.WriteDevice(usbHandle_, data, len, &written, timeouts_.usbCallMs);
            return written == len ? result : 0;
        }
        if (!SockStream) {
            return 0;
        }
        if (len == 0) {
            return 1;
        }
        return SockStream->Write(data, len) == len ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int DeviceLink::RecvData(std::uint8_t* buf, int len) {
    if (buf == nullptr) {
        return 0;
    }
    std::uint8_t* p = buf;
    int result = 1;
    if (len > 0) {
        try {
            result = Chosen() == Transport::Usb ? RecvUsb(p, len) : RecvTcp(p, len);
        } catch (...) {
            result = 0;
        }
    }
    *p = 0;
    if (result == 0 && StopRequested()) {
        stopped_ = true;
    }
    return result;
}

int DeviceLink::RecvUsb(std::uint8_t*& p, int wanted) {
    if (!UsbHeld()) {
        return 0;
    }
    UsbDriver& driver = Usb();
    if (!driver.ReadDevice) {
        return 0;
    }
    int result = 1;
    // Only a failed call ends the loop: the driver's own time limit is what gives up on a
    // byte that never comes, so a success without a byte simply asks again.
    while (wanted > 0) {
        std::int32_t count = 0;
        const std::int32_t status =
            driver.ReadDevice(usbHandle_, p, 1, &count, timeouts_.usbCallMs);
        if (status == 0) {
            return 0;
        }
        // One byte was asked for: any other count than 0 or 1 is a driver fault, and taking it
        // would move past the room left in the caller's buffer.
        if (count < 0 || count > 1) {
            return 0;
        }
        result = status;
        p += count;
        wanted -= count;
        // The driver's call can't be cut short, but no new one is begun for a reply that the
        // operator no longer waits for.
        if (wanted > 0 && StopRequested()) {
            return 0;
        }
    }
    return result;
}

int DeviceLink::RecvTcp(std::uint8_t*& p, int wanted) {
    if (!SockStream) {
        return 0;
    }
    // A byte may take the readiness wait and then the read's own limit: one wait of both.
    const int limitMs = static_cast<int>(
        std::min<long long>(std::numeric_limits<int>::max(),
                            static_cast<long long>(std::max(timeouts_.readinessMs, 0)) +
                                std::max(timeouts_.streamMs, 0)));
    while (wanted > 0) {
        // Every byte that is there is taken at once, up to the count asked for and never past
        // it, so a ten-byte echo costs one call rather than ten; each byte still waits under
        // its own limit, since a read that brings any byte begins the next wait afresh.
        const int got = SockStream->Read(p, wanted, limitMs);
        if (got <= 0) {
            return 0;
        }
        p += got;
        wanted -= got;
    }
    return 1;
}

int DeviceLink::ConfirmDelivery() {
    try {
        if (Chosen() == Transport::Usb) {
            return UsbHeld() ? 1 : 0;
        }
        return SockStream && SockStream->WaitUntilAcknowledged() ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int DeviceLink::ClosePort() {
    const bool usbHeld = UsbHeld();
    Transport transport = opened_.value_or(Transport::Tcp);
    try {
        transport = Chosen();
    } catch (...) {
    }
    opened_.reset();
    if (transport == Transport::Usb) {
        try {
            UsbDriver& driver = Usb();
            if (driver.CloseDevice) {
                driver.CloseDevice(usbHeld ? usbHandle_ : 0);
            }
        } catch (...) {
        }
    } else {
        SockStream.reset();
        ClientSocket1->Close();
    }
    return 1;
}

}  // namespace qf580
