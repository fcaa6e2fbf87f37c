#include "transfer/SetCount.h"

namespace qf580 {

SetCount::SetCount(const ChosenFile& file) : stream_(file, quiet_, disk_) {
    if (!stream_.Open()) {
        disks_ = 1;
        Count();
    }
}

bool SetCount::CountDisk2() {
    if (!waiting_) {
        return false;
    }
    Count();
    return disks_ == 2;
}

void SetCount::Count() {
    const auto add = [this](const StreamItem& item) {
        StreamCount& pass = counted_.passes[static_cast<std::size_t>(item.pass - 1)];
        pass.bytes += item.length;
        pass.records += item.event == StreamEvent::End ? 0 : 1;
    };
    waiting_ = false;
    for (;;) {
        const StreamItem item = stream_.Next();
        if (item.event == StreamEvent::DiskChanged) {
            ++disks_;
        } else if (item.event == StreamEvent::Record ||
                   (item.event == StreamEvent::Fault && item.outcome == Outcome::BadChecksum)) {
            add(item);
        } else if (item.event == StreamEvent::End) {
            add(item);
            if (stream_.Finished()) {
                counted_.passCount = item.pass;
                break;
            }
        } else {
            // Disk 2 not there yet: the count goes on once the worker has it. Any other fault
            // leaves the totals unknown for good.
            waiting_ = item.outcome == Outcome::Aborted && item.diskNo == 2;
            break;
        }
    }
    if (!waiting_) {
        disk_.Close();
    }
}

SetTotals SetCount::Totals() const {
    if (counted_.passCount == 0) {
        return {};
    }
    SetTotals totals = counted_;
    totals.all = StreamCount{kHeaderSize, 0};
    for (int p = 0; p < totals.passCount; ++p) {
        totals.all.bytes += counted_.passes[static_cast<std::size_t>(p)].bytes;
        totals.all.records += counted_.passes[static_cast<std::size_t>(p)].records;
    }
    return totals;
}

}  // namespace qf580
