// Keeps a transfer to the set its host's check read: each disk is hashed whole when the
// transfer opens it, through the file it will send from, before a byte of it goes out, and
// compared with the digest the check found, unless the file is still the settled one the check
// opened; and, for a host that names the set that actually went out, what the transfer reads
// of the set to send is hashed as it goes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "transfer/Outcome.h"
#include "transfer/SetCheck.h"
#include "transfer/Sha256.h"
#include "transfer/TransHost.h"
#include "transfer/UpdateDisk.h"

namespace qf580 {

// What a host that checked the set whole gives its transfer through TransHost::Checked. A host
// without it (the window) is sent the set as it is read, with nothing hashed.
class CheckedSet {
  public:
    // Disk `diskNo` as the check read it, its digest included; none where the check did not
    // read that disk whole. Read on the worker thread.
    virtual const DiskContents* CheckedDisk(int diskNo) const = 0;
    // The disk at `path` is not the one checked: its digest `found`, the check's `checked`.
    // The transfer ends with "Incorrect input file" before a byte of that disk is sent; this
    // comes before the outcome's text.
    virtual void DiskNotChecked(const std::string& path, const std::string& checked,
                                const std::string& found) = 0;
    // Whether the host says what was sent by its digest (an event, an attempt log): without
    // it, the set is not hashed a second time as it goes out.
    virtual bool WantsSentDigest() const = 0;
    // The SHA-256 of the set as the transfer read it to send it (disk 1's header, every
    // record and END byte in order), once the last END byte has been read; only where wanted.
    virtual void SetSent(const std::string& sha256) = 0;

  protected:
    ~CheckedSet() = default;
};

class SentSet {
  public:
    // Does nothing, and costs nothing, unless `host` has a CheckedSet that read disk 1.
    explicit SentSet(TransHost& host);

    // Disk `diskNo` at `path` has just been opened as `disk`: nothing when it is the disk the
    // check read (or the check did not read it); else IncorrectInput, told to the host with
    // both digests. Leaves the disk where it was.
    std::optional<Outcome> Opened(int diskNo, const std::string& path, DiskFile& disk);
    // Bytes of the set read to be sent, in the order they are sent.
    void Read(std::span<const std::uint8_t> bytes);
    // The whole set has been read: its digest goes to the host.
    void Finished();

  private:
    CheckedSet* checked_;         // null: nothing to keep to
    std::optional<Sha256> sent_;  // none: nobody wants the digest of what was sent
};

}  // namespace qf580
