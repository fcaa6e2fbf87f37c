// Update disk files: the 56-byte header, the ROM type table, the record stream and how the
// file of disk N is found, opened and validated.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "posix/FileIdentity.h"
#include "posix/UniqueFd.h"

namespace qf580 {

inline constexpr std::size_t kHeaderSize = 56;
inline constexpr long kDiskNumberOffset = 48;
inline constexpr std::size_t kRomTypeLineSize = 32;
// fgets with a 512-byte buffer: at most 511 bytes, up to and including the first line feed.
inline constexpr std::size_t kMaxLineBytes = 511;

// Searched in index order; the index is the ROM type.
inline constexpr std::array<std::string_view, 3> RomTypeTable = {
    "QUILLMAR QF580 MAIN ROM       \r\n",
    "QUILLMAR QF580 SUB ROM        \r\n",
    "QUILLMAR QF580 IRIG ROM       \r\n",
};
inline constexpr int kRomMain = 0;
inline constexpr int kRomSub = 1;
inline constexpr int kRomIrig = 2;
// Disk 1 is opened with "any": its type is only known once it is open.
inline constexpr int kRomTypeAny = -1;

// Passes in the record stream: 1 for MAIN ROM, 2 for SUB ROM and IRIG ROM.
constexpr int PassCount(int romType) {
    return romType == kRomMain ? 1 : 2;
}

// The largest record (N = 255: 512 bytes) and the zero byte ReadRecord writes after it.
using RecordBuffer = std::array<std::uint8_t, 513>;

// ReadRecord's results besides a record's length.
inline constexpr int kRecordEnd = 0;
inline constexpr int kRecordEof = -1;
inline constexpr int kRecordBadChecksum = -2;

// One disk file, opened for reading as raw bytes through a buffer of its own. Reads behave as
// the C library's stream functions would (an end of file stays the end until the next seek),
// but a seek costs no system call, and a read costs one only when the buffer runs dry:
// positioned reads, so the system's file offset never has to be kept in step.
class DiskFile {
  public:
    // The stream's buffer: a transfer reads the whole set through it a record at a time, and
    // a page at a time would cost a system call every 4 KiB, per device. At a quarter of a
    // megabyte the reads are a few per cent of a transfer's system calls (one for about every
    // 16 batches sent), for 4 MB of buffers with 16 devices.
    static constexpr std::size_t kBufferSize = 256 * 1024;

    explicit DiskFile(std::size_t bufferSize = kBufferSize)
        : bufferSize_(bufferSize > 0 ? bufferSize : kBufferSize) {}
    DiskFile(const DiskFile&) = delete;
    DiskFile& operator=(const DiskFile&) = delete;
    // The file moved from is left closed, as Close leaves it.
    DiskFile(DiskFile&& other) noexcept;
    DiskFile& operator=(DiskFile&& other) noexcept;
    ~DiskFile() = default;

    // Opens `path` for reading as raw bytes, if it is a regular file. Anything else (a named
    // pipe, a socket, a directory, a device) is refused at once: opening or reading a pipe or
    // a device can wait without end, and a directory has no bytes to read. On failure, `why`
    // (if given) receives the reason in words, such as "Permission denied" or "is a named
    // pipe (FIFO), not a regular file"; nothing is open then.
    bool Open(const std::string& path, std::string* why = nullptr);
    // Whether Open would open `path`, with the same reason where not; opens and closes the
    // file, without a buffer.
    static bool CanOpen(const std::string& path, std::string* why);
    void Close();
    // The system's error number of the last Open that failed in the system; 0 after one that
    // succeeded or refused a file that is no regular file.
    int OpenError() const { return openError_; }
    bool IsOpen() const { return static_cast<bool>(fd_); }
    // The file as the last open that found a regular file saw it, and when it looked.
    const posix::FileIdentity& Identity() const { return identity_; }
    const timespec& OpenedAt() const { return openedAt_; }

