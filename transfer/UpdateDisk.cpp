#include "transfer/UpdateDisk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>
#include <system_error>

#include "posix/Eintr.h"
#include "text/Utf8.h"

namespace qf580 {

namespace {

// The buffer where the one asked for cannot be had: a page.
constexpr std::size_t kSmallestBuffer = 4096;

std::string NotRegular(mode_t mode) {
    const char* kind = S_ISFIFO(mode)   ? "a named pipe (FIFO)"
                       : S_ISSOCK(mode) ? "a socket"
                       : S_ISDIR(mode)  ? "a directory"
                       : S_ISCHR(mode)  ? "a character device"
                       : S_ISBLK(mode)  ? "a block device"
                                        : "no regular file";
    return std::string("is ") + kind + ", not a regular file";
}

}  // namespace

std::string SystemErrorText(int error) {
    // Thread-safe, unlike strerror; the same words.
    return std::generic_category().message(error);
}

bool DiskFile::CanOpen(const std::string& path, std::string* why) {
    DiskFile file;
    return static_cast<bool>(file.OpenRegular(path, why));
}

bool DiskFile::Open(const std::string& path, std::string* why) {
    Close();
    posix::UniqueFd opened = OpenRegular(path, why);
    if (!opened) {
        return false;
    }
    const auto failWith = [this, why](int error) {
        openError_ = error;
        if (why != nullptr) {
            *why = SystemErrorText(error);
        }
        return false;
    };
    // A regular file's reads never wait for a writer, and the file systems that would honour
    // the flag on one at all could then fail a read for want of data: it goes again. The
    // file's other status flags were none at the open, so nothing else changes.
    if (::fcntl(opened.Get(), F_SETFL, O_RDONLY) != 0) {
        return failWith(errno);
    }
    // A smaller buffer where the large one is not to be had: slower, never wrong.
    for (std::size_t size = bufferSize_; !buffer_; size = kSmallestBuffer) {
        try {
            buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(size);
            bufferSize_ = size;
        } catch (const std::bad_alloc&) {
            if (size == kSmallestBuffer) {
                return failWith(ENOMEM);
            }
        }
    }
    fd_ = std::move(opened);
    return true;
}

DiskFile::DiskFile(DiskFile&& other) noexcept : bufferSize_(other.bufferSize_) {
    *this = std::move(other);
}

DiskFile& DiskFile::operator=(DiskFile&& other) noexcept {
    if (this != &other) {
        bufferSize_ = other.bufferSize_;
        buffer_ = std::move(other.buffer_);
        fd_ = std::move(other.fd_);
        bufferOffset_ = other.bufferOffset_;
        filled_ = other.filled_;
        next_ = other.next_;
        atEnd_ = other.atEnd_;
        openError_ = other.openError_;
        identity_ = other.identity_;
        openedAt_ = other.openedAt_;
        // Its buffer went with the file: nothing of it may be read there any more.
        other.Close();
    }
    return *this;
}

void DiskFile::Close() {
    fd_.Reset();
    bufferOffset_ = 0;
    filled_ = 0;
    next_ = 0;
    atEnd_ = false;
}

posix::UniqueFd DiskFile::OpenRegular(const std::string& path, std::string* why) {
    openError_ = 0;
    const auto fail = [why](std::string reason) {
        if (why != nullptr) {
            *why = std::move(reason);
        }
        return posix::UniqueFd();
    };
    const auto failWith = [this, &fail](int error) {
        openError_ = error;
        return fail(SystemErrorText(error));
    };
    // c_str() would cut the name at the zero and open another file.
    if (path.find('\0') != std::string::npos) {
        return failWith(EINVAL);
    }
    // Without waiting: a named pipe's open blocks until a writer comes, a device's until it
    // is ready. The file's kind is then taken from what was opened, not from the name, which
    // could have been replaced in between.
    posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        const int error = errno;
        // A socket can't be opened at all; say what it is rather than the system's word.
        struct stat status {};
        if (error == ENXIO && ::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
            return fail(NotRegular(status.st_mode));
        }
        return failWith(error);
    }
    struct stat status {};
    if (::fstat(fd.Get(), &status) != 0) {
        return failWith(errno);
    }
    if (!S_ISREG(status.st_mode)) {
        return fail(NotRegular(status.st_mode));
    }
    identity_ = posix::FileIdentity::Of(status);
    // Next to the look: the time a file counts as settled is measured from here.
    if (::clock_gettime(CLOCK_REALTIME, &openedAt_) != 0) {
        openedAt_ = {};
    }
    return fd;
}

