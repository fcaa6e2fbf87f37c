#include "transfer/Ttrans.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "transfer/RecordStream.h"
#include "transfer/SentSet.h"
#include "transfer/SetCount.h"

namespace qf580 {

namespace {

constexpr std::string_view kUpdateMode = ":UP:EXEC\r\n";
constexpr std::string_view kSync = "U";
constexpr std::string_view kSyncReply = "\xAA";
constexpr std::string_view kIdent = "QUILLMAR\r\n";
// Sent, and echoed by the device.
constexpr std::string_view kHeaderSizeByte = "\x38";
static_assert(static_cast<std::size_t>(kHeaderSizeByte[0]) == kHeaderSize);
constexpr std::string_view kAck = "Y";  // 0x59
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
    : TTrans(host, std::move(file), std::move(env), true) {}

TTrans::TTrans(TransHost& host, ChosenFile file, TransEnvironment env, OnCallingThread)
    : TTrans(host, std::move(file), std::move(env), false) {}

TTrans::TTrans(TransHost& host, ChosenFile file, TransEnvironment env, bool ownThread)
    : host_(host),
      file_(std::move(file)),
      totals_(std::move(env.totals)),
      link_(host.Settings(), env.timeouts, std::move(env.usb), &terminated_),
      ownThread_(ownThread),
      thread_(ownThread ? std::thread(&TTrans::RunTransfer, this) : std::thread()) {}

TTrans::~TTrans() {
    Terminate();
    if (ownThread_ && std::this_thread::get_id() == workerId_.load()) {
        // Disposed of from its own end notice: nothing of this object is touched after
        // TransferEnded, so the thread may finish on its own.
        thread_.detach();
        return;
    }
    WaitFor();
}

void TTrans::RunHere() {
    if (ownThread_ || ranHere_.exchange(true)) {
        return;
    }
    RunTransfer();
}

void TTrans::WaitFor() {
    if (ownThread_ && std::this_thread::get_id() == workerId_.load()) {
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
    // A stop that cut a wait for the device's reply ends the transfer as a stop anywhere
    // else does, not as a silent device.
    if (outcome != Outcome::Completed && link_.Stopped()) {
        outcome = Outcome::Aborted;
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

std::optional<Outcome> TTrans::Expect(std::string_view reply, Outcome wrong, Outcome none) {
    // The longest reply, and the zero byte RecvData writes after what it received.
    std::array<std::uint8_t, kIdent.size() + 1> got{};
    const std::size_t len = std::min(reply.size(), kIdent.size());
    if (!RecvData(got.data(), static_cast<int>(len))) {
        return none;
    }
    // Compared as a zero-terminated string, as the identification is; a one-byte reply is never
    // zero, so for it this is the byte itself.
    if (CutAtZero(std::string_view(reinterpret_cast<const char*>(got.data()), len)) != reply) {
        return wrong;
    }
    return std::nullopt;
}

// One transfer's steps, in the order the device takes them; each says how the transfer ends
// where it cannot go on.
class TTrans::Steps {
  public:
    Steps(TTrans& worker, std::uint8_t* FastBuffer)
        : worker_(worker),
          host_(worker.host_),
          FastBuffer_(FastBuffer),
          progress_(worker.host_),
          stream_(worker.file_, worker.host_, worker.DiskFile_),
          sentSet_(worker.host_) {}

    Outcome Run() {
        if (const std::optional<Outcome> failed = OpenSet()) {
            return *failed;
        }
        if (const std::optional<Outcome> failed = Handshake()) {
            return *failed;
        }
        if (const std::optional<Outcome> failed = SendHeader()) {
            return *failed;
        }
        return SendRecords();
    }

  private:
    // Disk 1 found, identified and held to the check; the totals for progress.
    std::optional<Outcome> OpenSet() {
        if (const std::optional<StreamItem> failed = stream_.Open()) {
            return Fault(*failed);
        }
        if (const std::optional<Outcome> differs =
                sentSet_.Opened(1, stream_.Path(), worker_.DiskFile_)) {
            return differs;
        }
        if (worker_.totals_) {
            progress_.Begin(*worker_.totals_);
        } else {
            progress_.Begin(count_.emplace(worker_.file_).Totals());
        }
        return std::nullopt;
    }

    std::optional<Outcome> Handshake() {
        host_.SetStatus("Searching for KV6200");
        if (!worker_.OpenPort()) {
            // A stop that ended the wait for the device's answer ends the transfer as a stop
            // anywhere else does.
            return worker_.Terminated() ? Outcome::Aborted : Outcome::CannotOpenPort;
        }
        if (!Send(kUpdateMode) || !Send(kSync)) {
            return Outcome::CommError;
        }
        if (const std::optional<Outcome> failed =
                worker_.Expect(kSyncReply, Outcome::SetupFailure)) {
            return failed;
        }
        if (!Send(kIdent)) {
            return Outcome::CommError;
        }
        return worker_.Expect(kIdent, Outcome::NoIdent, Outcome::NoIdent);
    }

    std::optional<Outcome> SendHeader() {
        host_.SetStatus("Sending Header");
        if (!Send(kHeaderSizeByte)) {
            return Outcome::CommError;
        }
        if (const std::optional<Outcome> failed =
                worker_.Expect(kHeaderSizeByte, Outcome::HeaderSizeFailure)) {
            return failed;
        }
        const std::span<const std::uint8_t> header = stream_.Header();
        if (header.size() != kHeaderSize) {
            return Outcome::IncorrectInput;
        }
        sentSet_.Read(header);
        if (!worker_.SendData(header.data(), static_cast<int>(header.size()))) {
            return Outcome::CommError;
        }
        progress_.Wrote(header.size(), 0, 0, -1);
        return worker_.Expect(kAck, Outcome::HeaderError);
    }

    // Every record and END of every pass, across the disks, then the device's last word.
    Outcome SendRecords() {
        StreamItem item;
        while (!stream_.Finished()) {
            if (worker_.Terminated()) {
                return Outcome::Aborted;
            }
            item = stream_.Next();
            // A record that disk 1 cuts short is dropped; the stream goes on with the first
            // record of the next disk, at the same record index, with no stop looked at in
            // between.
            while (item.event == StreamEvent::DiskChanged) {
                if (count_ && count_->CountDisk2()) {
                    progress_.LateTotals(count_->Totals());
                }
                if (const std::optional<Outcome> differs =
                        sentSet_.Opened(stream_.DiskNo(), stream_.Path(), worker_.DiskFile_)) {
                    return *differs;
                }
                item = stream_.Next();
            }
            if (item.event == StreamEvent::Fault) {
                return Fault(item);
            }
            const std::optional<Outcome> failed =
                item.event == StreamEvent::End ? SendEnd(item) : SendRecord(item);
            if (failed) {
                return *failed;
            }
        }
        sentSet_.Finished();
        // Nothing answers the last END byte, nor the records sent since the last
        // acknowledgement: a device that was gone before they arrived must not end as a
        // success.
        if (!worker_.ConfirmDelivery()) {
            return Outcome::CommError;
        }
        // Only now is the last byte known to be in the device: 100% and "Transfer completed"
        // go together.
        progress_.WroteLastEnd(item.pass, item.index);
        return Outcome::Completed;
    }

    std::optional<Outcome> SendEnd(const StreamItem& item) {
        sentSet_.Read(std::span(&kEndByte, 1));
        if (!Flush() || !worker_.SendData(&kEndByte, 1)) {
            return Outcome::CommError;
        }
        if (!stream_.Finished()) {
            progress_.Wrote(1, 0, item.pass, item.index);
        }  // the last is counted once the device has confirmed it
        return std::nullopt;
    }

    std::optional<Outcome> SendRecord(const StreamItem& item) {
        const std::span<const std::uint8_t> record = stream_.Bytes();
        sentSet_.Read(record);
        const int index = item.index;
        if (index != 0 && host_.Settings().FastTrans()) {
            // A batch never exceeds 64 records of at most 512 bytes between two
            // acknowledgement points; the check only guards the buffer's end.
            if (batchCount_ + record.size() > kFastBufferSize && !Flush()) {
                return Outcome::CommError;
            }
            std::memcpy(FastBuffer_ + batchCount_, record.data(), record.size());
            batchCount_ += record.size();
            ++batchRecords_;
            batchPass_ = item.pass;
            batchLast_ = index;
        } else if (!Flush() || !worker_.SendData(record.data(), static_cast<int>(record.size()))) {
            return Outcome::CommError;
        } else {
            progress_.Wrote(record.size(), 1, item.pass, index);
        }

        if (index == 0) {
            host_.SetStatus("Sending START record");
            if (!ReceiveAck()) {
                return Outcome::CommError;
            }
            std::this_thread::yield();
        } else if (index % kAckInterval == 1) {
            if (!Flush()) {
                return Outcome::CommError;
            }
            host_.SetStatus("Sending (" + std::to_string(index) + ") Record");
            if (!ReceiveAck()) {
                return Outcome::CommError;
            }
            if (worker_.Terminated()) {
                return Outcome::Aborted;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return std::nullopt;
    }

    bool Send(std::string_view bytes) {
        return worker_.SendData(bytes.data(), static_cast<int>(bytes.size()));
    }

    // Held records go out before anything that follows them, whatever the fast-transfer flag
    // says now: a flag switched off mid-batch must neither drop nor overtake them.
    bool Flush() {
        if (batchCount_ == 0) {
            return true;
        }
        const std::size_t len = std::exchange(batchCount_, 0);
        if (!worker_.SendData(FastBuffer_, static_cast<int>(len))) {
            return false;
        }
        progress_.Wrote(len, std::exchange(batchRecords_, 0), batchPass_, batchLast_);
        return true;
    }

    bool ReceiveAck() { return Flush() && !worker_.Expect(kAck, Outcome::CommError); }

    Outcome Fault(const StreamItem& item) {
        if (item.systemError != 0) {
            host_.DiskUnreadable(stream_.Path(), item.systemError);
        }
        return item.outcome;
    }

    TTrans& worker_;
    TransHost& host_;
    std::uint8_t* const FastBuffer_;
    std::size_t batchCount_ = 0;
    // What the held batch carries, for the progress report once it has been written.
    std::uint64_t batchRecords_ = 0;
    int batchPass_ = 0;
    int batchLast_ = 0;
    ProgressBook progress_;
    RecordStream stream_;
    SentSet sentSet_;
    std::optional<SetCount> count_;
};

Outcome TTrans::Transfer(std::uint8_t* FastBuffer) {
    return Steps(*this, FastBuffer).Run();
}

}  // namespace qf580
