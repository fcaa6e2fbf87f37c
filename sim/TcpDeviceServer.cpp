#include "TcpDeviceServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>

namespace qf580::sim {
namespace {

// A framed write larger than any the host makes (its largest is 32768 bytes) means the peer
// isn't the stand-in driver; the connection is dropped rather than buffered without end.
constexpr std::uint32_t kLargestFrame = 1u << 20;

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// A stack acknowledges bytes as they arrive, whatever its program does with them later, and
// the host takes an acknowledged byte as delivered. To play a device that is gone from a given
// byte on, nothing may be acknowledged before the model has taken it: what arrives is
// acknowledged only after a delay, and what the model took at once (DelayAcknowledgements,
// then AcknowledgeNow after each read). Leaving an acknowledgement to the delay would also
// stall a host whose small writes wait for it, and the system answers a delay that ran out
// by acknowledging everything at once from then on.
void DelayAcknowledgements(int fd) {
    const int delayed = 0;
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &delayed, sizeof delayed);
}

void AcknowledgeNow(int fd) {
    // An even non-zero value sends the pending acknowledgement and keeps later ones delayed;
    // delaying again explicitly covers the case where none was pending.
    const int sendPendingThenDelay = 2;
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &sendPendingThenDelay, sizeof sendPendingThenDelay);
    DelayAcknowledgements(fd);
}

}  // namespace

std::string LoopbackBindAddress(const std::string& requested) {
    if (requested == "127.0.0.1" || requested == "localhost") {
        return "127.0.0.1";
    }
    if (requested == "::1") {
        return "::1";
    }
    return {};
}

DeviceServer::DeviceServer(Framing framing, FaultPlan plan, ConnectionEnd onEnd)
    : framing_(framing), onEnd_(std::move(onEnd)), plan_(plan), model_(std::move(plan)) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        Fail("pipe");
    }
    wakeRead_.reset(fds[0]);
    wakeWrite_.reset(fds[1]);
}

DeviceServer::~DeviceServer() {
    StopAndJoin();
}

void DeviceServer::Start(UniqueFd listener) {
    listener_ = std::move(listener);
    thread_ = std::thread([this] { Run(); });
}

void DeviceServer::StopAndJoin() {
    if (!thread_.joinable()) {
        return;
    }
    // The byte is never read: the pipe stays readable, so every wait sees the stop.
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(wakeWrite_.get(), &byte, 1);
    thread_.join();
}

void DeviceServer::SetPlan(FaultPlan plan) {
    std::lock_guard lock(mutex_);
    plan_ = std::move(plan);
}

DeviceModel DeviceServer::model() const {
    std::lock_guard lock(mutex_);
    return model_;
}

Received DeviceServer::received() const {
    std::lock_guard lock(mutex_);
    return model_.received();
}

std::string DeviceServer::state() const {
    std::lock_guard lock(mutex_);
    return model_.state();
}

bool DeviceServer::complete() const {
    std::lock_guard lock(mutex_);
    return model_.complete();
}

std::size_t DeviceServer::connectionsAccepted() const {
    std::lock_guard lock(mutex_);
    return accepted_;
}

std::size_t DeviceServer::connectionsEnded() const {
    std::lock_guard lock(mutex_);
    return endedCount_;
}

bool DeviceServer::WaitForConnectionsEnded(std::size_t count,
                                           std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    return ended_.wait_for(lock, limit, [&] { return endedCount_ >= count; });
}

