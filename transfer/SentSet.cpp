#include "transfer/SentSet.h"

#include <vector>

namespace qf580 {

SentSet::SentSet(TransHost& host) : checked_(host.Checked()) {
    if (checked_ != nullptr && !checked_->CheckedDiskSha256(1)) {
        checked_ = nullptr;
    }
    if (checked_ != nullptr && checked_->WantsSentDigest()) {
        sent_.emplace();
    }
}

std::optional<Outcome> SentSet::Opened(int diskNo, const std::string& path, DiskFile& disk) {
    const std::optional<std::string> checked =
        checked_ != nullptr ? checked_->CheckedDiskSha256(diskNo) : std::nullopt;
    if (!checked) {
        return std::nullopt;
    }
    const long at = disk.Tell();
    if (at < 0 || !disk.Seek(0)) {
        return Outcome::IncorrectInput;
    }
    Sha256 whole;
    std::vector<std::uint8_t> chunk(DiskFile::kBufferSize);
    while (const std::size_t got = disk.Read(chunk.data(), chunk.size())) {
        whole.Update(std::span(chunk.data(), got));
    }
    const std::string found = whole.Hex();
    if (found != *checked) {
        checked_->DiskNotChecked(path, *checked, found);
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
