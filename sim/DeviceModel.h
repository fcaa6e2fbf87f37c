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
};

struct FaultPlan {
    std::vector<Fault> faults;
    int replyDelayMs = 0;  // front-ends wait this long before delivering each reply
};

// What the device received, for tests and the server's summary.
struct Received {
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
        // Bytes at the end of this write that came after the device closed the link: they
        // never reached it, and a front-end must not acknowledge them to the host.
        std::size_t untaken = 0;
    };

    // One write from the host, whole.
    Output Feed(std::span<const std::uint8_t> bytes);

    const Received& received() const { return received_; }
    const FaultPlan& plan() const { return plan_; }
    bool complete() const;
    // A short description of where the exchange stands: "complete", or the step it
    // stopped in ("waiting for record 65 of pass 1", "bad checksum in record 3 of pass 2", ...).
    std::string state() const;
    // Records received so far, over all passes.
    std::size_t recordCount() const;
    int passCount() const;  // from the header's ROM type line; 0 before the header
    int passesCompleted() const { return passesDone_; }
    // The device has stopped taking part: a refused header, a bad checksum, an unexpected
    // handshake byte or a fault that fired. Bytes that still arrive are recorded, not answered.
    bool stopped() const { return phase_ == Phase::Stopped; }

  private:
    enum class Phase { Exec, Ident, HeaderSize, Header, Records, Complete, Stopped };

    void Step(std::uint8_t byte, Output& out);
    // Answers `good` at `point`, unless the fault plan says otherwise; false when the
    // exchange ends here (a fault fired).
    bool Reply(ReplyPoint point, std::vector<std::uint8_t> good, Output& out);
    const Fault* FaultAt(ReplyPoint point) const;
    // Closes the link if a CloseAfterBytes fault names the number of bytes taken so far.
    void CloseIfDue();
    bool ApplyFault(const Fault& fault, ReplyPoint point, std::vector<std::uint8_t> good,
                    Output& out);
    void Stop(std::string why);
    std::string PointName(ReplyPoint point) const;
    void EndRecord();  // an END record: the pass is over

    FaultPlan plan_;
    Received received_;
    Phase phase_ = Phase::Exec;
    std::vector<std::uint8_t> pending_;  // bytes of the step in progress
    int passes_ = 0;
    int passesDone_ = 0;
    int currentPass_ = 0;           // 1-based while records flow
    int recordIndex_ = 0;           // index of the record being received, within its pass
    std::size_t recordLength_ = 0;  // whole length of the record being received, 0 if none
    bool closed_ = false;           // a Close fault fired
    std::size_t taken_ = 0;         // bytes taken since the connection began
    std::string error_;             // why the device stopped
};

// A sample update set for demos and tests. romType 0 MAIN, 1 SUB, 2 IRIG; with two disks the
// first ends in the middle of a record of the first pass, and the second starts with that
// record whole. Writes the files into dir, named from baseName as the reader derives disk
// names ("FW0000.q58" gives "FW0001.q58" and "FW0002.q58"), and returns their paths, disk 1
// (the file to choose) first. Throws std::invalid_argument or std::runtime_error.
struct SampleOptions {
    int romType = 0;
    int disks = 1;
    int recordsPerPass = 200;  // records after START
    unsigned seed = 1;
};
std::vector<std::string> WriteSampleSet(const std::string& dir, const std::string& baseName,
                                        const SampleOptions& options);

}  // namespace qf580::sim
