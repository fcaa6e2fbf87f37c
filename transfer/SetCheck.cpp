#include "transfer/SetCheck.h"

#include <cstdio>
#include <filesystem>
#include <numeric>
#include <system_error>

namespace qf580 {

std::uint64_t PassContents::Bytes() const {
    return std::accumulate(recordLengths.begin(), recordLengths.end(),
                           std::uint64_t{ended ? 1u : 0u});
}

std::uint64_t SetSummary::TotalBytes() const {
    std::uint64_t total = kHeaderSize;
    for (const PassContents& pass : passes) {
        total += pass.Bytes();
    }
    return total;
}

int SetSummary::TotalRecords() const {
    int total = 0;
    for (const PassContents& pass : passes) {
        total += pass.Records();
    }
    return total;
}

std::string RomTypeName(int romType) {
    if (romType < 0 || romType >= static_cast<int>(RomTypeTable.size())) {
        return {};
    }
    std::string_view line = RomTypeTable[static_cast<std::size_t>(romType)];
    constexpr std::string_view kMaker = "QUILLMAR QF580 ";
    if (line.starts_with(kMaker)) {
        line.remove_prefix(kMaker.size());
    }
    return std::string(line.substr(0, line.find_last_not_of(" \r\n") + 1));
}

std::string Printable(std::string_view bytes) {
    std::string out;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += ch;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

namespace {

// Follows the worker's reading step by step; only the device is left out.
class SetReader {
  public:
    SetReader(const std::string& dir, const std::string& name, DiskPrompt& prompt,
              const std::atomic<bool>* stop)
        : dir_(dir), name_(name), prompt_(prompt), stop_(stop) {}

    SetCheckResult Run() {
        if (!Open(1, kRomTypeAny)) {
            return std::move(result_);
        }
        const std::optional<int> romType = IdentifyRomType(disk_);
        if (!romType) {
            disk_.Seek(0);
            const std::optional<std::string> line = disk_.ReadLine();
            return Fail(Outcome::InvalidRomType, 0,
                        line ? "the first line \"" + Printable(*line) + "\" names no ROM type"
                             : std::string("the file is empty: no ROM type line"));
        }
        result_.summary.romType = romType;

        // Read as the worker reads it before sending: from offset 0, byte by byte.
        disk_.Seek(0);
        for (std::size_t i = 0; i < kHeaderSize; ++i) {
            if (disk_.ReadByte() == EOF) {
                return Fail(Outcome::IncorrectInput, i,
                            "the header ends after " + std::to_string(i) + " of " +
                                std::to_string(kHeaderSize) + " bytes");
            }
        }
        offset_ = kHeaderSize;

        const int passCount = PassCount(*romType);
        for (pass_ = 1; pass_ <= passCount; ++pass_) {
            result_.summary.passes.emplace_back();
            for (index_ = 0;; ++index_) {
                if (stop_ != nullptr && stop_->load()) {
                    return Fail(Outcome::Aborted, std::nullopt, "stop requested");
                }
                std::uint64_t start = offset_;
                int r = ReadRecord(disk_, record_);
                while (r == kRecordEof) {
                    const std::uint64_t size = Size(start);
                    if (diskNo_ >= 2) {
                        return Fail(Outcome::NoEnd, size, NoEndDetail(start, size));
                    }
                    CurrentDisk().droppedBytes = Beyond(size, start);
                    CurrentDisk().streamEnd = start;
                    // The cut record is dropped; the stream goes on at the same record index.
                    disk_.Close();
                    if (!Open(diskNo_ + 1, *romType)) {
                        return std::move(result_);
                    }
                    disk_.Seek(static_cast<long>(kHeaderSize));
                    start = offset_ = kHeaderSize;
                    r = ReadRecord(disk_, record_);
                }
                if (r == kRecordBadChecksum) {
                    return Fail(Outcome::BadChecksum, start, ChecksumDetail(start));
                }
                DiskPart& part = Part();
                if (r == kRecordEnd) {
                    part.endRecord = true;
                    result_.summary.passes.back().ended = true;
                    offset_ = CurrentDisk().streamEnd = start + 1;
                    break;
                }
                ++part.records;
                result_.summary.passes.back().recordLengths.push_back(
                    static_cast<std::uint16_t>(r));
                offset_ = CurrentDisk().streamEnd = start + static_cast<std::uint64_t>(r);
            }
        }
        pass_ = 0;
        index_ = -1;
        CurrentDisk().unreadBytes = Beyond(Size(offset_), offset_);
        result_.outcome = Outcome::Completed;
        return std::move(result_);
    }

  private:
    bool Open(int diskNo, int romType) {
        diskNo_ = diskNo;
        if (OpenDisk(diskNo, name_, romType, dir_, disk_, prompt_) == -1) {
            Fail(Outcome::Aborted, std::nullopt,
                 "disk " + std::to_string(diskNo) + " was asked for and not given");
            return false;
        }
        DiskContents contents;
        contents.diskNo = diskNo;
        contents.path = Path();
        result_.summary.disks.push_back(std::move(contents));
        return true;
    }

    std::string Path() const { return dir_ + MakeDiskName(diskNo_, name_); }
    DiskContents& CurrentDisk() { return result_.summary.disks.back(); }

    // The part of the current pass on the current disk, begun at the current record.
    DiskPart& Part() {
        std::vector<DiskPart>& parts = CurrentDisk().parts;
        if (parts.empty() || parts.back().pass != pass_) {
            parts.push_back(DiskPart{pass_, index_, 0, false});
        }
        return parts.back();
    }

    // The disk's length in bytes, where the reading ended at end of file; `fallback` if the
    // file can no longer be measured.
    std::uint64_t Size(std::uint64_t fallback) const {
        std::error_code error;
        const std::uintmax_t size = std::filesystem::file_size(Path(), error);
        return error ? fallback : size;
    }
    // How far `end` lies beyond `from`; 0 for a file that shrank meanwhile.
    static std::uint64_t Beyond(std::uint64_t end, std::uint64_t from) {
        return end > from ? end - from : 0;
    }

    std::string Where() const {
        return "record " + std::to_string(index_) + " of pass " + std::to_string(pass_);
    }

    std::string NoEndDetail(std::uint64_t start, std::uint64_t size) const {
        if (size > start) {
            return "disk " + std::to_string(diskNo_) + " ends inside " + Where() +
                   ", before the END record of pass " + std::to_string(pass_);
        }
        return "disk " + std::to_string(diskNo_) + " ends before " + Where() +
               ": no END record for pass " + std::to_string(pass_);
    }

    // The record is in record_ but for its checksum byte, which ReadRecord doesn't keep.
    std::string ChecksumDetail(std::uint64_t start) {
        const int words = record_[0];
        unsigned sum = 0;
        for (int i = 1; i <= 2 * words; ++i) {
            sum += record_[static_cast<std::size_t>(i)];
        }
        char text[96];
        const std::uint64_t at = start + 1 + 2 * static_cast<std::uint64_t>(words);
        if (disk_.Seek(static_cast<long>(at))) {
            std::snprintf(text, sizeof text,
                          ": checksum byte 0x%02X where the data add up to 0x%02X",
                          static_cast<unsigned>(disk_.ReadByte()) & 0xFFu, sum & 0xFFu);
        } else {
            std::snprintf(text, sizeof text, ": the data add up to 0x%02X", sum & 0xFFu);
        }
        return Where() + text;
    }

    SetCheckResult& Fail(Outcome outcome, std::optional<std::uint64_t> offset, std::string detail) {
        result_.outcome = outcome;
        SetFault fault;
        fault.diskNo = diskNo_;
        fault.path = Path();
        fault.offset = offset;
        fault.pass = pass_;
        fault.recordIndex = pass_ > 0 ? index_ : -1;
        fault.detail = std::move(detail);
        result_.fault = std::move(fault);
        return result_;
    }

    const std::string& dir_;
    const std::string& name_;
    DiskPrompt& prompt_;
    const std::atomic<bool>* stop_;
    DiskFile disk_;
    RecordBuffer record_{};
    SetCheckResult result_;
    int diskNo_ = 1;
    int pass_ = 0;
    int index_ = -1;
    std::uint64_t offset_ = 0;  // where the next record starts on the current disk
};

}  // namespace

SetCheckResult CheckSet(const std::string& dir, const std::string& chosenName, DiskPrompt& prompt,
                        const std::atomic<bool>* stop) {
    return SetReader(dir, chosenName, prompt, stop).Run();
}

}  // namespace qf580
