#include "sim/UnixDeviceServer.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace qf580::sim {

UnixDeviceServer::UnixDeviceServer(std::string path, FaultPlan plan, ConnectionEnd onEnd)
    : DeviceServer(Framing::Frames, std::move(plan), std::move(onEnd)), path_(std::move(path)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.empty() || path_.size() >= sizeof address.sun_path) {
        throw std::invalid_argument("unusable socket path: " + path_);
    }
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    posix::UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener) {
        Fail("socket");
    }
    // A socket left behind by a simulator that was killed would make bind fail, so it is
    // replaced; one that a running simulator answers on, or anything that isn't a socket,
    // is left alone.
    struct stat status {};
    if (::lstat(path_.c_str(), &status) == 0 && S_ISSOCK(status.st_mode)) {
        posix::UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (probe &&
            ::connect(probe.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            throw std::runtime_error("another simulator is serving " + path_);
        }
        ::unlink(path_.c_str());
    }
    if (::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        Fail("bind " + path_);
    }
    if (::listen(listener.Get(), 4) != 0) {
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
