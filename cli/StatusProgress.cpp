#include "StatusProgress.h"

#include <algorithm>
#include <charconv>

namespace qf580::cli {

namespace {

// The record index of "Sending (%d) Record", or none for any other text.
std::optional<int> RecordIndexOf(std::string_view status) {
    constexpr std::string_view kBefore = "Sending (";
    constexpr std::string_view kAfter = ") Record";
    if (!status.starts_with(kBefore) || !status.ends_with(kAfter) ||
        status.size() <= kBefore.size() + kAfter.size()) {
        return std::nullopt;
    }
    const std::string_view digits =
        status.substr(kBefore.size(), status.size() - kBefore.size() - kAfter.size());
    int index = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
    if (error != std::errc() || end != digits.data() + digits.size() || index < 1) {
        return std::nullopt;
    }
    return index;
}

}  // namespace

StatusProgress::StatusProgress(std::shared_ptr<const SetSummary> summary)
    : summary_(std::move(summary)) {
    Index();
}

void StatusProgress::Index() {
    if (!summary_) {
        return;
    }
    value_.bytesTotal = summary_->TotalBytes();
    value_.bytesSent = 0;
    before_.clear();
    for (const PassContents& pass : summary_->passes) {
        std::vector<std::uint64_t> before{0};
        for (const std::uint16_t length : pass.recordLengths) {
            before.push_back(before.back() + length);
        }
        before_.push_back(std::move(before));
    }
}

bool StatusProgress::Learn(std::shared_ptr<const SetSummary> summary) {
    if (summary_ || !summary) {
        return false;
    }
    const ProgressValue was = value_;
    summary_ = std::move(summary);
    Index();
    if (pass_ >= 0) {
        Compute();
    }
    return value_ != was;
}

// The figures for the current pass and its records sent, from the summary.
void StatusProgress::Compute() {
    const auto& passes = summary_->passes;
    recordsBeforePass_ = 0;
    for (int p = 0; p < pass_ && static_cast<std::size_t>(p) < passes.size(); ++p) {
        recordsBeforePass_ += passes[static_cast<std::size_t>(p)].Records();
    }
    value_.recordsSent = recordsBeforePass_ + passRecords_;
    value_.bytesSent = BytesUpTo(static_cast<std::size_t>(pass_), passRecords_);
}

std::uint64_t StatusProgress::BytesUpTo(std::size_t pass, int records) const {
    std::uint64_t bytes = kHeaderSize;
    for (std::size_t p = 0; p < pass && p < summary_->passes.size(); ++p) {
        bytes += summary_->passes[p].Bytes();
    }
    if (pass < before_.size()) {
        const std::vector<std::uint64_t>& before = before_[pass];
        bytes +=
            before[std::min<std::size_t>(static_cast<std::size_t>(records), before.size() - 1)];
    }
    return bytes;
}

bool StatusProgress::Take(std::string_view status, bool completed) {
    const ProgressValue was = value_;
    if (completed) {
        if (summary_) {
            value_.bytesSent = value_.bytesTotal;
            value_.recordsSent = summary_->TotalRecords();
        }
        return value_ != was;
    }
    if (status == "Sending START record") {
        if (pass_ >= 0) {
            // Without a summary, what the last point showed of the pass before is all we know.
            recordsBeforePass_ += passRecords_;
        }
        ++pass_;
        if (summary_) {
            // A pass whose first record is its END shows no START: the next pass that has
            // records is the one that started.
            const auto& passes = summary_->passes;
            while (static_cast<std::size_t>(pass_) < passes.size() &&
                   passes[static_cast<std::size_t>(pass_)].Records() == 0) {
                ++pass_;
            }
        }
        passRecords_ = 1;
    } else if (const std::optional<int> index = RecordIndexOf(status); index && pass_ >= 0) {
        passRecords_ = *index + 1;
    } else {
        return false;
    }
    if (summary_) {
        Compute();
    } else {
        value_.recordsSent = recordsBeforePass_ + passRecords_;
    }
    return value_ != was;
}

}  // namespace qf580::cli
