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
};

struct Fault {
    FaultKind kind = FaultKind::WrongByte;
    ReplyPoint at = ReplyPoint::Sync;
    int pass = 1;         // RecordAck only: 1-based pass
    int recordIndex = 0;  // RecordAck only: index within the pass
    std::uint8_t byte = 0x4E;
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

  private:
    FaultPlan plan_;
    Received received_;
    // Parser state; its shape is the model's own business.
    int phase_ = 0;
    std::vector<std::uint8_t> pending_;
    int passes_ = 0;
    int currentPass_ = 0;
    int recordIndex_ = 0;
    bool silent_ = false;
    bool closed_ = false;
    std::string error_;
};

// A sample update set for demos and tests. romType 0 MAIN, 1 SUB, 2 IRIG; with two disks the
// first ends in the middle of the first pass. Writes the files into dir and returns the path
// of the file to choose (disk 1's name).
struct SampleOptions {
    int romType = 0;
    int disks = 1;
    int recordsPerPass = 200;  // records after START
    unsigned seed = 1;
};
std::vector<std::string> WriteSampleSet(const std::string& dir, const std::string& baseName,
                                        const SampleOptions& options);

}  // namespace qf580::sim
