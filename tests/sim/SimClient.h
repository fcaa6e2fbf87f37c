// A host's end of a loopback connection to the simulator, for the simulator's tests.
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

#include "SimTestSupport.h"
#include "UniqueFd.h"

namespace qf580::sim::test {

using namespace std::chrono_literals;

class Client {
  public:
    static Client Tcp(std::uint16_t port) {
        Client c(::socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        if (::connect(c.fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            throw std::runtime_error("connect failed");
        }
        return c;
    }
    static Client Unix(const std::string& path) {
        Client c(::socket(AF_UNIX, SOCK_STREAM, 0));
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        if (::connect(c.fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            throw std::runtime_error("connect failed");
        }
        return c;
    }

    void Send(const Bytes& bytes) {
        ASSERT_EQ(::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    void SendFrame(const Bytes& bytes) {
        const auto n = static_cast<std::uint32_t>(bytes.size());
        Bytes frame{static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
                    static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
        frame.insert(frame.end(), bytes.begin(), bytes.end());
        Send(frame);
    }
    // Up to `count` bytes, waiting at most `limit` for each; stops early at the peer's close.
    Bytes Receive(std::size_t count, std::chrono::milliseconds limit = 2000ms) {
        Bytes got;
        eof_ = false;
        while (got.size() < count) {
            pollfd p{fd_.get(), POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) {
                break;
            }
            std::uint8_t byte;
            if (::recv(fd_.get(), &byte, 1, 0) != 1) {
                eof_ = true;
                break;
            }
            got.push_back(byte);
        }
        return got;
    }
    bool sawClose() const { return eof_; }
    void Close() { fd_.reset(); }
    int fd() const { return fd_.get(); }

  private:
    explicit Client(int fd) : fd_(fd) {}
    UniqueFd fd_;
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
