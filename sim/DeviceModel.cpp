#include "sim/DeviceModel.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "sim/Protocol.h"

namespace qf580::sim {
namespace {

std::string Hex(std::uint8_t byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

std::vector<std::uint8_t> Bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

}  // namespace

DeviceModel::DeviceModel(FaultPlan plan) : plan_(std::move(plan)) {}

DeviceModel::Output DeviceModel::Feed(std::span<const std::uint8_t> bytes) {
    bytesReceived_ += bytes.size();
    if (plan_.keepReceived) {
        received_.bytes.insert(received_.bytes.end(), bytes.begin(), bytes.end());
        received_.writeSizes.push_back(bytes.size());
    }
    Output out;
    CloseIfDue();
    std::size_t at = 0;
    while (at < bytes.size() && !closed_) {
        // No further than the byte at which a fault closes the link, so that it closes there.
        const std::size_t end = at + std::min(bytes.size() - at, BytesUntilClose());
        std::size_t step = 1;
        if (phase_ == Phase::Complete || phase_ == Phase::Stopped) {
            // Once complete or stopped, bytes are still taken, just not answered.
            step = end - at;
        } else if (phase_ == Phase::Records) {
            step = TakeRecords(bytes.subspan(at, end - at), out);
        } else {
            if (phase_ != Phase::Header) {
                ++handshakeBytes_;
            }
            Step(bytes[at], out);
        }
        at += step;
        taken_ += step;
        CloseIfDue();
    }
    // A link the device has closed stays closed, whatever the front-end does with it.
    out.close = out.close || closed_;
    out.taken = closed_ ? at : bytes.size();
    return out;
}

void DeviceModel::Step(std::uint8_t byte, Output& out) {
    switch (phase_) {
        case Phase::Exec: {
            const std::size_t at = pending_.size();
            const std::uint8_t expected = at < kExec.size() ? kExec[at] : kSync;
            if (byte != expected) {
                Stop("unexpected byte " + Hex(byte) + " at byte " + std::to_string(at + 1) +
                     " of the update command :UP:EXEC\\r\\n U");
                return;
            }
            pending_.push_back(byte);
            if (pending_.size() == kExec.size() + 1) {
                pending_.clear();
                if (Reply(ReplyPoint::Sync, {kSyncReply}, out)) {
                    phase_ = Phase::Ident;
                }
            }
            return;
        }
        case Phase::Ident: {
            const std::size_t at = pending_.size();
            if (byte != static_cast<std::uint8_t>(kIdent[at])) {
                Stop("unexpected byte " + Hex(byte) + " at byte " + std::to_string(at + 1) +
                     " of the identification QUILLMAR\\r\\n");
                return;
            }
            pending_.push_back(byte);
            if (pending_.size() == kIdent.size()) {
                pending_.clear();
                if (Reply(ReplyPoint::Ident, Bytes(kIdent), out)) {
                    phase_ = Phase::HeaderSize;
                }
            }
            return;
        }
        case Phase::HeaderSize:
            if (byte != kHeaderSize) {
                Stop("unexpected byte " + Hex(byte) + " instead of the header size 0x38");
                return;
            }
            if (Reply(ReplyPoint::HeaderSize, {kHeaderSize}, out)) {
                phase_ = Phase::Header;
            }
            return;
        case Phase::Header: {
            pending_.push_back(byte);
            if (pending_.size() < kHeaderLength) {
                return;
            }
            received_.header = pending_;
            pending_.clear();
            const RomType* rom = FindRomType(received_.header);
            if (rom == nullptr) {
                out.reply.push_back(kNo);
                Stop("refused the header: unknown ROM type line");
                return;
            }
            passes_ = rom->passes;
            if (Reply(ReplyPoint::HeaderAck, {kYes}, out)) {
                phase_ = Phase::Records;
                currentPass_ = 1;
                recordIndex_ = 0;
                if (plan_.keepReceived) {
                    received_.passes.emplace_back();
                }
            }
            return;
        }
        case Phase::Records:  // taken a record at a time by TakeRecords
        case Phase::Complete:
        case Phase::Stopped:
            return;
    }
}

std::size_t DeviceModel::TakeRecords(std::span<const std::uint8_t> bytes, Output& out) {
    std::size_t at = 0;
    while (at < bytes.size() && phase_ == Phase::Records) {
        if (pending_.empty()) {
            const std::uint8_t count = bytes[at];
            if (count == kEndRecord) {
                ++at;
                EndRecord();
                continue;
            }
            const std::size_t length = RecordLength(count);
            if (bytes.size() - at >= length) {
                // Whole in this write, as nearly every record is: checked where it lies.
                const std::span<const std::uint8_t> record = bytes.subspan(at, length);
                at += length;
                RecordReceived(record, out);
                continue;
            }
            recordLength_ = length;
        }
        // A record that goes on in the next write waits in pending_.
        const std::size_t take = std::min(recordLength_ - pending_.size(), bytes.size() - at);
        const auto from = bytes.begin() + static_cast<std::ptrdiff_t>(at);
        pending_.insert(pending_.end(), from, from + static_cast<std::ptrdiff_t>(take));
        at += take;
        if (pending_.size() == recordLength_) {
            recordLength_ = 0;
            RecordReceived(pending_, out);
            pending_.clear();
        }
    }
    return at;
}

void DeviceModel::RecordReceived(std::span<const std::uint8_t> record, Output& out) {
    const std::uint8_t expected = Checksum(record.subspan(1, record.size() - 2));
    const std::uint8_t got = record.back();
    ++recordsReceived_;
    if (plan_.keepReceived) {
        received_.passes.back().emplace_back(record.begin(), record.end());
    }
    if (got != expected) {
        // The device refuses the record at once and takes no further part: the host stops at
        // a bad checksum itself, so it never gets this far.
        out.reply.push_back(kNo);
        Stop("bad checksum in record " + std::to_string(recordIndex_) + " of pass " +
             std::to_string(currentPass_) + " (got " + Hex(got) + ", expected " + Hex(expected) +
             ")");
        return;
    }
    bool goOn = true;
    if (IsAckPoint(recordIndex_)) {
        goOn = Reply(ReplyPoint::RecordAck, {kYes}, out);
    } else if (const Fault* fault = FaultAt(ReplyPoint::RecordAck)) {
        // A fault named for a record between acknowledgement points fires right after that
        // record: a stray byte, silence or a closed link mid-stream.
        goOn = ApplyFault(*fault, ReplyPoint::RecordAck, {}, out);
    }
    if (goOn) {
        ++recordIndex_;
    }
}

void DeviceModel::EndRecord() {
    ++passesDone_;
    if (passesDone_ >= passes_) {
        phase_ = Phase::Complete;
        return;
    }
    ++currentPass_;
    recordIndex_ = 0;
    if (plan_.keepReceived) {
        received_.passes.emplace_back();
    }
}

const Fault* DeviceModel::FaultAt(ReplyPoint point) const {
    for (const Fault& fault : plan_.faults) {
        if (fault.at != point || fault.kind == FaultKind::CloseAfterBytes) {
            continue;
        }
        if (point != ReplyPoint::RecordAck ||
            (fault.pass == currentPass_ && fault.recordIndex == recordIndex_)) {
            return &fault;
        }
    }
    return nullptr;
}

std::size_t DeviceModel::BytesUntilClose() const {
    std::size_t until = SIZE_MAX;
    for (const Fault& fault : plan_.faults) {
        if (fault.kind == FaultKind::CloseAfterBytes && fault.bytes > taken_) {
            until = std::min(until, fault.bytes - taken_);
        }
    }
    return until;
}

void DeviceModel::CloseIfDue() {
    if (closed_) {
        return;
    }
    for (const Fault& fault : plan_.faults) {
        if (fault.kind == FaultKind::CloseAfterBytes && fault.bytes == taken_) {
            closed_ = true;
            // A device that has everything may close: that is no fault of the exchange.
            if (phase_ != Phase::Complete && phase_ != Phase::Stopped) {
                Stop("closed the link after " + std::to_string(taken_) + " bytes");
            }
            return;
        }
    }
}

bool DeviceModel::Reply(ReplyPoint point, std::vector<std::uint8_t> good, Output& out) {
    if (const Fault* fault = FaultAt(point)) {
        return ApplyFault(*fault, point, std::move(good), out);
    }
    out.reply.insert(out.reply.end(), good.begin(), good.end());
    return true;
}

bool DeviceModel::ApplyFault(const Fault& fault, ReplyPoint point, std::vector<std::uint8_t> good,
                             Output& out) {
    switch (fault.kind) {
        case FaultKind::WrongByte:
            if (good.empty()) {
                good.push_back(fault.byte);
            } else {
                good.front() = fault.byte;
            }
            out.reply.insert(out.reply.end(), good.begin(), good.end());
            Stop("answered " + Hex(fault.byte) + " at the " + PointName(point));
            break;
        case FaultKind::Silence:
            Stop("silent from the " + PointName(point) + " on");
            break;
        case FaultKind::Close:
            closed_ = true;
            out.close = true;
            Stop("closed the link at the " + PointName(point));
            break;
        case FaultKind::CloseAfterBytes:
            break;  // never named for a point: FaultAt passes it by
    }
    return false;
}

void DeviceModel::Stop(std::string why) {
    error_ = std::move(why);
    phase_ = Phase::Stopped;
}

std::string DeviceModel::PointName(ReplyPoint point) const {
    switch (point) {
        case ReplyPoint::Sync:
            return "synchronisation reply";
        case ReplyPoint::Ident:
            return "identification echo";
        case ReplyPoint::HeaderSize:
            return "header size echo";
        case ReplyPoint::HeaderAck:
            return "header acknowledgement";
        case ReplyPoint::RecordAck:
            return "acknowledgement of record " + std::to_string(recordIndex_) + " of pass " +
                   std::to_string(currentPass_);
    }
    return "?";
}

bool DeviceModel::Complete() const {
    return phase_ == Phase::Complete;
}

std::string DeviceModel::State() const {
    switch (phase_) {
        case Phase::Exec:
            return pending_.size() < kExec.size() ? "waiting for the update command :UP:EXEC"
                                                  : "waiting for the synchronisation byte U";
        case Phase::Ident:
            return "waiting for the identification QUILLMAR";
        case Phase::HeaderSize:
            return "waiting for the header size";
        case Phase::Header:
            return "waiting for header byte " + std::to_string(pending_.size() + 1) + " of 56";
        case Phase::Records: {
            const std::string where = "record " + std::to_string(recordIndex_) + " of pass " +
                                      std::to_string(currentPass_);
            if (pending_.empty()) {
                return "waiting for " + where;
            }
            return "receiving " + where + " (" + std::to_string(pending_.size()) + " of " +
                   std::to_string(recordLength_) + " bytes)";
        }
        case Phase::Complete:
            return "complete";
        case Phase::Stopped:
            return error_;
    }
    return "?";
}

int DeviceModel::PassCount() const {
    return passes_;
}

}  // namespace qf580::sim
