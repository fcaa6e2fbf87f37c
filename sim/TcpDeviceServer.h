// In-process front-ends that serve the device model over loopback sockets: TCP on 127.0.0.1
// (or ::1) as the device's network port, and a Unix socket for the USB stand-in driver.
// Each serves one connection at a time on its own thread, with a fresh model per connection;
// a device serves one host.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "DeviceModel.h"
#include "UniqueFd.h"

namespace qf580::sim {

// The address a TCP front-end may bind: "127.0.0.1" and "localhost" give "127.0.0.1", "::1"
// gives "::1"; anything else is refused (empty result). The simulator must never be reachable
// from the network.
std::string LoopbackBindAddress(const std::string& requested);

class DeviceServer {
  public:
    // Called on the server's thread when a connection has ended, with that connection's model.
    using ConnectionEnd = std::function<void(const DeviceModel&)>;

    DeviceServer(const DeviceServer&) = delete;
    DeviceServer& operator=(const DeviceServer&) = delete;
    virtual ~DeviceServer();

    // The plan for connections accepted from now on.
    void SetPlan(FaultPlan plan);

    // The current connection's model, or the last one's once it has ended (a fresh model
    // before the first connection). Copies, safe from any thread.
    DeviceModel model() const;
    Received received() const;
    std::string state() const;
    bool complete() const;

    std::size_t connectionsAccepted() const;
    std::size_t connectionsEnded() const;
    // Waits until `count` connections have ended; false at the time limit.
    bool WaitForConnectionsEnded(std::size_t count, std::chrono::milliseconds limit) const;

  protected:
    // How the host's writes arrive. A TCP stream doesn't keep write boundaries, so each read
    // becomes one Feed; the USB stand-in frames every write with a 4-byte big-endian length,
    // so each of its writes is one Feed, as a USB transfer is.
    enum class Framing { Stream, LengthPrefixed };

    DeviceServer(Framing framing, FaultPlan plan, ConnectionEnd onEnd);
    // Derived constructors call this once their listening socket is ready.
    void Start(UniqueFd listener);
    void StopAndJoin();

  private:
    void Run();
    void Serve(UniqueFd connection);
    // Feeds one write and delivers the answer; false when the connection is to end.
    // `untaken`: how many bytes at the write's end the device did not take (it closed first).
    bool Deliver(int connection, std::span<const std::uint8_t> write, std::size_t& untaken);
    bool WaitForWake(int timeoutMs) const;  // true if woken (stop requested)

    Framing framing_;
    ConnectionEnd onEnd_;
    UniqueFd listener_;
    UniqueFd wakeRead_;
    UniqueFd wakeWrite_;
    std::thread thread_;

    mutable std::mutex mutex_;
    mutable std::condition_variable ended_;
    FaultPlan plan_;
    DeviceModel model_;
    std::size_t accepted_ = 0;
    std::size_t endedCount_ = 0;
};

class TcpDeviceServer : public DeviceServer {
  public:
    // Listens on `bindAddress` (loopback only; std::invalid_argument otherwise) and `port`
    // (0: an ephemeral one). std::runtime_error if the socket can't be set up.
    explicit TcpDeviceServer(FaultPlan plan = {}, std::uint16_t port = 0,
                             const std::string& bindAddress = "127.0.0.1",
                             ConnectionEnd onEnd = {});
    ~TcpDeviceServer() override;

    std::uint16_t port() const { return port_; }
    const std::string& address() const { return address_; }

  private:
    std::string address_;
    std::uint16_t port_ = 0;
};

class UnixDeviceServer : public DeviceServer {
  public:
    // Listens on the Unix socket `path`, replacing a stale socket there; removes it at the end.
    explicit UnixDeviceServer(std::string path, FaultPlan plan = {}, ConnectionEnd onEnd = {});
    ~UnixDeviceServer() override;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace qf580::sim
