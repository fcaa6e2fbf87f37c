// The one reader of an update set's record stream: disk 1's header, then every record and END
// of every pass, across the disks, in the order a transfer sends them. The worker, the set
// check and the count all read the set through it, so that none of them can read it
// differently from the others.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "transfer/Outcome.h"
#include "transfer/UpdateDisk.h"

namespace qf580 {

enum class StreamEvent {
    Record,       // a record, whole and with its checksum right; its bytes are Bytes()
    End,          // the END record of a pass
    DiskChanged,  // the next disk is open; the record the last one cut short is dropped
    Fault,        // the stream ends here (a checksum fault alone may be read past)
};

struct StreamItem {
    StreamEvent event = StreamEvent::Fault;
    int diskNo = 1;  // the disk it lies on
    int pass = 0;    // from 1; 0 before the record stream
    // Within the pass; an END's is the number of records before it.
    int index = -1;
    // Where it starts on its disk. DiskChanged: where the dropped record started on the disk
    // left. Fault: where the fault lies (a disk's end for NoEnd); none where no disk is open.
    std::optional<std::uint64_t> offset;
    // Record: 2N + 2. End: 1. DiskChanged: the bytes dropped at the end of the disk left.
    std::size_t length = 0;
    // Fault: what a transfer of the set ends with here.
    Outcome outcome = Outcome::Completed;
    // Fault: the system's error number where a disk file could not be opened; else 0.
    int systemError = 0;
};

class RecordStream {
  public:
    // Reads the set of `file` through `disk`, which the caller owns and may close at any time
    // after the stream is done; disks that can't be found are asked for through `prompt`.
    RecordStream(ChosenFile file, DiskPrompt& prompt, DiskFile& disk);

    // Finds disk 1 (asking until it is given), identifies its ROM type and reads its header.
    // Nothing when the stream is ready; else the fault: Aborted (not given), InvalidRomType,
    // or IncorrectInput with the system's error.
    std::optional<StreamItem> Open();

    std::optional<int> RomType() const { return romType_; }
    // The current disk's header as it was read when the disk was opened: 56 bytes, or fewer
    // where the file is shorter. Disk 1's is the one a device receives.
    std::span<const std::uint8_t> Header() const { return {header_.data(), headerSize_}; }

    // The next item. After a fault only a checksum fault may be read past: the next call goes
    // on with the record after it. After a disk question that was cancelled the next call
    // asks again.
    StreamItem Next();

    // The latest Record's bytes (count, data, checksum); after a checksum fault, the record's
    // count and data; after the end of a disk, the bytes of the record it cut short.
    std::span<const std::uint8_t> Bytes() const { return {record_.data(), bytes_}; }
    const RecordBuffer& Buffer() const { return record_; }

    // Where the next item comes from: the disk, the pass (from 1) and the record index.
    int DiskNo() const { return diskNo_; }
    int Pass() const { return pass_; }
    int Index() const { return index_; }
    std::string Path() const { return file_.dir + MakeDiskName(diskNo_, file_.name); }
    // The END of the last pass has been read.
    bool Finished() const { return finished_; }

  private:
    StreamItem Item(StreamEvent event, std::optional<std::uint64_t> offset,
                    std::size_t length) const;
    StreamItem Fail(Outcome outcome, std::optional<std::uint64_t> offset, int systemError = 0);
    // Opens disk `diskNo` with the ROM type given and reads its header; the fault if it
    // could not be had.
    std::optional<StreamItem> OpenDiskNo(int diskNo, int romType);
    StreamItem ChangeDisk();
    void ReadHeader();

    const ChosenFile file_;
    DiskPrompt& prompt_;
    DiskFile& disk_;
    std::optional<int> romType_;
    int passCount_ = 1;
    std::array<std::uint8_t, kHeaderSize> header_{};
    std::size_t headerSize_ = 0;
    RecordBuffer record_{};
    std::size_t bytes_ = 0;
    int diskNo_ = 1;
    int pass_ = 0;
    int index_ = -1;
    std::uint64_t offset_ = 0;  // where the next record starts on the current disk
    // The end of disk 1 was reached: disk 2 is wanted before anything more can be read.
    bool wantDisk2_ = false;
    std::uint64_t droppedAt_ = 0;
    bool finished_ = false;
    // The item that ended the stream for good (a fault, or the last END), given again to any
    // later call.
    std::optional<StreamItem> last_;
};

}  // namespace qf580
