// The update set's bytes and records counted before a transfer, for its progress: the record
// stream walked by count bytes only, the way the worker will read it, without checksums and
// without ever asking the operator for a disk.
#pragma once

#include <string>

#include "transfer/Progress.h"

namespace qf580 {

class StreamCounter {
  public:
    explicit StreamCounter(int passCount);

    // Counts the record stream of the next disk of the set, from the end of its header to the
    // END of the last pass or to the end of the file, where a record cut short is dropped as
    // the worker drops it. False when the file could not be read; the totals then stay
    // unknown for good.
    bool AddDisk(const std::string& path);

    int Disks() const { return disks_; }
    // The END of the last pass has been counted.
    bool Complete() const { return pass_ == passCount_ && !failed_; }
    // The set's totals once complete, unknown before.
    SetTotals Totals() const;

  private:
    int passCount_;
    int disks_ = 0;
    int pass_ = 0;  // passes whose END has been counted
    bool failed_ = false;
    SetTotals counted_;
};

// Counts disk 1 and, where the record stream goes on beyond it, disk 2 if it can be found and
// is the right disk now: nothing is asked, so a disk 2 that isn't there leaves the totals
// unknown until the worker has it. `dir` ends with its separator; `romType` is disk 1's.
StreamCounter CountSet(const std::string& dir, const std::string& chosenName, int romType);

// Goes on with disk 2 once the worker has found it, if the count still needs it. True when
// disk 2 was counted now.
bool CountDisk2(StreamCounter& counter, const std::string& dir, const std::string& chosenName);

}  // namespace qf580
