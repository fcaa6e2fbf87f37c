// The update set's bytes and records counted before a transfer, for its progress: the record
// stream read the way the worker will read it, without ever asking the operator for a disk.
#pragma once

#include <string>

#include "transfer/Progress.h"
#include "transfer/RecordStream.h"
#include "transfer/UpdateDisk.h"

namespace qf580 {

class SetCount {
  public:
    // Counts disk 1 and, where the record stream goes on beyond it, disk 2 if it can be found
    // and is the right disk now: nothing is asked, so a disk 2 that isn't there leaves the
    // totals unknown until the worker has it. Checksums are not looked at: a record whose
    // checksum is wrong ends a transfer there, and the percent up to it stays true.
    explicit SetCount(const ChosenFile& file);
    SetCount(const SetCount&) = delete;
    SetCount& operator=(const SetCount&) = delete;

    // Goes on with disk 2 once the worker has found it, if the count still needs it. True when
    // disk 2 was counted now.
    bool CountDisk2();

    int Disks() const { return disks_; }
    // The set's totals once the END of the last pass has been counted, unknown before.
    SetTotals Totals() const;

  private:
    // Counts as far as the stream goes.
    void Count();

    NeverAsk quiet_;
    DiskFile disk_;  // before the stream, which reads through it
    RecordStream stream_;
    int disks_ = 0;
    // The stream waits for disk 2.
    bool waiting_ = false;
    SetTotals counted_;
};

}  // namespace qf580
