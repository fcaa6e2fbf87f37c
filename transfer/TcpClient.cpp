#include "transfer/TcpClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "posix/Eintr.h"
#include "posix/Poll.h"

namespace qf580 {

namespace {

// How often the send queue is looked at while bytes wait for their acknowledgement: the
// system offers no event for "everything acknowledged", so the wait sleeps in steps that grow
// from a fraction of a round trip on a local network to a few tens of milliseconds.
constexpr int kFirstAckStepMs = 1;
constexpr int kLongestAckStepMs = 32;

// How often a wait that a stop request may end looks at it.
constexpr int kStopSliceMs = 50;

// Waits as posix::WaitFor does, and gives Woken soon after `stop`, when given, is set. The
// request is a flag, not a descriptor, so the wait looks at it in slices.
posix::Waited WaitWatching(int fd, short events, const std::atomic<bool>* stop,
                           posix::Deadline deadline) {
    if (stop == nullptr) {
        return posix::WaitFor(fd, events, -1, deadline);
    }
    for (;;) {
        if (stop->load()) {
            return posix::Waited::Woken;
        }
        const int left = deadline.MsLeft();
        const int slice = left < 0 ? kStopSliceMs : std::min(left, kStopSliceMs);
        const posix::Waited waited = posix::WaitFor(fd, events, -1, slice);
        if (waited != posix::Waited::TimedOut || deadline.Passed()) {
            return waited;
        }
    }
}

// Waits for a connect begun without blocking.
bool FinishConnect(int fd, const std::atomic<bool>* stop, int limitMs) {
    if (WaitWatching(fd, POLLOUT, stop, posix::Deadline::In(limitMs)) != posix::Waited::Ready) {
        return false;
    }
    int error = 0;
    socklen_t size = sizeof error;
    return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

}  // namespace

bool TcpClient::Open(const std::atomic<bool>* stop, int limitMs) {
    Close();
    // c_str() would silently cut a text at an embedded 0 and connect somewhere else.
    if (address_.empty() || address_.find('\0') != std::string::npos || port_ == 0) {
        return false;
    }
    // INADDR_NONE is also the value of "255.255.255.255"; the broadcast address is never a
    // device, so refusing it along with the texts that do not convert loses nothing.
    const in_addr_t address = ::inet_addr(address_.c_str());
    if (address == INADDR_NONE) {
        return false;
    }
    // Non-blocking for the connect only: a blocking one could be neither stopped nor
    // limited.
    posix::UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket) {
        return false;
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port_);
    target.sin_addr.s_addr = address;
    if (::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
        if ((errno != EINPROGRESS && errno != EINTR) ||
            !FinishConnect(socket.Get(), stop, limitMs)) {
            return false;
        }
    }
    // Blocking from here on: a receive waits in the one call that takes the reply, as long as
    // the stream's receive limit lets it. The flag was the only status flag the socket had.
    if (::fcntl(socket.Get(), F_SETFL, 0) != 0) {
        return false;
    }
    socket_ = std::move(socket);
    return true;
}

SocketStream::SocketStream(int socket, int timeoutMs, const std::atomic<bool>* stop)
    : socket_(socket), timeoutMs_(timeoutMs), stop_(stop) {}

bool SocketStream::LimitEachReceive(int ms) {
    if (ms == receiveLimitMs_) {
        return true;
    }
    timeval limit{};
    limit.tv_sec = ms / 1000;
    limit.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
    if (::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
        return false;
    }
    receiveLimitMs_ = ms;
    return true;
}

int SocketStream::Read(void* buf, int len, int limitMs) {
    if (len <= 0 || socket_ < 0) {
        return 0;
    }
    const posix::Deadline deadline = posix::Deadline::In(std::max(limitMs, 0));
    // The reply is waited for in the call that takes it, as a bare blocking read would: one
    // call for an answer that comes within the slice, where a look, a readiness wait and a
    // read would make three. The socket's receive limit cuts the wait into slices, so a stop
    // request ends it soon; the last slice ends at the deadline. A receive cut short by its
    // limit leaves no request behind. Bytes already there are taken whatever the stop says.
    for (;;) {
        const bool stopped = stop_ != nullptr && stop_->load();
        const int left = deadline.MsLeft();
        int flags = MSG_DONTWAIT;
        if (!stopped && left != 0) {
            const int slice = left < 0 ? kStopSliceMs : std::min(left, kStopSliceMs);
            if (LimitEachReceive(slice)) {
                flags = 0;
            } else if (posix::WaitFor(socket_, POLLIN, -1, slice) == posix::Waited::Failed) {
                return 0;
            }
        }
        // A signal ends a waiting receive early even where its handler asks for calls to be
        // restarted; it counts as the end of a slice, so that the deadline and the stop
        // request are looked at again before the next.
        const ssize_t n = ::recv(socket_, buf, static_cast<std::size_t>(len), flags);
        if (n > 0) {
            return static_cast<int>(n);
        }
        if (n == 0) {
            return 0;  // the peer closed the connection
        }
        if (errno == EINTR) {
            continue;
        }
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || stopped || left == 0) {
            return 0;
        }
    }
}

int SocketStream::Write(const void* data, int len) {
    if (len <= 0 || socket_ < 0) {
        return 0;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    const posix::Deadline deadline = posix::Deadline::In(std::max(timeoutMs_, 0));
    int done = 0;
    // A blocking send of a large buffer may wait for the peer without bound; handing over
    // only what fits each time keeps the whole write inside its limit.
    while (done < len) {
        const ssize_t n = posix::RetryOnEintr([&] {
            return ::send(socket_, bytes + done, static_cast<std::size_t>(len - done),
                          MSG_NOSIGNAL | MSG_DONTWAIT);
        });
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            break;  // reset, closed by the peer, or another error on the connection
        }
        if (deadline.Passed() ||
            posix::WaitFor(socket_, POLLOUT, -1, deadline) != posix::Waited::Ready) {
            break;
        }
    }
    return done;
}

bool SocketStream::WaitUntilAcknowledged() {
    if (socket_ < 0) {
        return false;
    }
    const posix::Deadline deadline = posix::Deadline::In(std::max(timeoutMs_, 0));
    int stepMs = kFirstAckStepMs;
    for (;;) {
        // Bytes written and not yet acknowledged, sent or not. TCP_INFO's counts don't add up
        // to this: tcpi_unacked counts segments, not bytes, and tcpi_notsent_bytes only the
        // bytes not sent yet. The count stays right after a reset.
        int unacknowledged = 0;
        if (::ioctl(socket_, SIOCOUTQ, &unacknowledged) != 0) {
            return false;
        }
        if (unacknowledged == 0) {
            return true;
        }
        // We never close or shut down our end before this, so a closed connection can only
        // come from a reset: the peer refused the bytes, or was gone when they arrived. They
        // will never be acknowledged now. (A peer's normal close leaves the connection half
        // open, and it still acknowledges what it took before.)
        tcp_info info{};
        socklen_t size = sizeof info;
        if (::getsockopt(socket_, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
            info.tcpi_state == TCP_CLOSE) {
            return false;
        }
        const int left = deadline.MsLeft();
        if (left == 0) {
            return false;
        }
        // Asks for no events: the wait ends early only on an error or a hang-up, after which
        // nothing more will be acknowledged; one last look tells whether it all was.
        pollfd p{socket_, 0, 0};
        const int n = ::poll(&p, 1, std::min(stepMs, left));
        if (n > 0 || (n < 0 && errno != EINTR)) {
            return ::ioctl(socket_, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0;
        }
        stepMs = std::min(stepMs * 2, kLongestAckStepMs);
    }
}

}  // namespace qf580
