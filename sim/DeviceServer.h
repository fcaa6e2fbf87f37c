// What the simulator's loopback front-ends share: a listening socket served on a thread of its
// own, one connection at a time with a fresh device model each (a device serves one host), the
// fault plan's reply delay, and a stop that cuts every wait short.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "posix/UniqueFd.h"
#include "posix/WakePipe.h"
#include "sim/DeviceModel.h"

namespace qf580::sim {

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
    DeviceModel Model() const;
    ReceivedData Received() const;
    std::string State() const;
    bool Complete() const;

    std::size_t ConnectionsAccepted() const;
    // Waits until `count` connections have ended; false at the time limit.
    bool WaitForConnectionsEnded(std::size_t count, std::chrono::milliseconds limit) const;

  protected:
    // How the host's writes arrive: as a plain stream, each read becoming one write to the
    // model, or in frames (StandinFrames.h), each frame one write, confirmed once taken.
    enum class Framing { Stream, Frames };

    DeviceServer(Framing framing, FaultPlan plan, ConnectionEnd onEnd);
    // Derived constructors call this once their listening socket is ready.
    void Start(posix::UniqueFd listener);
    // Derived destructors call this first, so the thread never meets a half-destroyed object.
    void StopAndJoin();
    // Throws std::runtime_error naming `what` and errno's reason.
    [[noreturn]] static void Fail(const std::string& what);

  private:
    // One accepted connection. A host that no longer listens (its end refuses what the
    // device sends) still has what it wrote taken, to its end.
    struct Connection {
        posix::UniqueFd socket;
        bool hostListens = true;
    };
    enum class Sent { All, Stopped, Refused };

    void Run();
    void Serve(Connection connection);
    // Feeds one write to the model and delivers what the device does about it; false when the
    // connection is to end.
    // `taken`: how many bytes of the write the device took (fewer when it closed first).
    bool Deliver(Connection& connection, std::span<const std::uint8_t> write, std::size_t& taken);
    // Sends to a host that listens; false when the stop came first.
    bool Send(Connection& connection, std::span<const std::uint8_t> bytes) const;
    Sent SendAll(int socket, std::span<const std::uint8_t> bytes) const;

    const Framing framing_;
    const ConnectionEnd onEnd_;
    posix::UniqueFd listener_;
    // Woken once, to stop: never drained, so every later wait sees it too.
    posix::WakePipe stop_;
    std::thread thread_;

    mutable std::mutex mutex_;
    mutable std::condition_variable ended_;
    FaultPlan plan_;
    DeviceModel model_;
    std::size_t accepted_ = 0;
    std::size_t endedCount_ = 0;
};

}  // namespace qf580::sim