bool DeviceServer::WaitForWake(int timeoutMs) const {
    pollfd wake{wakeRead_.get(), POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&wake, 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    return rc > 0;
}

void DeviceServer::Run() {
    for (;;) {
        std::array<pollfd, 2> fds{{{listener_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}}};
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        UniqueFd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!connection) {
            continue;
        }
        if (framing_ == Framing::Stream) {
            // Replies are single bytes the host waits for; don't hold them back.
            const int yes = 1;
            ::setsockopt(connection.get(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
            DelayAcknowledgements(connection.get());
        }
        Serve(std::move(connection));
    }
}

void DeviceServer::Serve(UniqueFd connection) {
    {
        std::lock_guard lock(mutex_);
        model_ = DeviceModel(plan_);
        ++accepted_;
    }
    std::vector<std::uint8_t> framed;  // LengthPrefixed: bytes of frames not yet whole
    std::array<std::uint8_t, 65536> buffer;
    bool open = true;
    while (open) {
        std::array<pollfd, 2> fds{{{connection.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}}};
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[1].revents != 0) {
            break;
        }
        // A stream is only looked at first, and read once the device has taken the bytes:
        // a stack acknowledges what it reads, so bytes the device never took must stay unread.
        const int peek = framing_ == Framing::Stream ? MSG_PEEK : 0;
        const ssize_t n = ::recv(connection.get(), buffer.data(), buffer.size(), peek);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        const std::span<const std::uint8_t> chunk(buffer.data(), static_cast<std::size_t>(n));
        if (framing_ == Framing::Stream) {
            std::size_t untaken = 0;
            open = Deliver(connection.get(), chunk, untaken);
            if (!open && !complete()) {
                // Gone in the middle of the exchange: a reset, which acknowledges nothing
                // more, so the host learns that what it sent since was lost.
                const linger reset{1, 0};
                ::setsockopt(connection.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                break;
            }
            [[maybe_unused]] const auto read =
                ::recv(connection.get(), buffer.data(), chunk.size() - untaken, MSG_DONTWAIT);
            AcknowledgeNow(connection.get());
            continue;
        }
        framed.insert(framed.end(), chunk.begin(), chunk.end());
        std::size_t at = 0;
        while (open && framed.size() - at >= 4) {
            const std::uint32_t length = (std::uint32_t{framed[at]} << 24) |
                                         (std::uint32_t{framed[at + 1]} << 16) |
                                         (std::uint32_t{framed[at + 2]} << 8) | framed[at + 3];
            if (length > kLargestFrame) {
                open = false;
                break;
            }
            if (framed.size() - at - 4 < length) {
                break;
            }
            std::size_t untaken = 0;
            open = Deliver(connection.get(), std::span(framed).subspan(at + 4, length), untaken);
            at += 4 + length;
        }
        framed.erase(framed.begin(), framed.begin() + static_cast<std::ptrdiff_t>(at));
    }
    connection.reset();

    std::optional<DeviceModel> ended;
    {
        std::lock_guard lock(mutex_);
        ++endedCount_;
        if (onEnd_) {
            ended = model_;
        }
    }
    ended_.notify_all();
    if (ended) {
        onEnd_(*ended);
    }
}

bool DeviceServer::Deliver(int connection, std::span<const std::uint8_t> write,
                           std::size_t& untaken) {
    DeviceModel::Output out;
    int delayMs = 0;
    {
        std::lock_guard lock(mutex_);
        out = model_.Feed(write);
        delayMs = model_.plan().replyDelayMs;
    }
    untaken = out.untaken;
    if (!out.reply.empty()) {
        if (delayMs > 0 && WaitForWake(delayMs)) {
            return false;
        }
        std::size_t sent = 0;
        while (sent < out.reply.size()) {
            std::array<pollfd, 2> fds{{{connection, POLLOUT, 0}, {wakeRead_.get(), POLLIN, 0}}};
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return false;
            }
            if (fds[1].revents != 0) {
                return false;
            }
            const ssize_t n = ::send(connection, out.reply.data() + sent, out.reply.size() - sent,
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                    continue;
                }
                return false;
            }
            sent += static_cast<std::size_t>(n);
        }
    }
    return !out.close;
}

TcpDeviceServer::TcpDeviceServer(FaultPlan plan, std::uint16_t port, const std::string& bindAddress,
                                 ConnectionEnd onEnd)
    : DeviceServer(Framing::Stream, std::move(plan), std::move(onEnd)),
      address_(LoopbackBindAddress(bindAddress)) {
    if (address_.empty()) {
        throw std::invalid_argument("the simulator listens on 127.0.0.1 or ::1 only, not " +
                                    bindAddress);
    }
    const bool v6 = address_ == "::1";
    UniqueFd listener(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener) {
        Fail("socket");
    }
    const int yes = 1;
    ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (v6) {
        auto& a = reinterpret_cast<sockaddr_in6&>(storage);
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(port);
        length = sizeof a;
    } else {
        auto& a = reinterpret_cast<sockaddr_in&>(storage);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        length = sizeof a;
    }
    if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&storage), length) != 0) {
        Fail("bind " + address_ + " port " + std::to_string(port));
    }
    if (::listen(listener.get(), 4) != 0) {
        Fail("listen");
    }
    length = sizeof storage;
    if (::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        Fail("getsockname");
    }
    port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6&>(storage).sin6_port
                     : reinterpret_cast<sockaddr_in&>(storage).sin_port);
    Start(std::move(listener));
}

TcpDeviceServer::~TcpDeviceServer() {
    StopAndJoin();
}

UnixDeviceServer::UnixDeviceServer(std::string path, FaultPlan plan, ConnectionEnd onEnd)
    : DeviceServer(Framing::LengthPrefixed, std::move(plan), std::move(onEnd)),
      path_(std::move(path)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.empty() || path_.size() >= sizeof address.sun_path) {
        throw std::invalid_argument("unusable socket path: " + path_);
    }
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener) {
        Fail("socket");
    }
    // A socket left behind by a simulator that was killed would make bind fail, so it is
    // replaced; one that a running simulator answers on, or anything that isn't a socket,
    // is left alone.
    struct stat status {};
    if (::lstat(path_.c_str(), &status) == 0 && S_ISSOCK(status.st_mode)) {
        UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (probe &&
            ::connect(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            throw std::runtime_error("another simulator is serving " + path_);
        }
        ::unlink(path_.c_str());
    }
    if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        Fail("bind " + path_);
    }
    if (::listen(listener.get(), 4) != 0) {
        const int saved = errno;
        ::unlink(path_.c_str());
        errno = saved;
        Fail("listen");
    }
    Start(std::move(listener));
}

UnixDeviceServer::~UnixDeviceServer() {
    StopAndJoin();
    ::unlink(path_.c_str());
}

}  // namespace qf580::sim
