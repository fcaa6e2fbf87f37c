#include "DeviceModel.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <numeric>
#include <string_view>

namespace qf580::sim {
namespace {

constexpr std::string_view kExec = ":UP:EXEC\r\n";
constexpr std::uint8_t kSync = 'U';
constexpr std::uint8_t kSyncReply = 0xAA;
constexpr std::string_view kIdent = "QUILLMAR\r\n";
constexpr std::uint8_t kHeaderSize = 0x38;
constexpr std::size_t kHeaderLength = 56;
constexpr std::uint8_t kYes = 'Y';
constexpr std::uint8_t kNo = 'N';

struct RomLine {
    std::string_view line;
    int passes;
};
constexpr std::array<RomLine, 3> kRomLines{{
    {"QUILLMAR QF580 MAIN ROM       \r\n", 1},
    {"QUILLMAR QF580 SUB ROM        \r\n", 2},
    {"QUILLMAR QF580 IRIG ROM       \r\n", 2},
}};

std::string Hex(std::uint8_t byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

std::vector<std::uint8_t> Bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

// Acknowledgements come after the START record and after every 64th record from index 1 on.
bool IsAckPoint(int recordIndex) {
    return recordIndex == 0 || recordIndex % 64 == 1;
}

}  // namespace

DeviceModel::DeviceModel(FaultPlan plan) : plan_(std::move(plan)) {}

DeviceModel::Output DeviceModel::Feed(std::span<const std::uint8_t> bytes) {
    received_.bytes.insert(received_.bytes.end(), bytes.begin(), bytes.end());
    received_.writeSizes.push_back(bytes.size());
    Output out;
    CloseIfDue();
    std::size_t at = 0;
    for (; at < bytes.size() && !closed_; ++at) {
        // Once complete or stopped, bytes are still taken, just not answered.
        if (phase_ != Phase::Complete && phase_ != Phase::Stopped) {
            Step(bytes[at], out);
        }
        ++taken_;
        CloseIfDue();
    }
    out.untaken = bytes.size() - at;
    // A link the device has closed stays closed, whatever the front-end does with it.
    out.close = out.close || closed_;
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
            const std::string_view romLine(reinterpret_cast<const char*>(received_.header.data()),
                                           kRomLines[0].line.size());
            const auto rom = std::find_if(kRomLines.begin(), kRomLines.end(),
                                          [&](const RomLine& r) { return r.line == romLine; });
            if (rom == kRomLines.end()) {
                out.reply.push_back(kNo);
                Stop("refused the header: unknown ROM type line");
                return;
            }
            passes_ = rom->passes;
            if (Reply(ReplyPoint::HeaderAck, {kYes}, out)) {
                phase_ = Phase::Records;
                currentPass_ = 1;
                recordIndex_ = 0;
                received_.passes.emplace_back();
            }
            return;
        }
        case Phase::Records:
            if (pending_.empty()) {
                if (byte == 0) {
                    EndRecord();
                    return;
                }
                recordLength_ = 2 * std::size_t{byte} + 2;
            }
            pending_.push_back(byte);
            if (pending_.size() == recordLength_) {
                std::vector<std::uint8_t> record;
                record.swap(pending_);
                recordLength_ = 0;
                const auto sum = std::accumulate(record.begin() + 1, record.end() - 1, 0u);
                const std::uint8_t expected = static_cast<std::uint8_t>(sum & 0xFF);
                const std::uint8_t got = record.back();
                received_.passes.back().push_back(std::move(record));
                if (got != expected) {
                    // The device refuses the record at once and takes no further part: the
                    // host stops at a bad checksum itself, so it never gets this far.
                    out.reply.push_back(kNo);
                    Stop("bad checksum in record " + std::to_string(recordIndex_) + " of pass " +
                         std::to_string(currentPass_) + " (got " + Hex(got) + ", expected " +
                         Hex(expected) + ")");
                    return;
                }
                bool goOn = true;
                if (IsAckPoint(recordIndex_)) {
                    goOn = Reply(ReplyPoint::RecordAck, {kYes}, out);
                } else if (const Fault* fault = FaultAt(ReplyPoint::RecordAck)) {
                    // A fault named for a record between acknowledgement points fires right
                    // after that record: a stray byte, silence or a closed link mid-stream.
                    goOn = ApplyFault(*fault, ReplyPoint::RecordAck, {}, out);
                }
                if (goOn) {
                    ++recordIndex_;
                }
            }
            return;
        case Phase::Complete:
        case Phase::Stopped:
            return;
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
    received_.passes.emplace_back();
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

bool DeviceModel::complete() const {
    return phase_ == Phase::Complete;
}

std::string DeviceModel::state() const {
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

std::size_t DeviceModel::recordCount() const {
    std::size_t count = 0;
    for (const auto& pass : received_.passes) {
        count += pass.size();
    }
    return count;
}

int DeviceModel::passCount() const {
    return passes_;
}

}  // namespace qf580::sim
