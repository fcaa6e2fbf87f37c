#include "transfer/SetCheck.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <numeric>
#include <span>
#include <system_error>

#include "text/Escape.h"
#include "transfer/RecordStream.h"
#include "transfer/Sha256.h"

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

SetTotals SetSummary::Totals() const {
    SetTotals totals;
    const bool whole = romType && static_cast<int>(passes.size()) == PassCount(*romType) &&
                       std::all_of(passes.begin(), passes.end(),
                                   [](const PassContents& pass) { return pass.ended; });
    if (!whole) {
        return totals;
    }
    totals.passCount = static_cast<int>(passes.size());
    for (std::size_t p = 0; p < passes.size() && p < totals.passes.size(); ++p) {
        totals.passes[p] = {passes[p].Bytes(), static_cast<std::uint64_t>(passes[p].Records())};
    }
    totals.all = {TotalBytes(), static_cast<std::uint64_t>(TotalRecords())};
    return totals;
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

namespace {

// A disk's digest takes every byte of its file in order, the set's every byte a device receives.
// They are the same bytes until the end of disk 1 or the last END, whichever comes first, so
// until then one digest serves both, and a one-disk set is hashed once.
class Digests {
  public:
    explicit Digests(bool taken) : taken_(taken) {}
    void DiskOpened(std::span<const std::uint8_t> header) {
        if (!taken_) {
            return;
        }
        disk_.emplace();
        disk_->Update(header);
        diskBytes_ = header.size();
    }
    void Sent(std::span<const std::uint8_t> bytes) {
        if (disk_) {
            disk_->Update(bytes);
            diskBytes_ += bytes.size();
        }
        if (set_) {
            set_->Update(bytes);
        }
    }
    // The disk ends with the record it cut short, which is never sent; its digest.
    std::string DiskEnded(std::span<const std::uint8_t> dropped) {
        Fork();
        Unsent(dropped);
        return Disk();
    }
    // From here on the set's digest goes its own way.
    void Fork() {
        if (!set_ && disk_) {
            set_.emplace(*disk_);
        }
    }
    void Unsent(std::span<const std::uint8_t> bytes) {
        if (disk_) {
            disk_->Update(bytes);
            diskBytes_ += bytes.size();
        }
    }
    // The bytes of the current disk that went into its digest.
    std::uint64_t DiskBytes() const { return diskBytes_; }
    std::string Disk() const { return disk_ ? disk_->Hex() : std::string(); }
    std::string Set() const { return set_ ? set_->Hex() : std::string(); }

  private:
    const bool taken_;
    std::optional<Sha256> disk_;
    std::optional<Sha256> set_;
    std::uint64_t diskBytes_ = 0;
};

// Reads the set as the worker reads it, through the same stream; only the device is left out.
class SetReader {
  public:
    SetReader(const std::string& dir, const std::string& name, DiskPrompt& prompt,
              const std::atomic<bool>* stop, bool digests)
        : dir_(dir),
          name_(name),
          stream_(ChosenFile{dir, name}, prompt, disk_),
          stop_(stop),
          digests_(digests) {}

    SetCheckResult Run() {
        if (const std::optional<StreamItem> fault = stream_.Open()) {
            return Fail(*fault, OpenDetail(*fault));
        }
        result_.summary.romType = stream_.RomType();
        AddDisk();
        const std::span<const std::uint8_t> header = stream_.Header();
        if (header.size() < kHeaderSize) {
            StreamItem fault;
            fault.outcome = Outcome::IncorrectInput;
            fault.offset = header.size();
            return Fail(fault, "the header ends after " + std::to_string(header.size()) + " of " +
                                   std::to_string(kHeaderSize) + " bytes");
        }
        digests_.DiskOpened(header);

        while (!stream_.Finished()) {
            if (stop_ != nullptr && stop_->load()) {
                StreamItem stopped;
                stopped.outcome = Outcome::Aborted;
                stopped.diskNo = stream_.DiskNo();
                stopped.pass = stream_.Pass();
                stopped.index = stream_.Index();
                return Fail(stopped, "stop requested");
            }
            StreamItem item = stream_.Next();
            // No stop is looked at between a disk change and the record after it.
            while (item.event == StreamEvent::DiskChanged) {
                CurrentDisk().droppedBytes = item.length;
                Seal(digests_.DiskEnded(stream_.Bytes()));
                AddDisk();
                digests_.DiskOpened(stream_.Header());
                item = stream_.Next();
            }
            if (item.event == StreamEvent::Fault) {
                return Fail(item, FaultDetail(item));
            }
            PassContents& pass = Pass(item.pass);
            DiskPart& part = Part(item);
            CurrentDisk().streamEnd = *item.offset + item.length;
            if (item.event == StreamEvent::End) {
                part.endRecord = true;
                pass.ended = true;
                digests_.Sent(std::span<const std::uint8_t>(&kEndByte, 1));
            } else {
                ++part.records;
                pass.recordLengths.push_back(static_cast<std::uint16_t>(item.length));
                digests_.Sent(stream_.Bytes());
            }
        }
        digests_.Fork();
        // Never sent: read for the disk's digest alone, through the stream's own buffer.
        std::array<std::uint8_t, 16 * 1024> chunk;
        std::uint64_t unread = 0;
        while (const std::size_t got = disk_.Read(chunk.data(), chunk.size())) {
            digests_.Unsent(std::span(chunk.data(), got));
            unread += got;
        }
        CurrentDisk().unreadBytes = unread;
        Seal(digests_.Disk());
        result_.summary.setSha256 = digests_.Set();
        result_.outcome = Outcome::Completed;
        return std::move(result_);
    }

  private:
    static constexpr std::uint8_t kEndByte = 0x00;
    // Longer than any file system's step between two times it gives (FAT's two seconds), and
    // than the kernel's coarse clock lags the real one.
    static constexpr std::chrono::seconds kSettledFor{3};

    void AddDisk() {
        DiskContents contents;
        contents.diskNo = stream_.DiskNo();
        contents.path = stream_.Path();
        if (disk_.Identity().SettledBefore(disk_.OpenedAt(), kSettledFor)) {
            contents.settled = disk_.Identity();
        }
        result_.summary.disks.push_back(std::move(contents));
    }

    DiskContents& CurrentDisk() { return result_.summary.disks.back(); }

    // The current disk has been read to its end. Its digest names the whole file only where
    // as many bytes went into it as the file held when it was opened: a read error looks like
    // the end of a disk, and a file cut short is no settled file.
    void Seal(std::string sha256) {
        DiskContents& disk = CurrentDisk();
        disk.sha256 = std::move(sha256);
        if (disk.settled &&
            digests_.DiskBytes() != static_cast<std::uint64_t>(disk.settled->size)) {
            disk.settled.reset();
        }
    }

    PassContents& Pass(int pass) {
        std::vector<PassContents>& passes = result_.summary.passes;
        while (static_cast<int>(passes.size()) < pass) {
            passes.emplace_back();
        }
        return passes.back();
    }

    // The part of the item's pass on the current disk, begun at the item if it is the first.
    DiskPart& Part(const StreamItem& item) {
        std::vector<DiskPart>& parts = CurrentDisk().parts;
        if (parts.empty() || parts.back().pass != item.pass) {
            parts.push_back(DiskPart{item.pass, item.index, 0, false});
        }
        return parts.back();
    }

    static std::string Where(const StreamItem& item) {
        return "record " + std::to_string(item.index) + " of pass " + std::to_string(item.pass);
    }

    std::string OpenDetail(const StreamItem& fault) {
        if (fault.outcome != Outcome::InvalidRomType) {
            return FaultDetail(fault);
        }
        disk_.Seek(0);
        const std::optional<std::string> line = disk_.ReadLine();
        return line ? "the first line \"" + EscapeNonAscii(*line) + "\" names no ROM type"
                    : std::string("the file is empty: no ROM type line");
    }

    std::string FaultDetail(const StreamItem& fault) {
        const std::string disk = "disk " + std::to_string(fault.diskNo);
        switch (fault.outcome) {
            case Outcome::NoEnd:
                if (!stream_.Bytes().empty()) {
                    return disk + " ends inside " + Where(fault) +
                           ", before the END record of pass " + std::to_string(fault.pass);
                }
                return disk + " ends before " + Where(fault) + ": no END record for pass " +
                       std::to_string(fault.pass);
            case Outcome::BadChecksum:
                return ChecksumDetail(fault);
            case Outcome::IncorrectInput:
                return disk + " could not be opened: " + SystemErrorText(fault.systemError);
            default:
                return disk + " was asked for and not given";
        }
    }

    // The record is in the buffer but for its checksum byte, which ReadRecord doesn't keep.
    std::string ChecksumDetail(const StreamItem& fault) {
        const RecordBuffer& record = stream_.Buffer();
        const int words = record[0];
        unsigned sum = 0;
        for (int i = 1; i <= 2 * words; ++i) {
            sum += record[static_cast<std::size_t>(i)];
        }
        char text[96];
        const std::uint64_t at = *fault.offset + 1 + 2 * static_cast<std::uint64_t>(words);
        if (disk_.Seek(static_cast<long>(at))) {
            std::snprintf(text, sizeof text,
                          ": checksum byte 0x%02X where the data add up to 0x%02X",
                          static_cast<unsigned>(disk_.ReadByte()) & 0xFFu, sum & 0xFFu);
        } else {
            std::snprintf(text, sizeof text, ": the data add up to 0x%02X", sum & 0xFFu);
        }
        return Where(fault) + text;
    }

    SetCheckResult Fail(const StreamItem& item, std::string detail) {
        result_.outcome = item.outcome;
        if (item.diskNo == 2 && result_.summary.disks.size() == 1) {
            // Disk 1 ran out and disk 2 could not be had: what disk 1 cut short is known.
            CurrentDisk().droppedBytes = stream_.Bytes().size();
        }
        if (item.pass > 0) {
            Pass(item.pass);
        }
        SetFault fault;
        fault.diskNo = item.diskNo;
        fault.path = dir_ + MakeDiskName(item.diskNo, name_);
        fault.offset = item.offset;
        fault.pass = item.pass;
        fault.recordIndex = item.pass > 0 ? item.index : -1;
        fault.detail = std::move(detail);
        result_.fault = std::move(fault);
        return std::move(result_);
    }

    const std::string& dir_;
    const std::string& name_;
    DiskFile disk_;  // before the stream, which reads through it
    RecordStream stream_;
    const std::atomic<bool>* stop_;
    Digests digests_;
    SetCheckResult result_;
};

}  // namespace

SetCheckResult CheckSet(const std::string& dir, const std::string& chosenName, DiskPrompt& prompt,
                        const std::atomic<bool>* stop, bool digests) {
    return SetReader(dir, chosenName, prompt, stop, digests).Run();
}

}  // namespace qf580
