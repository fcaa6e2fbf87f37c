// The device's side of the update protocol as pure bytes in, bytes out: no I/O, no clock.
// Front-ends (the TCP server, the USB stand-in driver, tests' fake driver tables) feed it
// each write they see and deliver what it answers.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qf580::sim {

// The points at which the device answers.
enum class ReplyPoint {
    Sync,        // 0xAA after ":UP:EXEC\r\n" and "U"
    Ident,       // the echo of "QUILLMAR\r\n"
    HeaderSize,  // the echo of 0x38
    HeaderAck,   // "Y" after the 56 header bytes
    RecordAck,   // "Y" after record index 0 and every index i with i mod 64 = 1
};

enum class FaultKind {
    WrongByte,  // answer `byte` instead (for Ident: the echo with its first byte replaced)
    Silence,    // answer nothing, now and from then on
    Close,      // close the link instead of answering
    // Close the link as soon as `bytes` bytes have arrived, counted from the connection's
    // first; the device takes (and answers) those and no more. `at` and the record fields
    // are not looked at.
    CloseAfterBytes,
};

struct Fault {
    FaultKind kind = FaultKind::WrongByte;
    ReplyPoint at = ReplyPoint::Sync;
    int pass = 1;         // RecordAck only: 1-based pass
    int recordIndex = 0;  // RecordAck only: index within the pass
    std::uint8_t byte = 0x4E;
    std::size_t bytes = 0;  // CloseAfterBytes only

    // Hangs up once `bytes` bytes have been taken, wherever in the exchange that is.
    static Fault CloseAfter(std::size_t bytes) {
        Fault f;
        f.kind = FaultKind::CloseAfterBytes;
        f.bytes = bytes;
        return f;
    }
};

struct FaultPlan {
    std::vector<Fault> faults;
    int replyDelayMs = 0;  // front-ends wait this long before delivering each reply
    // Keep what arrives (Received) for inspection. Off, only the header is kept and the rest
    // is counted: a simulator that serves set after set then costs no memory per byte.
    bool keepReceived = true;
    // Front-ends hang up once the transfer is complete, as a device that restarts into its
    // new firmware: the host has nothing more to send by then.
    bool closeWhenComplete = false;
    // The faults fire on a device's first this many connections only (0: on every one), as a
    // fixture whose contact settles after a try or two: what a host's retries are for.
    int faultConnections = 0;
};

// What the device received, for tests. Without FaultPlan::keepReceived only the header.
struct ReceivedData {
    std::vector<std::uint8_t> bytes;      // everything, in order
    std::vector<std::size_t> writeSizes;  // one entry per Feed call (where the transport shows it)
    std::vector<std::uint8_t> header;     // the 56 header bytes
    std::vector<std::vector<std::vector<std::uint8_t>>>
        passes;  // records (whole) per pass, END excluded
};

class DeviceModel {
  public:
    explicit DeviceModel(FaultPlan plan = {});

    struct Output {
        std::vector<std::uint8_t> reply;  // bytes to deliver to the host
        bool close = false;               // close the link after delivering `reply`
        // How many bytes of the write the device took: all of them, unless it closed the link
        // before the last (a device that stopped answering still takes what comes). What it
        // did not take never reached it, and a front-end must not acknowledge it to the host.
        std::size_t taken = 0;
    };

    // One write from the host, whole.
    Output Feed(std::span<const std::uint8_t> bytes);

    const ReceivedData& Received() const { return received_; }
    const FaultPlan& Plan() const { return plan_; }
    bool Complete() const;
    // A short description of where the exchange stands: "complete", or the step it
    // stopped in ("waiting for record 65 of pass 1", "bad checksum in record 3 of pass 2", ...).
    std::string State() const;
    // Records received so far, over all passes (END records not counted).
    std::size_t RecordCount() const { return recordsReceived_; }
    // Bytes received so far, kept or not.
    std::size_t ByteCount() const { return bytesReceived_; }
    // Of those, the bytes of the handshake, up to and with the header size: the rest is what
    // the host sends of the set (header, records, END), as its own check counts it.
    std::size_t HandshakeByteCount() const { return handshakeBytes_; }
    int PassCount() const;  // from the header's ROM type line; 0 before the header
    int PassesCompleted() const { return passesDone_; }
    // The device has stopped taking part: a refused header, a bad checksum, an unexpected
    // handshake byte or a fault that fired. Bytes that still arrive are recorded, not answered.
    bool Stopped() const { return phase_ == Phase::Stopped; }

  private:
    enum class Phase { Exec, Ident, HeaderSize, Header, Records, Complete, Stopped };

    void Step(std::uint8_t byte, Output& out);
    // Answers `good` at `point`, unless the fault plan says otherwise; false when the
    // exchange ends here (a fault fired).
    bool Reply(ReplyPoint point, std::vector<std::uint8_t> good, Output& out);
    const Fault* FaultAt(ReplyPoint point) const;
    // Closes the link if a CloseAfterBytes fault names the number of bytes taken so far.
    void CloseIfDue();
    // How many more bytes the device takes before such a fault closes it (SIZE_MAX: never).
    std::size_t BytesUntilClose() const;
    bool ApplyFault(const Fault& fault, ReplyPoint point, std::vector<std::uint8_t> good,
                    Output& out);
    void Stop(std::string why);
    std::string PointName(ReplyPoint point) const;
    void EndRecord();  // an END record: the pass is over
    // While records flow: takes the records (and END records) at the start of `bytes`, whole
    // where they lie or a part into pending_; returns how many bytes it took.
    std::size_t TakeRecords(std::span<const std::uint8_t> bytes, Output& out);
    // A whole record (count, data, checksum): checked, kept, and acknowledged where due.
    void RecordReceived(std::span<const std::uint8_t> record, Output& out);

    FaultPlan plan_;
    ReceivedData received_;
    Phase phase_ = Phase::Exec;
    std::vector<std::uint8_t> pending_;  // bytes of the step in progress
    int passes_ = 0;
    int passesDone_ = 0;
    int currentPass_ = 0;           // 1-based while records flow
    int recordIndex_ = 0;           // index of the record being received, within its pass
    std::size_t recordLength_ = 0;  // whole length of the record being received, 0 if none
    std::size_t bytesReceived_ = 0;
    std::size_t handshakeBytes_ = 0;
    std::size_t recordsReceived_ = 0;
    bool closed_ = false;    // a Close fault fired
    std::size_t taken_ = 0;  // bytes taken since the connection began
    std::string error_;      // why the device stopped
};

}  // namespace qf580::sim
