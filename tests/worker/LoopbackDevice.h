// The device model behind a TCP listener on 127.0.0.1, for one connection: what the worker's
// real TCP/IP link talks to in the end-to-end tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <thread>
#include <vector>

#include "DeviceModel.h"

namespace qf580::test {

class LoopbackDevice {
  public:
    explicit LoopbackDevice(sim::FaultPlan plan = {}) : model_(std::move(plan)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        socklen_t len = sizeof addr;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            ::listen(listener_, 1) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
            ::pipe(wake_) != 0) {
            Close(listener_);
            throw std::runtime_error("cannot listen on 127.0.0.1");
        }
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    LoopbackDevice(const LoopbackDevice&) = delete;
    LoopbackDevice& operator=(const LoopbackDevice&) = delete;
    ~LoopbackDevice() {
        const char byte = 0;
        if (::write(wake_[1], &byte, 1) < 0) {
            // The server then ends with its connection.
        }
        Join();
        Close(listener_);
        Close(wake_[0]);
        Close(wake_[1]);
    }

    std::uint16_t port() const { return port_; }

    // Waits until the connection has ended (the host closed it, or the device did).
    void Join() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    // After Join() only.
    const sim::DeviceModel& model() const { return model_; }
    bool connected() const { return connected_; }

  private:
    static void Close(int& fd) {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }

    // False when woken to stop.
    bool WaitReadable(int fd) const {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        while (::poll(fds, 2, -1) < 0) {
        }
        return fds[1].revents == 0;
    }

    void Serve() {
        if (!WaitReadable(listener_)) {
            return;
        }
        int conn = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) {
            return;
        }
        connected_ = true;
        std::vector<std::uint8_t> buf(65536);
        while (WaitReadable(conn)) {
            const ssize_t n = ::read(conn, buf.data(), buf.size());
            if (n <= 0) {
                break;
            }
            const sim::DeviceModel::Output out =
                model_.Feed(std::span<const std::uint8_t>(buf.data(), static_cast<std::size_t>(n)));
            if (!out.reply.empty() && model_.plan().replyDelayMs > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(model_.plan().replyDelayMs));
            }
            if (!out.reply.empty() &&
                ::send(conn, out.reply.data(), out.reply.size(), MSG_NOSIGNAL) < 0) {
                break;
            }
            if (out.close) {
                break;
            }
        }
        Close(conn);
    }

    sim::DeviceModel model_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    std::atomic<bool> connected_{false};
    std::thread thread_;
};

}  // namespace qf580::test
