#include "transfer/SetCount.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "transfer/UpdateDisk.h"

namespace qf580 {

namespace {

// Big reads: the data bytes are skipped by arithmetic, so the count costs little more than
// the reading of the file, which a transfer does anyway.
constexpr std::size_t kChunk = 64 * 1024;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

StreamCounter::StreamCounter(int passCount) : passCount_(std::clamp(passCount, 1, kMaxPasses)) {}

bool StreamCounter::AddDisk(const std::string& path) {
    ++disks_;
    if (failed_ || Complete()) {
        return !failed_;
    }
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file || std::fseek(file.get(), static_cast<long>(kHeaderSize), SEEK_SET) != 0) {
        failed_ = true;
        return false;
    }

    std::vector<std::uint8_t> chunk(kChunk);
    // Bytes still to come of the record whose count byte was read last; 0 at a count byte.
    std::uint64_t pending = 0;
    std::uint64_t recordLength = 0;
    while (pass_ < passCount_) {
        const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), file.get());
        if (got == 0) {
            break;
        }
        std::size_t i = 0;
        while (i < got && pass_ < passCount_) {
            if (pending > 0) {
                const std::uint64_t take = std::min<std::uint64_t>(pending, got - i);
                i += static_cast<std::size_t>(take);
                pending -= take;
                if (pending == 0) {
                    StreamCount& pass = counted_.passes[static_cast<std::size_t>(pass_)];
                    pass.bytes += recordLength;
                    ++pass.records;
                }
                continue;
            }
            const std::uint8_t count = chunk[i++];
            if (count == 0) {
                ++counted_.passes[static_cast<std::size_t>(pass_)].bytes;
                ++pass_;
            } else {
                recordLength = 2u * count + 2u;
                pending = recordLength - 1;
            }
        }
    }
    if (std::ferror(file.get()) != 0) {
        failed_ = true;
        return false;
    }
    // A record that this disk cuts short (pending > 0) is dropped, as the worker drops it.
    return true;
}

SetTotals StreamCounter::Totals() const {
    if (!Complete()) {
        return {};
    }
    SetTotals totals = counted_;
    totals.passCount = passCount_;
    totals.all = StreamCount{kHeaderSize, 0};
    for (int p = 0; p < passCount_; ++p) {
        totals.all.bytes += counted_.passes[static_cast<std::size_t>(p)].bytes;
        totals.all.records += counted_.passes[static_cast<std::size_t>(p)].records;
    }
    return totals;
}

StreamCounter CountSet(const std::string& dir, const std::string& chosenName, int romType) {
    StreamCounter counter(PassCount(romType));
    counter.AddDisk(dir + MakeDiskName(1, chosenName));
    if (!counter.Complete()) {
        // The same checks as the worker's, so that a stale or foreign file in disk 2's place
        // isn't counted; the worker then asks for the right one and counting goes on.
        DiskFile disk2;
        NeverAsk quiet;
        if (OpenDisk(2, chosenName, romType, dir, disk2, quiet) == 0) {
            disk2.Close();
            counter.AddDisk(dir + MakeDiskName(2, chosenName));
        }
    }
    return counter;
}

bool CountDisk2(StreamCounter& counter, const std::string& dir, const std::string& chosenName) {
    if (counter.Disks() != 1 || counter.Complete()) {
        return false;
    }
    counter.AddDisk(dir + MakeDiskName(2, chosenName));
    return true;
}

}  // namespace qf580
