// A stand-in for the maker's USB driver library, for demos and tests: "the device" is the
// running simulator, reached over a Unix socket (QF580_SIM_SOCKET, default
// /tmp/qf580-sim.sock). Each write goes out as one frame with a 4-byte big-endian length, so
// the simulator sees each write whole, as a USB transfer would deliver it; replies come back
// as plain bytes.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "RizEDUdApi.h"

namespace {

constexpr const char* kDefaultSocket = "/tmp/qf580-sim.sock";

std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
}

// Open handles and their sockets. Calls come from one thread at a time, but the lock keeps a
// careless caller from corrupting the table.
std::map<std::int32_t, int>& Handles() {
    static std::map<std::int32_t, int> handles;
    return handles;
}

std::int32_t nextHandle = 1;

int SocketOf(std::int32_t handle) {
    std::lock_guard lock(Mutex());
    const auto it = Handles().find(handle);
    return it == Handles().end() ? -1 : it->second;
}

int Remaining(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Sends all of `bytes` within the time limit.
bool SendAll(int fd, const std::uint8_t* bytes, std::size_t size, int timeoutMs) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
    std::size_t sent = 0;
    while (sent < size) {
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, Remaining(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        const ssize_t n = ::send(fd, bytes + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                continue;
            }
            return false;
        }
        sent += static_cast<std::size_t>(n);
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
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return 0;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return 0;  // no simulator running: no device
    }
    std::lock_guard lock(Mutex());
    const std::int32_t handle = nextHandle;
    nextHandle = nextHandle == INT32_MAX ? 1 : nextHandle + 1;
    Handles()[handle] = fd;
    return handle;
}

int32_t RizEDUd_CloseDevice(int32_t handle) {
    std::lock_guard lock(Mutex());
    const auto it = Handles().find(handle);
    if (it == Handles().end()) {
        return 0;  // 0 or an unknown handle: nothing to do
    }
    ::close(it->second);
    Handles().erase(it);
    return 1;
}

int32_t RizEDUd_ReadDevice(int32_t handle, void* buf, int32_t wanted, int32_t* count,
                           int32_t timeoutMs) {
    if (count != nullptr) {
        *count = 0;
    }
    const int fd = SocketOf(handle);
    if (fd < 0 || buf == nullptr || count == nullptr || wanted < 0) {
        return 0;
    }
    if (wanted == 0) {
        return 1;
    }
    pollfd p{fd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, timeoutMs > 0 ? timeoutMs : 0);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) {
        return 0;  // nothing within the time limit
    }
    ssize_t n;
    do {
        n = ::recv(fd, buf, static_cast<std::size_t>(wanted), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        return 0;  // the simulator closed the link, or it failed
    }
    *count = static_cast<int32_t>(n);
    return 1;
}

int32_t RizEDUd_WriteDevice(int32_t handle, const void* data, int32_t len, int32_t* count,
                            int32_t timeoutMs) {
    const int fd = SocketOf(handle);
    if (fd < 0 || count == nullptr || len < 0 || (data == nullptr && len > 0)) {
        if (count != nullptr) {
            *count = 0;
        }
        return 0;
    }
    const auto size = static_cast<std::uint32_t>(len);
    std::vector<std::uint8_t> frame{
        static_cast<std::uint8_t>(size >> 24), static_cast<std::uint8_t>(size >> 16),
        static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size)};
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    frame.insert(frame.end(), bytes, bytes + size);
    if (!SendAll(fd, frame.data(), frame.size(), timeoutMs)) {
        *count = 0;
        return 0;
    }
    *count = len;
    return 1;
}

}  // extern "C"
