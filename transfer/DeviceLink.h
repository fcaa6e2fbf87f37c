// The byte channel to the device, over TCP/IP or through the USB driver. No framing, no
// retry, no buffering: every failure comes back as result 0 and nothing is ever thrown.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "transfer/LinkSettings.h"
#include "transfer/RizEDUd.h"

namespace qf580 {

// Production values by default; tests construct the link with short ones.
struct LinkTimeouts {
    int readinessMs = 5000;  // wait for readable data before each received byte (TCP/IP)
    int streamMs = 10000;    // each read and each write through the socket stream
    int usbCallMs = 10000;   // time-limit argument of every USB read and write call
    int connectMs = -1;      // the connect (TCP/IP); negative: the system's own limit
};

class TcpClient;     // ClientSocket1: the TCP client object
class SocketStream;  // SockStream: the timed stream over the connected socket

class DeviceLink {
  public:
    // `usb` empty: the maker's library is bound on the first USB open. `stop`, when given,
    // ends a connect that waits for its answer and a receive that waits for the device: over
    // TCP/IP within a slice of the wait, over USB once the driver's call in progress returns.
    DeviceLink(const LinkSettings& settings, LinkTimeouts timeouts = {},
               std::optional<UsbDriver> usb = std::nullopt,
               const std::atomic<bool>* stop = nullptr);
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;
    ~DeviceLink();

    int OpenPort();
    int SendData(const void* data, int len);
    // buf has room for len + 1 bytes; a 0 byte is always written after what was received.
    int RecvData(std::uint8_t* buf, int len);
    // Non-zero once every byte sent so far has reached the device, 0 when that can't be
    // confirmed. Over TCP/IP a send only hands bytes to the system: this waits, up to the
    // write time limit, until the device has acknowledged all of them. Over USB a write's
    // success is the driver's word that the device took the bytes, so nothing is left to wait
    // for. Sends nothing itself.
    int ConfirmDelivery();
    int ClosePort();

    std::int32_t UsbHandle() const { return usbHandle_; }
    // True once a receive since the last OpenPort failed with the stop request set: the stop
    // ended it, not the device.
    bool Stopped() const { return stopped_; }

  private:
    enum class Transport { Tcp, Usb };
    Transport Current() const;
    // The transport the next operation uses: the opened one, else the one the settings name.
    Transport Chosen() const;
    // True while this transfer holds a handle from a successful USB open.
    bool UsbHeld() const;
    UsbDriver& Usb();
    bool StopRequested() const { return stop_ != nullptr && stop_->load(); }
    // Receive loops; `p` follows the bytes received so far, even when a call throws.
    int RecvUsb(std::uint8_t*& p, int wanted);
    int RecvTcp(std::uint8_t*& p, int wanted);

    const LinkSettings& settings_;
    LinkTimeouts timeouts_;
    std::optional<UsbDriver> usb_;
    const std::atomic<bool>* stop_;
    bool stopped_ = false;
    std::int32_t usbHandle_ = 0;
    // The transport OpenPort opened; later operations of the transfer keep to it even when
    // the settings change meanwhile.
    std::optional<Transport> opened_;
    std::unique_ptr<TcpClient> ClientSocket1;
    std::unique_ptr<SocketStream> SockStream;
};

}  // namespace qf580