    // Moves to `offset` from the start (past the end too, where the next read finds nothing).
    bool Seek(long offset);
    // The offset of the next byte to be read; -1 if nothing is open.
    long Tell() const;
    // The next byte as 0..255, or EOF (-1).
    int ReadByte();
    // Up to `count` bytes into `into`; fewer only at the end of the file (or on a read
    // error). The bytes that did come are in place either way.
    std::size_t Read(std::uint8_t* into, std::size_t count);
    // fgets with a 512-byte buffer: nullopt when nothing could be read (end of file).
    // The bytes come back raw: a zero byte inside stays in the string.
    std::optional<std::string> ReadLine();

  private:
    // Open's first steps: the file opened without waiting, and refused unless regular.
    posix::UniqueFd OpenRegular(const std::string& path, std::string* why);
    // The buffer refilled from the next byte to be read; false at the end or on an error.
    bool Fill();
    // One positioned read, repeated after a signal; what the system gives, or -1.
    long ReadAt(std::uint8_t* into, std::size_t count, std::uint64_t offset) const;

    std::size_t bufferSize_;
    // Allocated with the first open, and kept for the next.
    std::unique_ptr<std::uint8_t[]> buffer_;
    posix::UniqueFd fd_;
    // buffer_[0, filled_) holds the file's bytes from bufferOffset_; the next byte to be read
    // is buffer_[next_].
    std::uint64_t bufferOffset_ = 0;
    std::size_t filled_ = 0;
    std::size_t next_ = 0;
    // The end of the file (or a read error) met, and nothing read since the last seek.
    bool atEnd_ = false;
    int openError_ = 0;
    posix::FileIdentity identity_;
    timespec openedAt_{};
};

// Whoever can put "Insert Disk %d" to the operator. True for OK, false for Cancel (or the
// box closed by its title bar).
class DiskPrompt {
  public:
    virtual bool AskInsertDisk(int diskNo) = 0;

  protected:
    ~DiskPrompt() = default;
};

// Answers every "Insert Disk" with Cancel without showing anything: for a look at the set as
// it is now, with nobody there to put a disk in.
class NeverAsk final : public DiskPrompt {
  public:
    bool AskInsertDisk(int) override { return false; }
};

// The chosen file as the window and the command line hand it to the worker: split at its last
// '/', the directory up to and including that separator and the name after it. A bare name
// has the directory "", so directory + disk name is always the disk's path, relative to the
// working directory where the chosen path was.
struct ChosenFile {
    std::string dir;
    std::string name;
};
ChosenFile SplitChosenFile(std::string_view path);

// File name of disk N (1 or 2) derived from the chosen name (no directory).
std::string MakeDiskName(int diskNo, std::string_view chosenName);

// Finds, opens and validates disk N as `disk`, asking through `prompt` until it is found.
// romType is an index of RomTypeTable or kRomTypeAny; dir ends with its separator.
// Returns 0 with `disk` open, or -1 when the operator gave up (nothing open).
// A file the system refuses to open for a reason that no disk put in its place would cure (too
// many open files, no memory, no permission) is not asked for: -1 at once, with the system's
// error number in `systemError` if given. Only a path with nothing there, or with something
// that is no regular file, counts as a missing disk.
int OpenDisk(int diskNo, const std::string& chosenName, int romType, const std::string& dir,
             DiskFile& disk, DiskPrompt& prompt, int* systemError = nullptr);

// Reads the next record into `buffer`: its length 2N + 2, kRecordEnd, kRecordEof or
// kRecordBadChecksum.
int ReadRecord(DiskFile& disk, RecordBuffer& buffer);

// The ROM type named by the first line of the disk, or nullopt.
std::optional<int> IdentifyRomType(DiskFile& disk);

// The system's words for an error number, as strerror gives them.
std::string SystemErrorText(int error);

// The line as a zero-terminated string would hold it: cut at its first zero byte.
std::string_view CutAtZero(std::string_view bytes);

}  // namespace qf580
