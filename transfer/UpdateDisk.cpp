#include "UpdateDisk.h"

#include <cctype>

namespace qf580 {

bool DiskFile::Open(const std::string& path) {
    file_.reset(std::fopen(path.c_str(), "rb"));
    return IsOpen();
}

bool DiskFile::Seek(long offset) {
    return IsOpen() && std::fseek(file_.get(), offset, SEEK_SET) == 0;
}

int DiskFile::ReadByte() {
    return IsOpen() ? std::fgetc(file_.get()) : EOF;
}

std::size_t DiskFile::Read(std::uint8_t* into, std::size_t count) {
    return IsOpen() ? std::fread(into, 1, count, file_.get()) : 0;
}

std::optional<std::string> DiskFile::ReadLine() {
    // Byte by byte rather than fgets: a zero byte inside the line must not hide how long
    // the line really was, so the next read starts where fgets' would.
    std::string line;
    while (line.size() < kMaxLineBytes) {
        const int c = ReadByte();
        if (c == EOF) {
            break;
        }
        line.push_back(static_cast<char>(c));
        if (c == '\n') {
            break;
        }
    }
    if (line.empty()) {
        return std::nullopt;
    }
    return line;
}

std::string_view CutAtZero(std::string_view bytes) {
    return bytes.substr(0, bytes.find('\0'));
}

ChosenFile SplitChosenFile(std::string_view path) {
    const std::size_t split = path.rfind('/');
    if (split == std::string_view::npos) {
        return {std::string(), std::string(path)};
    }
    return {std::string(path.substr(0, split + 1)), std::string(path.substr(split + 1))};
}

std::string MakeDiskName(int diskNo, std::string_view chosenName) {
    std::string name(chosenName);
    if (name.empty()) {
        return name;
    }
    const char digit = static_cast<char>('0' + diskNo);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos) {
        name.back() = digit;
    } else if (dot > 0) {
        name[dot - 1] = digit;
    }
    return name;
}

namespace {

// The disk number as atol reads the two characters at offset 48 followed by a zero byte.
// A read at the end of the file gives the byte 0xFF, which stops the decimal reading.
long ReadDiskNumber(DiskFile& disk) {
    char field[3] = {0, 0, 0};
    for (int i = 0; i < 2; ++i) {
        const int c = disk.ReadByte();
        field[i] = static_cast<char>(c == EOF ? 0xFF : c);
    }
    const char* p = field;
    while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    long value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + (*p - '0');
        ++p;
    }
    return negative ? -value : value;
}

bool FirstLineIs(DiskFile& disk, std::string_view expected) {
    if (!disk.Seek(0)) {
        return false;
    }
    const std::optional<std::string> line = disk.ReadLine();
    return line && CutAtZero(*line) == expected;
}

}  // namespace

int OpenDisk(int diskNo, const std::string& chosenName, int romType, const std::string& dir,
             DiskFile& disk, DiskPrompt& prompt) {
    const std::string path = dir + MakeDiskName(diskNo, chosenName);
    for (;;) {
        if (disk.Open(path)) {
            bool right = disk.Seek(kDiskNumberOffset) && ReadDiskNumber(disk) == diskNo;
            if (right && romType != kRomTypeAny) {
                right = romType >= 0 && romType < static_cast<int>(RomTypeTable.size()) &&
                        FirstLineIs(disk, RomTypeTable[static_cast<std::size_t>(romType)]);
            }
            if (right) {
                return 0;
            }
            // A rejected file is closed before the operator is asked again.
            disk.Close();
        }
        if (!prompt.AskInsertDisk(diskNo)) {
            return -1;
        }
    }
}

int ReadRecord(DiskFile& disk, RecordBuffer& buffer) {
    const int count = disk.ReadByte();
    if (count == EOF) {
        return kRecordEof;
    }
    if (count == 0) {
        return kRecordEnd;
    }
    buffer[0] = static_cast<std::uint8_t>(count);
    // The data and the checksum in one read rather than a locked library call per byte: a
    // transfer streams every byte of the set through here.
    const std::size_t dataBytes = 2 * static_cast<std::size_t>(count);
    std::uint8_t* const data = buffer.data() + 1;
    std::uint8_t& checksum = buffer[dataBytes + 1];
    const std::uint8_t before = checksum;
    if (disk.Read(data, dataBytes + 1) != dataBytes + 1) {
        return kRecordEof;
    }
    unsigned sum = 0;
    for (std::size_t i = 0; i < dataBytes; ++i) {
        sum += data[i];
    }
    if (checksum != (sum & 0xFFu)) {
        checksum = before;  // a checksum that doesn't match is not stored
        return kRecordBadChecksum;
    }
    buffer[dataBytes + 2] = 0;
    return static_cast<int>(dataBytes + 2);
}

std::optional<int> IdentifyRomType(DiskFile& disk) {
    if (!disk.Seek(0)) {
        return std::nullopt;
    }
    const std::optional<std::string> line = disk.ReadLine();
    if (!line) {
        return std::nullopt;
    }
    const std::string_view text = CutAtZero(*line);
    for (std::size_t i = 0; i < RomTypeTable.size(); ++i) {
        if (text == RomTypeTable[i]) {
            return static_cast<int>(i);
        }
    }
    return std::nullopt;
}

}  // namespace qf580
