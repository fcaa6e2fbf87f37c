#include "sim/TcpDeviceServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <stdexcept>

namespace qf580::sim {

std::string LoopbackBindAddress(const std::string& requested) {
    if (requested == "127.0.0.1" || requested == "localhost") {
        return "127.0.0.1";
    }
    if (requested == "::1") {
        return "::1";
    }
    return {};
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
    posix::UniqueFd listener(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener) {
        Fail("socket");
    }
    const int yes = 1;
    ::setsockopt(listener.Get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
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
    if (::bind(listener.Get(), reinterpret_cast<sockaddr*>(&storage), length) != 0) {
        Fail("bind " + address_ + " port " + std::to_string(port));
    }
    if (::listen(listener.Get(), 4) != 0) {
        Fail("listen");
    }
    length = sizeof storage;
    if (::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        Fail("getsockname");
    }
    port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6&>(storage).sin6_port
                     : reinterpret_cast<sockaddr_in&>(storage).sin_port);
    Start(std::move(listener));
}

TcpDeviceServer::~TcpDeviceServer() {
    StopAndJoin();
}

}  // namespace qf580::sim
