#include "sim/DeviceServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <vector>

#include "posix/Eintr.h"
#include "posix/Poll.h"
#include "sim/StandinFrames.h"

namespace qf580::sim {

namespace {

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

DeviceServer::DeviceServer(Framing framing, FaultPlan plan, ConnectionEnd onEnd)
    : framing_(framing), onEnd_(std::move(onEnd)), plan_(plan), model_(std::move(plan)) {}

DeviceServer::~DeviceServer() {
    StopAndJoin();
}

void DeviceServer::Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void DeviceServer::Start(posix::UniqueFd listener) {
    listener_ = std::move(listener);
    thread_ = std::thread([this] { Run(); });
}

void DeviceServer::StopAndJoin() {
    if (!thread_.joinable()) {
        return;
    }
    stop_.Wake();
    thread_.join();
}

void DeviceServer::SetPlan(FaultPlan plan) {
    std::lock_guard lock(mutex_);
    plan_ = std::move(plan);
}

DeviceModel DeviceServer::Model() const {
    std::lock_guard lock(mutex_);
    return model_;
}

ReceivedData DeviceServer::Received() const {
    std::lock_guard lock(mutex_);
    return model_.Received();
}

std::string DeviceServer::State() const {
    std::lock_guard lock(mutex_);
    return model_.State();
}

bool DeviceServer::Complete() const {
    std::lock_guard lock(mutex_);
    return model_.Complete();
}

std::size_t DeviceServer::ConnectionsAccepted() const {
    std::lock_guard lock(mutex_);
    return accepted_;
}

bool DeviceServer::WaitForConnectionsEnded(std::size_t count,
                                           std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    return ended_.wait_for(lock, limit, [&] { return endedCount_ >= count; });
}

void DeviceServer::Run() {
    for (;;) {
        const posix::Waited waited =
            posix::WaitFor(listener_.Get(), POLLIN, stop_.ReadFd(), posix::Deadline::Never());
        if (waited != posix::Waited::Ready) {
            return;  // stopped, or the listener failed
        }
        posix::UniqueFd connection(posix::RetryOnEintr(
            [&] { return ::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC); }));
        if (!connection) {
            continue;
        }
        if (framing_ == Framing::Stream) {
            // Replies are single bytes the host waits for; don't hold them back.
            const int yes = 1;
            ::setsockopt(connection.Get(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
            DelayAcknowledgements(connection.Get());
        }
        Serve(Connection{std::move(connection)});
    }
}

void DeviceServer::Serve(Connection connection) {
    {
        std::lock_guard lock(mutex_);
        FaultPlan plan = plan_;
        if (plan.faultConnections > 0 &&
            accepted_ >= static_cast<std::size_t>(plan.faultConnections)) {
            plan.faults.clear();
        }
        model_ = DeviceModel(std::move(plan));
        ++accepted_;
    }
    FrameReader frames;
    std::array<std::uint8_t, 65536> buffer;
    bool open = true;
    while (open) {
        const int socket = connection.socket.Get();
        if (posix::WaitFor(socket, POLLIN, stop_.ReadFd(), posix::Deadline::Never()) !=
            posix::Waited::Ready) {
            break;
        }
        // A stream is only looked at first, and read once the device has taken the bytes:
        // a stack acknowledges what it reads, so bytes the device never took must stay unread.
        const int peek = framing_ == Framing::Stream ? MSG_PEEK : 0;
        const ssize_t n =
            posix::RetryOnEintr([&] { return ::recv(socket, buffer.data(), buffer.size(), peek); });
        if (n <= 0) {
            break;
        }
        const std::span<const std::uint8_t> chunk(buffer.data(), static_cast<std::size_t>(n));
        if (framing_ == Framing::Stream) {
            std::size_t taken = 0;
            open = Deliver(connection, chunk, taken);
            if (!open && !Complete()) {
                // Gone in the middle of the exchange: a reset, which acknowledges nothing
                // more, so the host learns that what it sent since was lost.
                const linger reset{1, 0};
                ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                break;
            }
            // Already looked at: taken from the socket without being copied again.
            [[maybe_unused]] const auto read =
                ::recv(socket, buffer.data(), taken, MSG_DONTWAIT | MSG_TRUNC);
            AcknowledgeNow(socket);
            continue;
        }
        frames.Add(chunk);
        while (open) {
            const std::optional<FrameView> frame = frames.Next();
            if (!frame) {
                break;
            }
            std::size_t taken = 0;
            open = frame->kind == FrameKind::Write && Deliver(connection, frame->payload, taken);
        }
        open = open && !frames.Broken();
    }
    connection.socket.Reset();

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

bool DeviceServer::Deliver(Connection& connection, std::span<const std::uint8_t> write,
                           std::size_t& taken) {
    DeviceModel::Output out;
    int delayMs = 0;
    bool hangUp = false;
    {
        std::lock_guard lock(mutex_);
        out = model_.Feed(write);
        delayMs = model_.Plan().replyDelayMs;
        hangUp = out.close || (model_.Plan().closeWhenComplete && model_.Complete());
    }
    taken = out.taken;
    if (framing_ == Framing::Frames && out.taken == write.size()) {
        // Confirmed at once, as a device acknowledges a USB transfer before it answers it; a
        // write the device closed the link in the middle of is never confirmed.
        if (!Send(connection, MakeFrame(FrameKind::Taken))) {
            return false;
        }
    }
    if (!out.reply.empty()) {
        if (delayMs > 0 &&
            posix::WaitFor(-1, 0, stop_.ReadFd(), delayMs) != posix::Waited::TimedOut) {
            return false;
        }
        const bool sent = framing_ == Framing::Frames
                              ? Send(connection, MakeFrame(FrameKind::Reply, out.reply))
                              : Send(connection, out.reply);
        if (!sent) {
            return false;
        }
    }
    return !hangUp;
}

bool DeviceServer::Send(Connection& connection, std::span<const std::uint8_t> bytes) const {
    if (!connection.hostListens) {
        return true;
    }
    switch (SendAll(connection.socket.Get(), bytes)) {
        case Sent::All:
            return true;
        case Sent::Refused:
            connection.hostListens = false;
            return true;
        case Sent::Stopped:
            break;
    }
    return false;
}

DeviceServer::Sent DeviceServer::SendAll(int socket, std::span<const std::uint8_t> bytes) const {
    while (!bytes.empty()) {
        // A reply is a byte or ten and the socket has room for it all but always: send at
        // once, and wait only when the host has stopped reading.
        const ssize_t n = posix::RetryOnEintr([&] {
            return ::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        });
        if (n >= 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(n));
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return Sent::Refused;
        }
        switch (posix::WaitFor(socket, POLLOUT, stop_.ReadFd(), posix::Deadline::Never())) {
            case posix::Waited::Ready:
                break;
            case posix::Waited::Woken:
                return Sent::Stopped;
            case posix::Waited::TimedOut:
            case posix::Waited::Failed:
                return Sent::Refused;
        }
    }
    return Sent::All;
}

}  // namespace qf580::sim
