#include "transfer/Ttrans.h"

#include <array>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "transfer/SetCount.h"

namespace qf580 {

namespace {

constexpr std::string_view kUpdateMode = ":UP:EXEC\r\n";
constexpr std::string_view kSync = "U";
constexpr std::uint8_t kSyncReply = 0xAA;
constexpr std::string_view kIdent = "QUILLMAR\r\n";
constexpr std::uint8_t kHeaderSizeByte = static_cast<std::uint8_t>(kHeaderSize);
constexpr std::uint8_t kAck = 0x59;  // "Y"
constexpr std::uint8_t kEndByte = 0x00;
// The device acknowledges the START record and every 64th record after it (1, 65, 129, ...).
constexpr int kAckInterval = 64;

// A failed allocation must end the transfer with an outcome, not take the thread down.
std::unique_ptr<std::uint8_t[]> ObtainFastBuffer() {
    try {
        return std::make_unique_for_overwrite<std::uint8_t[]>(kFastBufferSize);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// What the worker tells its host of its progress: the counts of every write that reached the
// device, kept so that they never go back and reach the totals exactly with the last END byte.
class ProgressBook {
  public:
    explicit ProgressBook(TransHost& host) : host_(host) {}

    // Nothing sent yet; the totals as far as the disks could be counted.
    void Begin(const SetTotals& totals) {
        progress_.totals = totals;
        Report();
    }

    // Disk 2 has been counted after all: the host can show a percent from now on. Never
    // totals that the writes have already outrun.
    void LateTotals(const SetTotals& totals) {
        if (!progress_.totals.Known() && totals.Known() &&
            progress_.sent.bytes < totals.all.bytes) {
            progress_.totals = totals;
            Report();
        }
    }

    // A write of `bytes` reached the device, carrying `records` records of `pass` (from 1;
    // 0 for the header) up to the record at `lastIndex`.
    void Wrote(std::size_t bytes, std::uint64_t records, int pass, int lastIndex) {
        progress_.sent.bytes += bytes;
        progress_.sent.records += records;
        if (pass > 0) {
            StreamCount& inPass = passSent_[static_cast<std::size_t>(pass - 1)];
            inPass.bytes += bytes;
            inPass.records += records;
            progress_.pass = pass;
            progress_.recordIndex = lastIndex;
        }
        if (progress_.totals.Known() && progress_.sent.bytes >= progress_.totals.all.bytes) {
            // More than was counted, or all of it before the last END: the disks have changed
            // since they were counted, and the percent would lie.
            progress_.totals = {};
        }
        Report();
    }

    // The END of the last pass reached the device, and the device has confirmed every byte:
    // what was sent is the set.
    void WroteLastEnd(int pass, int index) {
        progress_.sent.bytes += 1;
        passSent_[static_cast<std::size_t>(pass - 1)].bytes += 1;
        progress_.pass = pass;
        progress_.recordIndex = index;
        progress_.totals.passCount = pass;
        progress_.totals.passes = passSent_;
        progress_.totals.all = progress_.sent;
        Report();
    }

  private:
    void Report() { host_.ReportProgress(progress_); }

    TransHost& host_;
    TransferProgress progress_;
    std::array<StreamCount, kMaxPasses> passSent_{};
};

}  // namespace

TTrans::TTrans(TransHost& host, ChosenFile file, TransEnvironment env)
    : host_(host),
      file_(std::move(file)),
      link_(host.Settings(), env.timeouts, std::move(env.usb), &terminated_),
      thread_(&TTrans::RunTransfer, this) {}

TTrans::~TTrans() {
    Terminate();
    if (std::this_thread::get_id() == workerId_.load()) {
        // Disposed of from its own end notice: nothing of this object is touched after
        // TransferEnded, so the thread may finish on its own.
        thread_.detach();
        return;
    }
    WaitFor();
}

void TTrans::WaitFor() {
    if (std::this_thread::get_id() == workerId_.load()) {
        return;  // the worker cannot wait for its own end
    }
    std::call_once(joined_, [this] {
        if (thread_.joinable()) {
            thread_.join();
        }
    });
}

void TTrans::RunTransfer() {
    workerId_.store(std::this_thread::get_id());
    std::unique_ptr<std::uint8_t[]> FastBuffer = ObtainFastBuffer();
    // Without the buffer nothing has been sent yet; "Cannot open port" tells the operator
    // exactly that: the device was not touched and the transfer may simply be started again.
    Outcome outcome = Outcome::CannotOpenPort;
    if (FastBuffer) {
        try {
            outcome = Transfer(FastBuffer.get());
        } catch (...) {
            // A host call or an allocation failed mid-transfer: the device is in an
            // interrupted state, just as after a failed send.
            outcome = Outcome::CommError;
        }
    }

    // The ending steps run after every outcome; none of them may be skipped because an
    // earlier one failed.
    try {
        host_.SetStatus(std::string(OutcomeText(outcome)));
    } catch (...) {
    }
    FastBuffer.reset();
    ClosePort();
    DiskFile_.Close();
    // Set before the end notice, so that TransferEnded is the last touch of this object: a
    // host may dispose of the worker as soon as it has the notice.
    finished_.store(true);
    try {
        host_.TransferEnded(outcome);
    } catch (...) {
    }
}

Outcome TTrans::Transfer(std::uint8_t* FastBuffer) {
    RecordBuffer record{};
    std::size_t batchCount = 0;
    // What the held batch carries, for the progress report once it has been written.
    std::uint64_t batchRecords = 0;
    int batchPass = 0;
    int batchLast = 0;
    int lastEndIndex = 0;
    ProgressBook progress(host_);

    auto send = [this](std::string_view bytes) {
        return SendData(bytes.data(), static_cast<int>(bytes.size())) != 0;
    };
    auto recvByte = [this, &record]() -> std::optional<std::uint8_t> {
        if (RecvData(record.data(), 1) == 0) {
            return std::nullopt;
        }
        return record[0];
    };
    // Held records go out before anything that follows them, whatever the fast-transfer flag
    // says now: a flag switched off mid-batch must neither drop nor overtake them.
    auto flush = [&] {
        if (batchCount == 0) {
            return true;
        }
        const std::size_t len = batchCount;
        batchCount = 0;
        if (SendData(FastBuffer, static_cast<int>(len)) == 0) {
            return false;
        }
        progress.Wrote(len, std::exchange(batchRecords, 0), batchPass, batchLast);
        return true;
    };
    auto recvAck = [&] { return flush() && recvByte() == kAck; };

    int diskNo = 1;
    if (OpenDisk(diskNo, file_.name, kRomTypeAny, file_.dir, DiskFile_, host_) == -1) {
        return Outcome::Aborted;
    }
    const std::optional<int> romType = IdentifyRomType(DiskFile_);
    if (!romType) {
        return Outcome::InvalidRomType;
    }
    const int passCount = PassCount(*romType);
    StreamCounter counter = CountSet(file_.dir, file_.name, *romType);
    progress.Begin(counter.Totals());

    host_.SetStatus("Searching for KV6200");
    if (OpenPort() == 0) {
        // A stop that ended the wait for the device's answer ends the transfer as a stop
        // anywhere else does.
        return Terminated() ? Outcome::Aborted : Outcome::CannotOpenPort;
    }
    if (!send(kUpdateMode) || !send(kSync)) {
        return Outcome::CommError;
    }
    std::optional<std::uint8_t> reply = recvByte();
    if (!reply) {
        return Outcome::CommError;
    }
    if (*reply != kSyncReply) {
        return Outcome::SetupFailure;
    }

    if (!send(kIdent)) {
        return Outcome::CommError;
    }
    const int identLen = static_cast<int>(kIdent.size());
    if (RecvData(record.data(), identLen) == 0 ||
        CutAtZero(std::string_view(reinterpret_cast<const char*>(record.data()),
                                   static_cast<std::size_t>(identLen))) != kIdent) {
        return Outcome::NoIdent;
    }

    host_.SetStatus("Sending Header");
    if (!send(std::string_view(reinterpret_cast<const char*>(&kHeaderSizeByte), 1))) {
        return Outcome::CommError;
    }
    reply = recvByte();
    if (!reply) {
        return Outcome::CommError;
    }
    if (*reply != kHeaderSizeByte) {
        return Outcome::HeaderSizeFailure;
    }

    std::array<std::uint8_t, kHeaderSize> header{};
    DiskFile_.Seek(0);
    if (DiskFile_.Read(header.data(), header.size()) != header.size()) {
        return Outcome::IncorrectInput;
    }
    if (SendData(header.data(), static_cast<int>(header.size())) == 0) {
        return Outcome::CommError;
    }
    progress.Wrote(header.size(), 0, 0, -1);
    reply = recvByte();
    if (!reply) {
        return Outcome::CommError;
    }
    if (*reply != kAck) {
        return Outcome::HeaderError;
    }

    for (int pass = 0; pass < passCount; ++pass) {
        for (int index = 0;; ++index) {
            if (Terminated()) {
                return Outcome::Aborted;
            }
            int r = ReadRecord(DiskFile_, record);
            while (r == kRecordEof) {
                // A record that disk 1 cuts short is dropped; the stream goes on with the
                // first record of the next disk, at the same record index.
                if (diskNo >= 2) {
                    return Outcome::NoEnd;
                }
                DiskFile_.Close();
                ++diskNo;
                if (OpenDisk(diskNo, file_.name, *romType, file_.dir, DiskFile_, host_) == -1) {
                    return Outcome::Aborted;
                }
                DiskFile_.Seek(static_cast<long>(kHeaderSize));
                if (CountDisk2(counter, file_.dir, file_.name)) {
                    progress.LateTotals(counter.Totals());
                }
                r = ReadRecord(DiskFile_, record);
            }
            if (r == kRecordBadChecksum) {
                return Outcome::BadChecksum;
            }
            if (r == kRecordEnd) {
                if (!flush() || !SendData(&kEndByte, 1)) {
                    return Outcome::CommError;
                }
                if (pass + 1 == passCount) {
                    lastEndIndex = index;  // counted once the device has confirmed it
                } else {
                    progress.Wrote(1, 0, pass + 1, index);
                }
                break;
            }

            const auto len = static_cast<std::size_t>(r);
            if (index != 0 && host_.Settings().FastTrans()) {
                // A batch never exceeds 64 records of at most 512 bytes between two
                // acknowledgement points; the check only guards the buffer's end.
                if (batchCount + len > kFastBufferSize && !flush()) {
                    return Outcome::CommError;
                }
                std::memcpy(FastBuffer + batchCount, record.data(), len);
                batchCount += len;
                ++batchRecords;
                batchPass = pass + 1;
                batchLast = index;
            } else if (!flush() || SendData(record.data(), r) == 0) {
                return Outcome::CommError;
            } else {
                progress.Wrote(len, 1, pass + 1, index);
            }

            if (index == 0) {
                host_.SetStatus("Sending START record");
                if (!recvAck()) {
                    return Outcome::CommError;
                }
                std::this_thread::yield();
            } else if (index % kAckInterval == 1) {
                if (!flush()) {
                    return Outcome::CommError;
                }
                host_.SetStatus("Sending (" + std::to_string(index) + ") Record");
                if (!recvAck()) {
                    return Outcome::CommError;
                }
                if (Terminated()) {
                    return Outcome::Aborted;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    }
    // Nothing answers the last END byte, nor the records sent since the last acknowledgement:
    // a device that was gone before they arrived must not end as a success.
    if (ConfirmDelivery() == 0) {
        return Outcome::CommError;
    }
    // Only now is the last byte known to be in the device: 100% and "Transfer completed" go
    // together.
    progress.WroteLastEnd(passCount, lastEndIndex);
    return Outcome::Completed;
}

}  // namespace qf580
