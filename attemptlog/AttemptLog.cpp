#include "attemptlog/AttemptLog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "posix/Eintr.h"
#include "text/JsonText.h"
#include "transfer/SetCheck.h"

namespace qf580 {

namespace {

using nlohmann::ordered_json;

std::string ErrnoText(int error) {
    return std::strerror(error);
}

// Names and serials are free text: bytes that are not UTF-8 still give a line that parses.
std::string Dump(const ordered_json& line) {
    return line.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

ordered_json TextOrNull(const std::optional<std::string>& text) {
    return text ? ordered_json(*text) : ordered_json(nullptr);
}

// The advisory lock of the whole file, for as long as it lives.
class FileLock {
  public:
    explicit FileLock(int fd) : fd_(fd) {
        if (posix::RetryOnEintr([fd] { return ::flock(fd, LOCK_EX); }) != 0) {
            error_ = errno;
        }
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock() {
        if (error_ == 0) {
            ::flock(fd_, LOCK_UN);
        }
    }
    int Error() const { return error_; }

  private:
    int fd_;
    int error_ = 0;
};

}  // namespace

std::optional<AttemptLogFile> AttemptLogFile::Open(const std::string& path, std::string* why) {
    // Not blocking: a named pipe without a reader would otherwise hold the open for ever.
    posix::UniqueFd fd(::open(
        path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644));
    if (!fd) {
        *why = ErrnoText(errno);
        return std::nullopt;
    }
    struct stat status {};
    if (::fstat(fd.Get(), &status) != 0) {
        *why = ErrnoText(errno);
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        *why = "not a regular file";
        return std::nullopt;
    }
    const int flags = ::fcntl(fd.Get(), F_GETFL);
    if (flags == -1 || ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK) == -1) {
        *why = ErrnoText(errno);
        return std::nullopt;
    }
    // A file system that takes no lock is found now, not at the first device's line.
    if (const FileLock lock(fd.Get()); lock.Error() != 0) {
        *why = "cannot lock it: " + ErrnoText(lock.Error());
        return std::nullopt;
    }
    return AttemptLogFile(std::move(fd), path);
}

std::string AttemptLogFile::Append(const std::string& line) {
    const std::string text = line + "\n";
    const FileLock lock(fd_.Get());
    if (lock.Error() != 0) {
        return "cannot lock it: " + ErrnoText(lock.Error());
    }
    struct stat status {};
    if (::fstat(fd_.Get(), &status) != 0) {
        return ErrnoText(errno);
    }
    // Under the lock, the end of the file is where this line goes.
    const off_t before = status.st_size;
    const ssize_t written =
        posix::RetryOnEintr([&] { return ::write(fd_.Get(), text.data(), text.size()); });
    if (written != static_cast<ssize_t>(text.size())) {
        const int error = written < 0 ? errno : 0;
        if (written > 0) {
            // Only a whole line may stay: the part written is ours, and goes again.
            [[maybe_unused]] const int ignored = ::ftruncate(fd_.Get(), before);
        }
        return error != 0 ? ErrnoText(error)
                          : "only " + std::to_string(written) + " of " +
                                std::to_string(text.size()) + " bytes written";
    }
    return {};
}

std::string AttemptLogFile::Sync() {
    if (posix::RetryOnEintr([this] { return ::fdatasync(fd_.Get()); }) != 0) {
        return ErrnoText(errno);
    }
    return {};
}

void TakeSet(AttemptContext& context, const SetCheckResult* check) {
    if (check == nullptr) {
        return;
    }
    const SetSummary& summary = check->summary;
    if (summary.romType) {
        context.romType = RomTypeName(*summary.romType);
    }
    context.setSha256 = check->Sound() ? summary.setSha256 : std::string();
    context.disks.clear();
    for (const DiskContents& disk : summary.disks) {
        context.disks.emplace_back(disk.path, disk.sha256);
    }
}

AttemptLog::AttemptLog(AttemptLogFile* file, JournalSink* journal, AttemptContext context,
                       std::function<void(const std::string&)> notice)
    : file_(file), journal_(journal), context_(std::move(context)), notice_(std::move(notice)) {}

void AttemptLog::Write(JournalKind kind, const std::string& line, std::string* why) {
    std::string error;
    if (file_ != nullptr) {
        const std::lock_guard lock(mutex_);
        error = file_->Append(line);
    }
    Failure(error, why);
    if (journal_ != nullptr) {
        journal_->Send(kind, line);
    }
}

void AttemptLog::Sync(std::string* why) {
    if (file_ == nullptr) {
        return;
    }
    std::string error;
    {
        const std::lock_guard lock(mutex_);
        error = file_->Sync();
    }
    Failure(error, why);
}

void AttemptLog::Failure(const std::string& error, std::string* why) {
    if (error.empty()) {
        return;
    }
    if (why != nullptr) {
        *why = error;
    }
    // Said once: a full disk would otherwise repeat itself for every device. A caller that
    // asks why says it itself.
    if (!failed_.exchange(true) && why == nullptr && notice_) {
        notice_("qf580-flash: cannot write the record " + Path() + ": " + error +
                "; the transfers go on");
    }
}

AttemptLog::Attempt AttemptLog::Begin(const std::string& device,
                                      const std::optional<std::string>& serial, std::string* why) {
    Attempt attempt{NewAttemptId(), device, serial};
    Write(JournalKind::Begin, BeginLine(context_, attempt, std::chrono::system_clock::now()), why);
    return attempt;
}

void AttemptLog::End(const Attempt& attempt, Outcome outcome, int exitCode, const StreamCount& sent,
                     double seconds) {
    Write(JournalKind::End,
          EndLine(context_, attempt, outcome, exitCode, sent, seconds,
                  std::chrono::system_clock::now()),
          nullptr);
}

std::string BeginLine(const AttemptContext& context, const AttemptLog::Attempt& attempt,
                      std::chrono::system_clock::time_point time) {
    ordered_json line;
    line["schema"] = 1;
    line["event"] = "begin";
    line["attempt"] = attempt.id;
    line["time"] = UtcTime(time);
    line["device"] = attempt.device;
    line["serial"] = TextOrNull(attempt.serial);
    line["set_sha256"] = DigestOrNull(context.setSha256);
    line["station"] = context.station;
    line["operator"] = TextOrNull(context.operatorName);
    line["host"] = context.host;
    line["tool"] = {{"name", context.toolName}, {"version", context.version}};
    line["file"] = context.file;
    line["disks"] = ordered_json::array();
    for (const auto& [path, sha256] : context.disks) {
        line["disks"].push_back({{"path", path}, {"sha256", DigestOrNull(sha256)}});
    }
    line["rom_type"] = TextOrNull(context.romType);
    return Dump(line);
}

std::string EndLine(const AttemptContext& context, const AttemptLog::Attempt& attempt,
                    Outcome outcome, int exitCode, const StreamCount& sent, double seconds,
                    std::chrono::system_clock::time_point time) {
    ordered_json line;
    line["schema"] = 1;
    line["event"] = "end";
    line["attempt"] = attempt.id;
    line["time"] = UtcTime(time);
    line["device"] = attempt.device;
    line["serial"] = TextOrNull(attempt.serial);
    line["set_sha256"] = DigestOrNull(context.setSha256);
    line["outcome"] = std::string(OutcomeText(outcome));
    line["exit_code"] = exitCode;
    line["bytes_sent"] = sent.bytes;
    line["records_sent"] = sent.records;
    // Milliseconds, as the events give them: the digits beyond say nothing.
    line["seconds"] = std::round(seconds * 1000.0) / 1000.0;
    return Dump(line);
}

std::string NewAttemptId() {
    std::uint8_t bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error(std::string("no random bytes for an attempt id: ") +
                                     std::strerror(errno));
        }
        got += static_cast<std::size_t>(n);
    }
    std::string id;
    for (const std::uint8_t b : bytes) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", b);
        id += hex;
    }
    return id;
}

std::string UtcTime(std::chrono::system_clock::time_point time) {
    const auto ms = std::chrono::floor<std::chrono::milliseconds>(time);
    const auto seconds = std::chrono::floor<std::chrono::seconds>(ms);
    const std::time_t t = std::chrono::system_clock::to_time_t(seconds);
    std::tm utc{};
    ::gmtime_r(&t, &utc);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>((ms - seconds).count()));
    return text;
}

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return name;
}

}  // namespace qf580
