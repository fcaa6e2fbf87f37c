#include "attemptlog/AttemptLog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <thread>

#include "posix/Eintr.h"
#include "text/JsonText.h"
#include "transfer/SetCheck.h"

namespace qf580 {

namespace {

std::string ErrnoText(int error) {
    return std::strerror(error);
}

JsonValue TextOrNull(const std::optional<std::string>& text) {
    return text ? JsonValue(*text) : JsonValue(nullptr);
}

void AddPlace(JsonValue& line, const std::optional<SessionPlace>& place) {
    if (!place) {
        return;
    }
    line["session"] = place->session;
    line["unit"] = place->unit;
    line["try"] = place->tryNo;
    if (place->retryOf) {
        line["retry_of"] = *place->retryOf;
    }
}

// What a device's begin and its end line start with: the attempt that pairs them.
JsonValue AttemptLine(const char* event, const AttemptLog::Attempt& attempt,
                      std::chrono::system_clock::time_point time) {
    JsonValue line;
    line["schema"] = 1;
    line["event"] = event;
    line["attempt"] = attempt.id;
    line["time"] = UtcTime(time);
    line["device"] = attempt.device;
    line["serial"] = TextOrNull(attempt.serial);
    AddPlace(line, attempt.place);
    return line;
}

// Where and by whom, on a begin line and on a session's line.
void AddStation(JsonValue& line, const AttemptContext& context) {
    line["station"] = context.station;
    line["operator"] = TextOrNull(context.operatorName);
    line["host"] = context.host;
    line["tool"] = {{"name", context.toolName}, {"version", context.version}};
}

// The advisory lock of the whole file, for as long as it lives. Taken without blocking, tried
// again every few milliseconds: a blocking flock would wait for ever on a lock nobody gives
// back, deaf to the person's Ctrl+C.
class FileLock {
  public:
    FileLock(int fd, const LockWait& wait) : fd_(fd) {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + wait.limit;
        while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                why_ = "cannot lock it: " + ErrnoText(errno);
                return;
            }
            if (wait.stopped && wait.stopped()) {
                why_ = "stopped while waiting for its lock";
                return;
            }
            if (Clock::now() >= deadline) {
                why_ = "it is locked by another process (waited " +
                       std::to_string(std::chrono::ceil<std::chrono::seconds>(wait.limit).count()) +
                       " s)";
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        locked_ = true;
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock() {
        if (locked_) {
            ::flock(fd_, LOCK_UN);
        }
    }
    // Empty once locked, else why not.
    const std::string& Why() const { return why_; }

  private:
    int fd_;
    bool locked_ = false;
    std::string why_;
};

// Opens `path` for appending: a regular file only. An invalid descriptor and `why` if not.
posix::UniqueFd OpenForAppending(const std::string& path, std::string* why) {
    // Not blocking: a named pipe without a reader would otherwise hold the open for ever. Read
    // too, for the last byte of a torn line; a file we may only write to is written to all
    // the same.
    constexpr int kFlags = O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    posix::UniqueFd fd(::open(path.c_str(), O_RDWR | kFlags, 0644));
    if (!fd && errno == EACCES) {
        fd = posix::UniqueFd(::open(path.c_str(), O_WRONLY | kFlags, 0644));
    }
    if (!fd) {
        *why = ErrnoText(errno);
        return fd;
    }
    struct stat status {};
    if (::fstat(fd.Get(), &status) != 0) {
        *why = ErrnoText(errno);
        return {};
    }
    if (!S_ISREG(status.st_mode)) {
        *why = "not a regular file";
        return {};
    }
    const int flags = ::fcntl(fd.Get(), F_GETFL);
    if (flags == -1 || ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK) == -1) {
        *why = ErrnoText(errno);
        return {};
    }
    return fd;
}

}  // namespace

std::optional<AttemptLogFile> AttemptLogFile::Open(const std::string& path, std::string* why,
                                                   const LockWait& wait) {
    posix::UniqueFd fd = OpenForAppending(path, why);
    if (!fd) {
        return std::nullopt;
    }
    // A file system that takes no lock, or a lock that is not given back, is found now, not at
    // the first device's line.
    if (const FileLock lock(fd.Get(), wait); !lock.Why().empty()) {
        *why = lock.Why();
        return std::nullopt;
    }
    return AttemptLogFile(std::move(fd), path);
}

bool AttemptLogFile::IsFile(const std::string& path) const {
    struct stat open {};
    struct stat named {};
    return ::fstat(fd_.Get(), &open) == 0 && ::stat(path.c_str(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

std::string AttemptLogFile::FollowPath(std::string* note) {
    if (IsFile(path_)) {
        return {};
    }
    std::string why;
    posix::UniqueFd fd = OpenForAppending(path_, &why);
    if (!fd) {
        return why;
    }
    fd_ = std::move(fd);
    if (!reopenSaid_ && note != nullptr) {
        *note = "qf580-flash: the record " + path_ +
                " was moved or deleted; the lines from now on go to a file of that name";
    }
    reopenSaid_ = true;
    return {};
}

std::string AttemptLogFile::Append(const std::string& line, const LockWait& wait,
                                   std::string* note) {
    if (std::string why = FollowPath(note); !why.empty()) {
        return why;
    }
    const FileLock lock(fd_.Get(), wait);
    if (!lock.Why().empty()) {
        return lock.Why();
    }
    struct stat status {};
    if (::fstat(fd_.Get(), &status) != 0) {
        return ErrnoText(errno);
    }
    // Under the lock, the end of the file is where this line goes. A last line left without
    // its end is closed first, so that it stays a line of its own and takes no good one along.
    const off_t before = status.st_size;
    char last = '\n';
    if (before > 0 && ::pread(fd_.Get(), &last, 1, before - 1) != 1) {
        last = '\n';  // a file we may not read: appending is all we can do
    }
    const std::string text = (last == '\n' ? "" : "\n") + line + "\n";
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
                       std::function<void(const std::string&)> notice, LockWait wait)
    : file_(file),
      journal_(journal),
      context_(std::move(context)),
      notice_(std::move(notice)),
      wait_(std::move(wait)) {}

void AttemptLog::Write(JournalKind kind, const std::string& line, std::string* why,
                       const LockWait& wait) {
    std::string error;
    std::string note;
    if (file_ != nullptr) {
        const std::lock_guard lock(mutex_);
        error = file_->Append(line, wait, &note);
    }
    if (!note.empty() && notice_) {
        notice_(note);
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
                                      const std::optional<std::string>& serial, std::string* why,
                                      const std::optional<SessionPlace>& place) {
    Attempt attempt{NewAttemptId(), device, serial, place};
    Write(JournalKind::Begin, BeginLine(context_, attempt, std::chrono::system_clock::now()), why,
          wait_);
    return attempt;
}

void AttemptLog::End(const Attempt& attempt, Outcome outcome, int exitCode, const StreamCount& sent,
                     double seconds, const std::string& setSha256) {
    // A stop asked for does not cut the wait short: the end line says how the stop ended.
    Write(JournalKind::End,
          EndLine(attempt, outcome, exitCode, sent, seconds, setSha256,
                  std::chrono::system_clock::now()),
          nullptr, LockWait{wait_.limit, {}});
}

std::string BeginLine(const AttemptContext& context, const AttemptLog::Attempt& attempt,
                      std::chrono::system_clock::time_point time) {
    JsonValue line = AttemptLine("begin", attempt, time);
    line["set_sha256"] = DigestOrNull(context.setSha256);
    AddStation(line, context);
    line["file"] = context.file;
    line["disks"] = JsonValue::array();
    for (const auto& [path, sha256] : context.disks) {
        line["disks"].push_back({{"path", path}, {"sha256", DigestOrNull(sha256)}});
    }
    line["rom_type"] = TextOrNull(context.romType);
    return JsonText(line);
}

std::string EndLine(const AttemptLog::Attempt& attempt, Outcome outcome, int exitCode,
                    const StreamCount& sent, double seconds, const std::string& setSha256,
                    std::chrono::system_clock::time_point time) {
    JsonValue line = AttemptLine("end", attempt, time);
    line["set_sha256"] = DigestOrNull(setSha256);
    line["outcome"] = std::string(OutcomeText(outcome));
    line["exit_code"] = exitCode;
    line["bytes_sent"] = sent.bytes;
    line["records_sent"] = sent.records;
    // Milliseconds, as the events give them (JsonText writes three decimals).
    line["seconds"] = seconds;
    return JsonText(line);
}

std::string AttemptLog::EndSession(const SessionEnd& end) {
    JsonValue line;
    line["schema"] = 1;
    line["event"] = "session";
    line["session"] = end.session;
    line["time"] = UtcTime(std::chrono::system_clock::now());
    AddStation(line, context_);
    line["set_sha256"] = DigestOrNull(context_.setSha256);
    line["started"] = end.started;
    AddCounts(line, end);
    line["ended_by"] = end.endedBy;
    std::string why;
    // As an end line: a stop does not cut the wait short, the session's end is what it says.
    Write(JournalKind::Session, JsonText(line), &why, LockWait{wait_.limit, {}});
    if (why.empty()) {
        Sync(&why);
    }
    return why;
}

void AddCounts(JsonValue& line, const SessionEnd& end) {
    line["units"] = end.units;
    line["passed"] = end.passed;
    line["failed"] = end.failed;
    line["outcomes"] = JsonValue::object();
    for (const auto& [text, count] : end.outcomes) {
        line["outcomes"][text] = count;
    }
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
