// A host's end of a loopback connection to the simulator, for the simulator's tests: over TCP as
// the device link, or over the stand-in driver's socket in its frames.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>

#include "posix/UniqueFd.h"
#include "sim/StandinFrames.h"
#include "tests/sim/SimTestSupport.h"

namespace qf580::sim::test {

using namespace std::chrono_literals;

class Client {
  public:
    static Client Tcp(std::uint16_t port) {
        Client c(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), false);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        if (::connect(c.fd_.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            throw std::runtime_error("connect failed");
        }
        return c;
    }
    static Client Unix(const std::string& path) {
        Client c(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0), true);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        if (::connect(c.fd_.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            throw std::runtime_error("connect failed");
        }
        return c;
    }

    void Send(const Bytes& bytes) {
        ASSERT_EQ(::send(fd_.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // One write of the stand-in driver.
    void SendFrame(const Bytes& bytes) { Send(MakeFrame(FrameKind::Write, bytes)); }
    // Up to `count` bytes of the device's answer, waiting at most `limit` for each; stops early
    // at the peer's close. On the stand-in's socket, confirmations are counted on the way.
    Bytes Receive(std::size_t count, std::chrono::milliseconds limit = 2000ms) {
        eof_ = false;
        while (replies_.size() < count && ReadMore(limit, count - replies_.size())) {
        }
        const std::size_t taken = std::min(count, replies_.size());
        Bytes got(replies_.begin(), replies_.begin() + static_cast<std::ptrdiff_t>(taken));
        replies_.erase(replies_.begin(), replies_.begin() + static_cast<std::ptrdiff_t>(taken));
        return got;
    }
    // The stand-in's socket only: how many writes the device has confirmed, once `count` have
    // been or `limit` passed without one more.
    int Confirmations(int count, std::chrono::milliseconds limit = 2000ms) {
        while (confirmations_ < count && ReadMore(limit, 0)) {
        }
        return confirmations_;
    }
    bool SawClose() const { return eof_; }
    void Close() { fd_.Reset(); }
    int Fd() const { return fd_.Get(); }

  private:
    Client(int fd, bool framed) : fd_(fd), framed_(framed) {}

    // Takes what comes within `limit` (on a plain stream, at most `wanted` bytes); false at the
    // limit or the peer's close.
    bool ReadMore(std::chrono::milliseconds limit, std::size_t wanted) {
        pollfd p{fd_.Get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) {
            return false;
        }
        std::uint8_t chunk[512];
        const ssize_t n = ::recv(fd_.Get(), chunk, framed_ ? sizeof chunk : wanted, 0);
        if (n <= 0) {
            eof_ = true;
            return false;
        }
        if (!framed_) {
            replies_.insert(replies_.end(), chunk, chunk + n);
            return true;
        }
        frames_.Add(std::span(chunk, static_cast<std::size_t>(n)));
        while (const auto frame = frames_.Next()) {
            if (frame->kind == FrameKind::Taken) {
                ++confirmations_;
            } else {
                EXPECT_EQ(frame->kind, FrameKind::Reply);
                replies_.insert(replies_.end(), frame->payload.begin(), frame->payload.end());
            }
        }
        EXPECT_FALSE(frames_.Broken());
        return true;
    }

    posix::UniqueFd fd_;
    bool framed_;
    FrameReader frames_;
    Bytes replies_;  // answered, not yet received by the test
    int confirmations_ = 0;
    bool eof_ = false;
};

// Runs the steps over `client`, checking each reply.
inline void RunSteps(Client& client, const std::vector<Step>& steps, bool framed = false) {
    for (std::size_t i = 0; i < steps.size(); ++i) {
        framed ? client.SendFrame(steps[i].write) : client.Send(steps[i].write);
        if (!steps[i].reply.empty()) {
            EXPECT_EQ(client.Receive(steps[i].reply.size()), steps[i].reply) << "step " << i;
        }
    }
}

}  // namespace qf580::sim::test
