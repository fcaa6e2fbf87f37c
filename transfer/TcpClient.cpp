#include "TcpClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "Eintr.h"
#include "Poll.h"

namespace qf580 {

namespace {

// A connect cut short by a signal goes on in the background; wait for its end like the
// blocking call would have, then take its outcome.
bool FinishInterruptedConnect(int fd) {
    if (posix::WaitFor(fd, POLLOUT, -1, posix::Deadline::Never()) != posix::Waited::Ready) {
        return false;
    }
    int error = 0;
    socklen_t size = sizeof error;
    return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

}  // namespace

bool TcpClient::Open() {
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
    posix::UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket) {
        return false;
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port_);
    target.sin_addr.s_addr = address;
    if (::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
        if (errno != EINTR || !FinishInterruptedConnect(socket.Get())) {
            return false;
        }
    }
    socket_ = std::move(socket);
    return true;
}

SocketStream::SocketStream(int socket, int timeoutMs) : socket_(socket), timeoutMs_(timeoutMs) {}

bool SocketStream::WaitForData(int ms) const {
    return posix::WaitFor(socket_, POLLIN, -1, std::max(ms, 0)) == posix::Waited::Ready;
}

int SocketStream::Read(void* buf, int len) {
    if (len <= 0 || socket_ < 0) {
        return 0;
    }
    const posix::Deadline deadline = posix::Deadline::In(std::max(timeoutMs_, 0));
    // Ask the system for bytes only once they are there, so that a read that gives up leaves
    // no request behind.
    for (;;) {
        if (posix::WaitFor(socket_, POLLIN, -1, deadline) != posix::Waited::Ready) {
            return 0;
        }
        const ssize_t n = posix::RetryOnEintr(
            [&] { return ::recv(socket_, buf, static_cast<std::size_t>(len), MSG_DONTWAIT); });
        if (n > 0) {
            return static_cast<int>(n);
        }
        if (n == 0) {
            return 0;  // the peer closed the connection
        }
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || deadline.Passed()) {
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

}  // namespace qf580
