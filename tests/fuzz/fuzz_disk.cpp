// Arbitrary bytes as disk 1 of an update set, read as the worker reads it: open and
// validate, identify the ROM type, read the header, then every record to the end; then once
// more through the record stream.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "transfer/RecordStream.h"
#include "transfer/UpdateDisk.h"

namespace {

const std::string& Dir() {
    static const std::string dir = [] {
        char pattern[] = "/tmp/qf580-fuzz-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made == nullptr) {
            std::abort();
        }
        return std::string(made) + "/";
    }();
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string name = "FW0000.q58";
    const std::string path = Dir() + qf580::MakeDiskName(1, name);
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (f == nullptr) {
            std::abort();
        }
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    qf580::NeverAsk prompt;
    for (const int romType : {qf580::kRomTypeAny, qf580::kRomMain, qf580::kRomSub}) {
        qf580::DiskFile disk;
        if (qf580::OpenDisk(1, name, romType, Dir(), disk, prompt) != 0) {
            if (disk.IsOpen()) {
                std::abort();  // -1 must leave nothing open
            }
            continue;
        }
        const auto rom = qf580::IdentifyRomType(disk);
        if (romType != qf580::kRomTypeAny && rom != romType) {
            std::abort();
        }
        disk.Seek(0);
        for (std::size_t i = 0; i < qf580::kHeaderSize; ++i) {
            disk.ReadByte();
        }
        qf580::RecordBuffer buffer{};
        for (;;) {
            const int r = qf580::ReadRecord(disk, buffer);
            if (r == qf580::kRecordEof) {
                break;
            }
            if (r > 0 && (r > 512 || r % 2 != 0 || buffer[static_cast<std::size_t>(r)] != 0 ||
                          buffer[0] != (r - 2) / 2)) {
                std::abort();
            }
        }
    }
    // The same bytes through the record stream, as the worker, the check and the count read
    // them: every item within the buffer, a checksum fault read past as the count does.
    qf580::DiskFile disk;
    qf580::RecordStream stream(qf580::ChosenFile{Dir(), name}, prompt, disk);
    if (!stream.Open()) {
        while (!stream.Finished()) {
            const qf580::StreamItem item = stream.Next();
            if (stream.Bytes().size() > qf580::RecordBuffer().size() ||
                (item.event == qf580::StreamEvent::Record &&
                 item.length != stream.Bytes().size())) {
                std::abort();
            }
            if (item.event == qf580::StreamEvent::Fault &&
                item.outcome != qf580::Outcome::BadChecksum) {
                break;
            }
        }
    }
    return 0;
}
