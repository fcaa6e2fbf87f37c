// Loopback peers and fake USB driver tables for the link tests.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/ShortTimeouts.h"
#include "transfer/DeviceLink.h"
#include "transfer/LinkSettings.h"
#include "transfer/RizEDUd.h"
#include "transfer/TcpClient.h"

namespace qf580::linktest {

using Bytes = std::vector<std::uint8_t>;
using posix::UniqueFd;
using Clock = std::chrono::steady_clock;

using test::ShortTimeouts;

inline long MsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

inline LinkSettingsValues TcpSettings(std::uint32_t port, std::string address = "127.0.0.1") {
    LinkSettingsValues v;
    v.UseUSB = 0;
    v.IPAddress = std::move(address);
    v.PortNo = port;
    return v;
}

inline LinkSettingsValues UsbSettings() {
    LinkSettingsValues v;
    v.UseUSB = 1;
    v.IPAddress = "127.0.0.1";
    v.PortNo = 1;
    return v;
}

// A device stand-in listening on 127.0.0.1 at an ephemeral port. Connections complete in the
// backlog, so a test can open the link first and accept afterwards on the same thread.
class Peer {
  public:
    explicit Peer(int receiveBuffer = 0) {
        listener_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!listener_) {
            throw std::runtime_error("socket");
        }
        if (receiveBuffer > 0) {
            // Inherited by accepted sockets; lets a test fill the path quickly.
            ::setsockopt(listener_.Get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer,
                         sizeof receiveBuffer);
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        socklen_t size = sizeof a;
        if (::bind(listener_.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listener_.Get(), 8) != 0 ||
            ::getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&a), &size) != 0) {
            throw std::runtime_error("listen");
        }
        port_ = ntohs(a.sin_port);
    }

    std::uint16_t Port() const { return port_; }

    // The next connection, or an empty descriptor when none arrives within `ms`.
    UniqueFd Accept(int ms = 2000) {
        pollfd p{listener_.Get(), POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) {
            return UniqueFd();
        }
        return UniqueFd(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    }

  private:
    UniqueFd listener_;
    std::uint16_t port_ = 0;
};

// A port on 127.0.0.1 where nothing listens (bound, then released).
inline std::uint16_t UnusedPort() {
    UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    ::bind(s.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(s.Get(), reinterpret_cast<sockaddr*>(&a), &size);
    return ntohs(a.sin_port);
}

inline void PeerSend(int fd, const Bytes& bytes) {
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
}

// Reads until `n` bytes came, the connection ended or `ms` passed.
inline Bytes PeerRead(int fd, std::size_t n, int ms = 2000) {
    Bytes got;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < n && Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) {
            continue;
        }
        std::uint8_t chunk[4096];
        const ssize_t r = ::recv(fd, chunk, std::min(sizeof chunk, n - got.size()), 0);
        if (r <= 0) {
            break;
        }
        got.insert(got.end(), chunk, chunk + r);
    }
    return got;
}

// True when the link's side has closed the connection (end of stream within `ms`).
inline bool PeerSeesClose(int fd, int ms = 2000) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) {
        return false;
    }
    std::uint8_t b;
    return ::recv(fd, &b, 1, MSG_DONTWAIT) == 0;
}

// A scriptable USB driver table that records every call.
struct FakeUsb {
    struct Read {
        std::int32_t result;
        std::int32_t count;
        std::uint8_t byte;
    };
    struct Write {
        std::int32_t handle;
        Bytes data;
        std::int32_t presetCount;
        std::int32_t timeoutMs;
    };
    struct State {
        std::int32_t openResult = 7;
        int opens = 0;
        std::vector<std::int32_t> closes;
        std::deque<Read> reads;  // empty: every further read fails
        Read whenEmpty{0, 0, 0};
        std::vector<std::int32_t> readHandles;
        std::vector<std::int32_t> readWanted;
        std::vector<std::int32_t> readTimeouts;
        std::vector<Write> writes;
        // What a write reports: its result and the count relative to the asked-for length.
        std::int32_t writeResult = 1;
        std::int32_t writeCountDelta = 0;
        bool throwing = false;
    };

    std::shared_ptr<State> s = std::make_shared<State>();

    UsbDriver Driver() const {
        UsbDriver d;
        auto st = s;
        d.OpenDevice = [st]() -> std::int32_t {
            ++st->opens;
            if (st->throwing) {
                throw std::runtime_error("open");
            }
            return st->openResult;
        };
        d.CloseDevice = [st](std::int32_t handle) -> std::int32_t {
            st->closes.push_back(handle);
            if (st->throwing) {
                throw std::runtime_error("close");
            }
            return 1;
        };
        d.ReadDevice = [st](std::int32_t handle, void* buf, std::int32_t wanted,
                            std::int32_t* count, std::int32_t timeoutMs) -> std::int32_t {
            st->readHandles.push_back(handle);
            st->readWanted.push_back(wanted);
            st->readTimeouts.push_back(timeoutMs);
            if (st->throwing) {
                throw std::runtime_error("read");
            }
            Read r = st->whenEmpty;
            if (!st->reads.empty()) {
                r = st->reads.front();
                st->reads.pop_front();
            }
            if (r.count > 0) {
                *static_cast<std::uint8_t*>(buf) = r.byte;
            }
            *count = r.count;
            return r.result;
        };
        d.WriteDevice = [st](std::int32_t handle, const void* data, std::int32_t len,
                             std::int32_t* count, std::int32_t timeoutMs) -> std::int32_t {
            const auto* p = static_cast<const std::uint8_t*>(data);
            st->writes.push_back(Write{handle, Bytes(p, p + len), *count, timeoutMs});
            if (st->throwing) {
                throw std::runtime_error("write");
            }
            *count = len + st->writeCountDelta;
            return st->writeResult;
        };
        return d;
    }
};

}  // namespace qf580::linktest
