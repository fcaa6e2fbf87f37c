// How far a transfer has come, as far as its host can tell from the worker's status texts and
// the set check's record lengths: the worker names each acknowledgement point ("Sending START
// record", "Sending (65) Record") just after the records up to it have been written, so the
// bytes up to that point have surely gone out. Between two points the figure stays put.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "SetCheck.h"

namespace qf580::cli {

struct ProgressValue {
    std::optional<std::uint64_t> bytesSent;   // the header and records; none without a summary
    std::optional<std::uint64_t> bytesTotal;  // of the whole set; none without a summary
    int recordsSent = 0;

    bool operator==(const ProgressValue&) const = default;
};

class StatusProgress {
  public:
    // `summary`: the set as the check read it, when it was found sound; null otherwise.
    explicit StatusProgress(std::shared_ptr<const SetSummary> summary);

    // Takes the next status text; true when the progress moved.
    bool Take(std::string_view status, bool completed);
    // The summary, learnt once a disk that was missing has come (nothing if one is known);
    // true when the progress moved.
    bool Learn(std::shared_ptr<const SetSummary> summary);
    bool Knows() const { return summary_ != nullptr; }
    const ProgressValue& Value() const { return value_; }

  private:
    void Index();
    void Compute();
    // The bytes of the header, the passes before `pass` and the first `records` of `pass`.
    std::uint64_t BytesUpTo(std::size_t pass, int records) const;

    std::shared_ptr<const SetSummary> summary_;
    // Bytes of each pass's records before index i, per pass (prefix sums).
    std::vector<std::vector<std::uint64_t>> before_;
    ProgressValue value_;
    int recordsBeforePass_ = 0;  // records of the passes already over
    int pass_ = -1;              // index of the current pass; -1 before the first START
    int passRecords_ = 0;        // records of the current pass sent
};

}  // namespace qf580::cli
