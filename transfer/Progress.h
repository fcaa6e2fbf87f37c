// How far a transfer has come, as the worker reports it to its host: what of the update set
// has reached the device, where in the record stream that was, and what the set holds in all
// once every disk of it has been counted.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace qf580 {

// A MAIN ROM set has one pass, SUB ROM and IRIG ROM sets two.
inline constexpr int kMaxPasses = 2;

// Bytes and records of the set as the device receives them. Bytes count the 56 header bytes
// of disk 1, every record whole (count byte, data, checksum) and each pass's END byte; the
// handshake is not part of the set, and a record that disk 1 cuts short is never sent, so it
// is never counted. Records count every record but END.
struct StreamCount {
    std::uint64_t bytes = 0;
    std::uint64_t records = 0;

    bool operator==(const StreamCount&) const = default;
};

// What the whole set holds. Unknown (passCount 0) until the record stream has been counted
// to the END of its last pass, which for a two-disk set needs disk 2.
struct SetTotals {
    int passCount = 0;
    // The records and END byte of each pass, the header not included; [0] is pass 1.
    std::array<StreamCount, kMaxPasses> passes{};
    // The header and every pass.
    StreamCount all;

    bool Known() const { return passCount > 0; }
    bool operator==(const SetTotals&) const = default;
};

struct TransferProgress {
    // Reached the device so far: what the latest write completed.
    StreamCount sent;
    // Where the latest write ended: the pass (from 1; 0 before the first record) and the
    // index within that pass of the last record it carried (the START record is 0, the END
    // record's index is the number of records before it).
    int pass = 0;
    int recordIndex = -1;
    SetTotals totals;

    // Whole percent of the set's bytes sent, rounded down: 100 only once the last byte has
    // gone. Nothing while the totals are unknown.
    std::optional<int> Percent() const {
        if (!totals.Known() || totals.all.bytes == 0) {
            return std::nullopt;
        }
        const std::uint64_t done = sent.bytes < totals.all.bytes ? sent.bytes : totals.all.bytes;
        return static_cast<int>(done * 100 / totals.all.bytes);
    }

    bool operator==(const TransferProgress&) const = default;
};

}  // namespace qf580
