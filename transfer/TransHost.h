// What the transfer worker needs of whoever hosts it: the main window, the command-line
// host, or a test's recording fake.
#pragma once

#include <string>

#include "transfer/LinkSettings.h"
#include "transfer/Outcome.h"
#include "transfer/Progress.h"
#include "transfer/UpdateDisk.h"

namespace qf580 {

class CheckedSet;

class TransHost : public DiskPrompt {
  public:
    // Read by the worker thread while it runs.
    virtual const LinkSettings& Settings() const = 0;

    // Called on the worker thread, in the worker's order.
    virtual void SetStatus(const std::string& text) = 0;
    // AskInsertDisk (from DiskPrompt) blocks the worker until the operator answers.
    // How far the transfer has come: once before the link is opened (nothing sent, the set's
    // totals or none yet), after each write of the set that reached the device (the header, a
    // record written alone, a batch, an END byte) and when the totals become known late. Never
    // per byte. A host that shows no progress need not override it.
    virtual void ReportProgress(const TransferProgress& progress) { static_cast<void>(progress); }
    // A disk file the system would not open for a reason that no disk put in its place would
    // cure (too many open files, no permission): `error` is the system's error number. The
    // transfer then ends with "Incorrect input file" rather than asking for the disk. Comes
    // before the outcome's text; a host that shows no more than the outcome need not override
    // it.
    virtual void DiskUnreadable(const std::string& path, int error) {
        static_cast<void>(path);
        static_cast<void>(error);
    }
    // The check this host made of the set, which the transfer then keeps to (see SentSet);
    // none for a host that sends the set as it reads it. Asked once, as the transfer starts.
    virtual CheckedSet* Checked() { return nullptr; }

    // The end notice: enable Start, then clear Busy. The worker's very last action, after the
    // outcome's text has gone to SetStatus.
    virtual void TransferEnded(Outcome outcome) = 0;

  protected:
    ~TransHost() = default;
};

}  // namespace qf580
