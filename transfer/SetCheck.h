// The whole update set read once before any device is contacted, with the same disk and record
// code the worker uses, so that a set the worker would refuse half-way is refused before the
// first byte goes out. Touches no device and no link.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "posix/FileIdentity.h"
#include "transfer/Outcome.h"
#include "transfer/Progress.h"
#include "transfer/UpdateDisk.h"

namespace qf580 {

// One pass as the device receives it: its records, START first, then the END byte.
struct PassContents {
    // The length of each record in order (count byte, data and checksum); END not included.
    std::vector<std::uint16_t> recordLengths;
    // The END record was read (false only for the pass a fault cut short).
    bool ended = false;

    int Records() const { return static_cast<int>(recordLengths.size()); }
    // Every record's bytes, and the END byte once read.
    std::uint64_t Bytes() const;
};

// The records of one pass that one disk holds.
struct DiskPart {
    int pass = 1;         // from 1
    int firstRecord = 0;  // index within the pass of the first record on this disk
    int records = 0;      // records of the pass on this disk, END not counted
    bool endRecord = false;
};

struct DiskContents {
    int diskNo = 1;
    std::string path;
    std::vector<DiskPart> parts;
    // Where the last record taken from this disk ends (the header's end if none was).
    std::uint64_t streamEnd = kHeaderSize;
    // A record that this disk cuts short: dropped, the stream goes on with the next disk.
    std::uint64_t droppedBytes = 0;
    // Bytes after the last END record: never sent, read by the check for the digest alone.
    std::uint64_t unreadBytes = 0;
    // The SHA-256 of the whole file in lower-case hex; empty unless the file was read whole.
    std::string sha256;
    // The file as the check opened it, where it had been left alone for a while by then: a
    // transfer that finds it so again opens the very file the check read, and need not read it
    // once more to know that (a write since would have moved its change time).
    std::optional<posix::FileIdentity> settled;
};

struct SetSummary {
    std::optional<int> romType;  // known once disk 1 has been identified
    std::vector<PassContents> passes;
    std::vector<DiskContents> disks;

    // The SHA-256, in lower-case hex, of what a device receives of the set: disk 1's header,
    // then every record and END byte in the order they are sent, across the disks. It names the
    // set whatever disks its records were cut into. Empty unless the set is sound.
    std::string setSha256;

    // The header and every pass's bytes: what the device receives of the set.
    std::uint64_t TotalBytes() const;
    int TotalRecords() const;
    // The same as a transfer's progress counts them; known only for a set read whole.
    SetTotals Totals() const;
};

// Where the set goes wrong, for the operator.
struct SetFault {
    int diskNo = 1;
    std::string path;
    // Byte offset within that disk; none for a disk that was never found.
    std::optional<std::uint64_t> offset;
    int pass = 0;          // from 1; 0 outside the record stream
    int recordIndex = -1;  // within the pass; -1 outside the record stream
    std::string detail;
};

struct SetCheckResult {
    // What a transfer of this set would end with if the device answered every step rightly:
    // Completed for a sound set, else Aborted (a disk question cancelled or a stop requested),
    // InvalidRomType, IncorrectInput, NoEnd or BadChecksum.
    Outcome outcome = Outcome::Completed;
    // All that was read before the end or the fault.
    SetSummary summary;
    std::optional<SetFault> fault;

    bool Sound() const { return outcome == Outcome::Completed; }
};

// Reads the set whose disk 1 is `chosenName` in `dir` (with its trailing separator), as the
// worker would: disks that can't be found are asked for through `prompt`. `stop`, when given,
// is looked at between records, as the worker looks at its stop request. Without `digests`
// the disks' and the set's SHA-256 stay empty: a run that shows or compares none does not pay
// for them, nor for libcrypto's start.
SetCheckResult CheckSet(const std::string& dir, const std::string& chosenName, DiskPrompt& prompt,
                        const std::atomic<bool>* stop = nullptr, bool digests = true);

// The ROM type's name as the table line gives it: "MAIN ROM", "SUB ROM" or "IRIG ROM".
std::string RomTypeName(int romType);

}  // namespace qf580
