#include "transfer/RecordStream.h"

#include <algorithm>
#include <utility>

namespace qf580 {

RecordStream::RecordStream(ChosenFile file, DiskPrompt& prompt, DiskFile& disk)
    : file_(std::move(file)), prompt_(prompt), disk_(disk) {}

std::optional<StreamItem> RecordStream::Open() {
    if (std::optional<StreamItem> fault = OpenDiskNo(1, kRomTypeAny)) {
        return fault;
    }
    romType_ = IdentifyRomType(disk_);
    if (!romType_) {
        return Fail(Outcome::InvalidRomType, 0);
    }
    passCount_ = PassCount(*romType_);
    ReadHeader();
    pass_ = 1;
    index_ = 0;
    offset_ = kHeaderSize;
    return std::nullopt;
}

StreamItem RecordStream::Next() {
    if (last_) {
        return *last_;
    }
    if (wantDisk2_) {
        return ChangeDisk();
    }
    if (headerSize_ < kHeaderSize) {
        // The records start at offset 56: a disk shorter than its header holds none.
        bytes_ = 0;
        return Fail(diskNo_ == 1 ? Outcome::IncorrectInput : Outcome::NoEnd, headerSize_);
    }
    const std::uint64_t start = offset_;
    const int r = ReadRecord(disk_, record_);
    if (r == kRecordEof) {
        // What did come of a record begun is still in the buffer, for a disk's digest.
        const long at = disk_.Tell();
        const std::uint64_t end = at > 0 ? static_cast<std::uint64_t>(at) : start;
        bytes_ = end > start ? std::min<std::size_t>(end - start, record_.size()) : 0;
        if (diskNo_ >= 2) {
            return Fail(Outcome::NoEnd, end);
        }
        // The cut record is dropped; the stream goes on at the same record index.
        droppedAt_ = start;
        wantDisk2_ = true;
        disk_.Close();
        return ChangeDisk();
    }
    if (r == kRecordBadChecksum) {
        // The record has been read whole: a reader that looks at no checksum goes on after it.
        const std::size_t length = 2 * std::size_t{record_[0]} + 2;
        bytes_ = length - 1;
        StreamItem item = Item(StreamEvent::Fault, start, length);
        item.outcome = Outcome::BadChecksum;
        offset_ += length;
        ++index_;
        return item;
    }
    if (r == kRecordEnd) {
        bytes_ = 0;
        const StreamItem item = Item(StreamEvent::End, start, 1);
        offset_ += 1;
        if (pass_ == passCount_) {
            finished_ = true;
            last_ = item;
        } else {
            ++pass_;
            index_ = 0;
        }
        return item;
    }
    bytes_ = static_cast<std::size_t>(r);
    const StreamItem item = Item(StreamEvent::Record, start, bytes_);
    offset_ += bytes_;
    ++index_;
    return item;
}

StreamItem RecordStream::ChangeDisk() {
    diskNo_ = 2;
    if (std::optional<StreamItem> fault = OpenDiskNo(2, *romType_)) {
        return *fault;
    }
    wantDisk2_ = false;
    ReadHeader();
    disk_.Seek(static_cast<long>(kHeaderSize));
    offset_ = kHeaderSize;
    return Item(StreamEvent::DiskChanged, droppedAt_, bytes_);
}

std::optional<StreamItem> RecordStream::OpenDiskNo(int diskNo, int romType) {
    int error = 0;
    if (OpenDisk(diskNo, file_.name, romType, file_.dir, disk_, prompt_, &error) == 0) {
        return std::nullopt;
    }
    if (error != 0) {
        // Not the operator's to cure: the transfer ends, and says why where it can.
        return Fail(Outcome::IncorrectInput, std::nullopt, error);
    }
    StreamItem item = Item(StreamEvent::Fault, std::nullopt, 0);
    item.outcome = Outcome::Aborted;
    if (diskNo == 1) {
        last_ = item;
    }
    return item;
}

void RecordStream::ReadHeader() {
    headerSize_ = disk_.Seek(0) ? disk_.Read(header_.data(), header_.size()) : 0;
}

StreamItem RecordStream::Item(StreamEvent event, std::optional<std::uint64_t> offset,
                              std::size_t length) const {
    StreamItem item;
    item.event = event;
    item.diskNo = diskNo_;
    item.pass = pass_;
    item.index = index_;
    item.offset = offset;
    item.length = length;
    return item;
}

StreamItem RecordStream::Fail(Outcome outcome, std::optional<std::uint64_t> offset,
                              int systemError) {
    StreamItem item = Item(StreamEvent::Fault, offset, 0);
    item.outcome = outcome;
    item.systemError = systemError;
    last_ = item;
    return item;
}

}  // namespace qf580