bool DiskFile::Seek(long offset) {
    if (!IsOpen() || offset < 0) {
        return false;
    }
    const auto to = static_cast<std::uint64_t>(offset);
    if (to >= bufferOffset_ && to - bufferOffset_ <= filled_) {
        next_ = static_cast<std::size_t>(to - bufferOffset_);
    } else {
        bufferOffset_ = to;
        filled_ = 0;
        next_ = 0;
    }
    atEnd_ = false;
    return true;
}

long DiskFile::Tell() const {
    return IsOpen() ? static_cast<long>(bufferOffset_ + next_) : -1;
}

long DiskFile::ReadAt(std::uint8_t* into, std::size_t count, std::uint64_t offset) const {
    return posix::RetryOnEintr(
        [&] { return ::pread(fd_.Get(), into, count, static_cast<off_t>(offset)); });
}

bool DiskFile::Fill() {
    if (!IsOpen() || atEnd_) {
        return false;
    }
    bufferOffset_ += next_;
    filled_ = 0;
    next_ = 0;
    const long n = ReadAt(buffer_.get(), bufferSize_, bufferOffset_);
    if (n <= 0) {
        atEnd_ = true;
        return false;
    }
    filled_ = static_cast<std::size_t>(n);
    return true;
}

int DiskFile::ReadByte() {
    if (next_ == filled_ && !Fill()) {
        return EOF;
    }
    return buffer_[next_++];
}

std::size_t DiskFile::Read(std::uint8_t* into, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        if (next_ < filled_) {
            const std::size_t take = std::min(count - done, filled_ - next_);
            std::memcpy(into + done, buffer_.get() + next_, take);
            next_ += take;
            done += take;
            continue;
        }
        if (!IsOpen() || atEnd_) {
            break;
        }
        // What would fill the buffer whole goes straight to its place instead.
        if (count - done >= bufferSize_) {
            bufferOffset_ += next_;
            filled_ = 0;
            next_ = 0;
            const long n = ReadAt(into + done, count - done, bufferOffset_);
            if (n <= 0) {
                atEnd_ = true;
                break;
            }
            bufferOffset_ += static_cast<std::uint64_t>(n);
            done += static_cast<std::size_t>(n);
        } else if (!Fill()) {
            break;
        }
    }
    return done;
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
    if (dot == 0) {
        return name;
    }
    // One past the character that gives way to the digit.
    const std::size_t end = dot == std::string::npos ? name.size() : dot;
    std::size_t begin = end - 1;
    // In a UTF-8 name that character may take several bytes, and all of them go: half a
    // character would leave a name that no file carries. Other names keep to single bytes.
    if (IsUtf8(name)) {
        while (begin > 0 && (static_cast<unsigned char>(name[begin]) & 0xC0) == 0x80) {
            --begin;
        }
    }
    name.replace(begin, end - begin, 1, digit);
    return name;
}

namespace {

// The disk number as atol reads the two characters at offset 48 followed by a zero byte.
// A read at the end of the file gives the byte 0xFF, which stops the decimal reading.
// Read from the file's start rather than after a seek to the field: the stream's first read
// then fills its buffer from there, where the ROM type line and the header are read next.
long ReadDiskNumber(DiskFile& disk) {
    std::array<std::uint8_t, kDiskNumberOffset + 2> head{};
    const std::size_t got = disk.Seek(0) ? disk.Read(head.data(), head.size()) : 0;
    char field[3] = {0, 0, 0};
    for (std::size_t i = 0; i < 2; ++i) {
        const std::size_t at = kDiskNumberOffset + i;
        field[i] = static_cast<char>(at < got ? head[at] : 0xFF);
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
             DiskFile& disk, DiskPrompt& prompt, int* systemError) {
    const std::string path = dir + MakeDiskName(diskNo, chosenName);
    for (;;) {
        if (!disk.Open(path)) {
            const int error = disk.OpenError();
            // "Insert Disk" would be asked again and again for a file that is there: out of
            // descriptors, the operator could only ever cancel, and would never learn why.
            if (error != 0 && error != ENOENT && error != ENOTDIR) {
                if (systemError != nullptr) {
                    *systemError = error;
                }
                return -1;
            }
        } else {
            bool right = ReadDiskNumber(disk) == diskNo;
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
