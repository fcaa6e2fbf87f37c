#include "transfer/SentSet.h"

#include <array>

namespace qf580 {

SentSet::SentSet(TransHost& host) : checked_(host.Checked()) {
    if (checked_ != nullptr && checked_->CheckedDisk(1) == nullptr) {
        checked_ = nullptr;
    }
    if (checked_ != nullptr && checked_->WantsSentDigest()) {
        sent_.emplace();
    }
}

std::optional<Outcome> SentSet::Opened(int diskNo, const std::string& path, DiskFile& disk) {
    const DiskContents* checked = checked_ != nullptr ? checked_->CheckedDisk(diskNo) : nullptr;
    if (checked == nullptr || checked->settled == disk.Identity()) {
        return std::nullopt;
    }
    const long at = disk.Tell();
    if (at < 0 || !disk.Seek(0)) {
        return Outcome::IncorrectInput;
    }
    Sha256 whole;
    // Small: the stream's own buffer does the reading, a chunk at a time.
    std::array<std::uint8_t, 16 * 1024> chunk;
    while (const std::size_t got = disk.Read(chunk.data(), chunk.size())) {
        whole.Update(std::span(chunk.data(), got));
    }
    const std::string found = whole.Hex();
    if (found != checked->sha256) {
        checked_->DiskNotChecked(path, checked->sha256, found);
        return Outcome::IncorrectInput;
    }
    return disk.Seek(at) ? std::nullopt : std::optional(Outcome::IncorrectInput);
}

void SentSet::Read(std::span<const std::uint8_t> bytes) {
    if (sent_) {
        sent_->Update(bytes);
    }
}

void SentSet::Finished() {
    if (sent_) {
        checked_->SetSent(sent_->Hex());
    }
}

}  // namespace qf580
