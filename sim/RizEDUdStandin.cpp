// A stand-in for the maker's USB driver library, for demos and tests: "the device" is the
// running simulator, reached over a Unix socket (QF580_SIM_SOCKET, default
// /tmp/qf580-sim.sock) that carries frames both ways (StandinFrames.h). A write goes out as one
// frame and, as a USB bulk write, succeeds only once the device has taken it: the simulator
// confirms each write it took whole, so a device that hangs up mid-write fails that write.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "posix/Eintr.h"
#include "posix/Poll.h"
#include "posix/UniqueFd.h"
#include "sim/StandinFrames.h"
#include "transfer/RizEDUdApi.h"

namespace {

using qf580::sim::FrameKind;
using qf580::sim::FrameReader;
using qf580::sim::FrameView;
namespace posix = qf580::posix;

constexpr const char* kDefaultSocket = "/tmp/qf580-sim.sock";

// One open device: its socket, and what came from the device that no call has taken yet.
struct Device {
    posix::UniqueFd socket;
    FrameReader frames;
    std::deque<std::uint8_t> replies;
    int confirmationsOwed = 0;  // writes sent whose confirmation hasn't come
    bool gone = false;          // the device hung up, or the socket failed
};

// Calls come from one thread at a time, but the lock keeps a careless caller from corrupting
// the table.
std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
}

std::map<std::int32_t, std::shared_ptr<Device>>& Handles() {
    static std::map<std::int32_t, std::shared_ptr<Device>> handles;
    return handles;
}

std::int32_t nextHandle = 1;

std::shared_ptr<Device> DeviceOf(std::int32_t handle) {
    std::lock_guard lock(Mutex());
    const auto it = Handles().find(handle);
    return it == Handles().end() ? nullptr : it->second;
}

posix::Deadline DeadlineIn(std::int32_t timeoutMs) {
    return posix::Deadline::In(timeoutMs > 0 ? timeoutMs : 0);
}

// Takes what has come from the device, waiting until the deadline for anything at all; false
// once the device is gone.
bool Receive(Device& device, posix::Deadline deadline) {
    if (device.gone) {
        return false;
    }
    if (posix::WaitFor(device.socket.Get(), POLLIN, -1, deadline) != posix::Waited::Ready) {
        return true;  // nothing in time: not the device's end
    }
    std::uint8_t buffer[4096];
    const ssize_t n = posix::RetryOnEintr(
        [&] { return ::recv(device.socket.Get(), buffer, sizeof buffer, MSG_DONTWAIT); });
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return true;
    }
    if (n <= 0) {
        device.gone = true;
        return false;
    }
    device.frames.Add(std::span(buffer, static_cast<std::size_t>(n)));
    while (const std::optional<FrameView> frame = device.frames.Next()) {
        if (frame->kind == FrameKind::Reply) {
            device.replies.insert(device.replies.end(), frame->payload.begin(),
                                  frame->payload.end());
        } else if (frame->kind == FrameKind::Taken && device.confirmationsOwed > 0) {
            --device.confirmationsOwed;
        }
    }
    if (device.frames.Broken()) {
        device.gone = true;
        return false;
    }
    return true;
}

// Sends all of `bytes` before the deadline.
bool SendAll(int fd, std::span<const std::uint8_t> bytes, posix::Deadline deadline) {
    while (!bytes.empty()) {
        if (posix::WaitFor(fd, POLLOUT, -1, deadline) != posix::Waited::Ready) {
            return false;
        }
        const ssize_t n = posix::RetryOnEintr(
            [&] { return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT); });
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                continue;
            }
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

extern "C" {

int32_t RizEDUd_OpenDevice(void) {
    const char* configured = std::getenv("QF580_SIM_SOCKET");
    const std::string path =
        configured != nullptr && *configured != '\0' ? configured : kDefaultSocket;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return 0;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    auto device = std::make_shared<Device>();
    device->socket.Reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!device->socket) {
        return 0;
    }
    if (::connect(device->socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) !=
        0) {
        return 0;  // no simulator running: no device
    }
    std::lock_guard lock(Mutex());
    const std::int32_t handle = nextHandle;
    nextHandle = nextHandle == INT32_MAX ? 1 : nextHandle + 1;
    Handles()[handle] = std::move(device);
    return handle;
}

int32_t RizEDUd_CloseDevice(int32_t handle) {
    std::lock_guard lock(Mutex());
    // 0 or an unknown handle: nothing to do. The socket closes with the last call using it.
    return Handles().erase(handle) != 0 ? 1 : 0;
}

int32_t RizEDUd_ReadDevice(int32_t handle, void* buf, int32_t wanted, int32_t* count,
                           int32_t timeoutMs) {
    if (count != nullptr) {
        *count = 0;
    }
    const std::shared_ptr<Device> device = DeviceOf(handle);
    if (!device || buf == nullptr || count == nullptr || wanted < 0) {
        return 0;
    }
    if (wanted == 0) {
        return 1;
    }
    if (device->replies.empty()) {
        const posix::Deadline deadline = DeadlineIn(timeoutMs);
        // Confirmations may come first; the wait is for answered bytes.
        while (device->replies.empty() && Receive(*device, deadline) && !deadline.Passed()) {
        }
        if (device->replies.empty()) {
            return 0;  // nothing within the time limit, or the device hung up
        }
    }
    auto* out = static_cast<std::uint8_t*>(buf);
    std::int32_t n = 0;
    while (n < wanted && !device->replies.empty()) {
        out[n++] = device->replies.front();
        device->replies.pop_front();
    }
    *count = n;
    return 1;
}

int32_t RizEDUd_WriteDevice(int32_t handle, const void* data, int32_t len, int32_t* count,
                            int32_t timeoutMs) {
    const std::shared_ptr<Device> device = DeviceOf(handle);
    if (count != nullptr) {
        *count = 0;
    }
    if (!device || count == nullptr || len < 0 || (data == nullptr && len > 0) || device->gone) {
        return 0;
    }
    const posix::Deadline deadline = DeadlineIn(timeoutMs);
    const std::vector<std::uint8_t> frame = qf580::sim::MakeFrame(
        FrameKind::Write,
        std::span(static_cast<const std::uint8_t*>(data), static_cast<std::size_t>(len)));
    if (!SendAll(device->socket.Get(), frame, deadline)) {
        return 0;
    }
    ++device->confirmationsOwed;
    while (device->confirmationsOwed > 0) {
        if (!Receive(*device, deadline) || (device->confirmationsOwed > 0 && deadline.Passed())) {
            return 0;  // the device hung up before it took the write, or never took it in time
        }
    }
    *count = len;
    return 1;
}

}  // extern "C"
