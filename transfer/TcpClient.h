// The TCP client behind ClientSocket1 and the timed stream behind SockStream.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

#include "posix/UniqueFd.h"

namespace qf580 {

// An IPv4 client that can be reused: every Open connects afresh to the target as it is set at
// that moment. It sets nothing that changes the connection and binds no local address; the
// connect keeps the system's own time limit unless given a shorter one, and a stop request
// ends it.
class TcpClient {
  public:
    // Numeric IPv4 text in the forms the standard conversion accepts; no name lookup.
    void SetAddress(std::string address) { address_ = std::move(address); }
    // A number outside 1 to 65535 is no port: Open then refuses it, rather than connect to
    // whatever port its low 16 bits name, which on a line of devices is another device.
    void SetPort(std::uint32_t portNo) {
        port_ = portNo <= kHighestPort ? static_cast<std::uint16_t>(portNo) : 0;
    }

    // Closes any earlier connection, then connects. False on every failure, and then the
    // client holds no socket. The connect waits no longer than `limitMs` (negative: the
    // system's own limit) and ends soon after `stop`, when given, is set.
    bool Open(const std::atomic<bool>* stop = nullptr, int limitMs = -1);
    void Close() { socket_.Reset(); }

    int Socket() const { return socket_.Get(); }

  private:
    static constexpr std::uint32_t kHighestPort = 65535;

    std::string address_;
    std::uint16_t port_ = 0;  // 0: none
    posix::UniqueFd socket_;
};

// Reads and writes over a connected, blocking socket owned by someone else, each bounded by
// one time limit; the socket's receive limit is the stream's to set, for its own waits. Giving up
// leaves nothing behind: no request stays with the system that could complete later, so a byte that
// arrives after a read gave up waits in the socket for the next read. Never raises SIGPIPE.
class SocketStream {
  public:
    // `stop`, when given, ends the waits for bytes to read soon after it is set.
    SocketStream(int socket, int timeoutMs, const std::atomic<bool>* stop = nullptr);

    // Reads up to `len` bytes, waiting up to `limitMs` for the first. Returns the number
    // read; 0 when nothing came in time or before a stop, the peer closed the connection or
    // the read failed. Bytes already there are read whatever the stop request says.
    int Read(void* buf, int len, int limitMs);
    // Writes all `len` bytes unless the time limit passes or the connection fails first.
    // Returns the number that went out.
    int Write(const void* data, int len);
    // Waits up to the time limit until the peer has acknowledged every byte written so far.
    // A write only hands bytes to the system, so this is what tells that they arrived. True
    // once nothing is left unacknowledged, also when the peer has closed the connection
    // since; false when it was reset or failed with bytes unacknowledged, or bytes are still
    // unacknowledged at the limit. Sends nothing.
    bool WaitUntilAcknowledged();

  private:
    // Sets the socket's limit on each blocking receive, where it is not that already.
    bool LimitEachReceive(int ms);

    int socket_;
    int timeoutMs_;
    const std::atomic<bool>* stop_;
    int receiveLimitMs_ = -1;  // -1: the system's own, none
};

}  // namespace qf580
