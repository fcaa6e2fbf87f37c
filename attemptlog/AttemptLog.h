// The record of every attempt (--record FILE): a line when a device's transfer begins and one
// when it ends, appended to a file that several runs on one station may share, so that months
// later a line can say which set went into which device, where, by whom, and how it ended.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "attemptlog/JournalSink.h"
#include "posix/UniqueFd.h"
#include "text/JsonText.h"
#include "transfer/Outcome.h"
#include "transfer/Progress.h"

namespace qf580 {
struct SetCheckResult;
}

namespace qf580 {

// How long a line waits for the file's lock, held by another run or any other process, and
// what ends the wait early. A limit, so that a lock nobody gives back never holds the program.
struct LockWait {
    std::chrono::milliseconds limit{10000};
    std::function<bool()> stopped;  // true: the person asked to stop
};

// The file itself: opened for appending only, never truncated, shared with other runs.
class AttemptLogFile {
  public:
    // Opens `path`, created with mode 0644 (less the umask) if missing. Only a regular file
    // serves: a pipe or a device would take lines that no one can read back months later.
    // Nullopt and `why` when it cannot be opened or locked within `wait`.
    static std::optional<AttemptLogFile> Open(const std::string& path, std::string* why,
                                              const LockWait& wait = {});

    // Appends `line` and its line end with a single write under the file's advisory lock, so
    // that lines of several runs never interleave; a file whose last line was left without
    // its end (a run killed mid-write) gets one first. A path that names another file by now
    // (the file was rotated or deleted) is opened anew first, said in `note` the first time.
    // Empty on success, else why it failed; a line cut short is taken back out.
    std::string Append(const std::string& line, const LockWait& wait = {},
                       std::string* note = nullptr);
    // Puts every line written so far on the disk; empty or why not.
    std::string Sync();

    const std::string& Path() const { return path_; }
    // Whether `path` names this very file (the same device and inode).
    bool IsFile(const std::string& path) const;

  private:
    AttemptLogFile(posix::UniqueFd fd, std::string path)
        : fd_(std::move(fd)), path_(std::move(path)) {}
    // The path names another file than the one open, or none: opens it anew. Empty, or why not.
    std::string FollowPath(std::string* note);

    posix::UniqueFd fd_;
    std::string path_;
    bool reopenSaid_ = false;
};

// What every begin line of a run holds besides the device and its serial.
struct AttemptContext {
    std::string station;
    std::optional<std::string> operatorName;
    std::string host;
    std::string toolName = "qf580-flash";
    std::string version;  // the tool's
    std::string file;     // the chosen file as given
    // Known once the set was read: the ROM type's name, the set's digest (empty unless the set
    // is sound), and each disk's path and digest (empty when not known).
    std::optional<std::string> romType;
    std::string setSha256;
    std::vector<std::pair<std::string, std::string>> disks;
};

// A unit's place in a station session (qf580-flash --loop), on its begin and end lines.
struct SessionPlace {
    std::string session;  // the session's id
    int unit = 1;         // counted from 1 in the session
    int tryNo = 1;        // from 1; a link fault may be tried again
    // The first try's attempt, from the second try on.
    std::optional<std::string> retryOf;
};

// The line that ends a station session: how many units, how they ended, and why it ended.
struct SessionEnd {
    std::string session;
    std::string started;  // UtcTime of the start
    int units = 0;
    int passed = 0;
    int failed = 0;
    std::vector<std::pair<std::string, int>> outcomes;  // outcome text, units that ended so
    std::string endedBy;
};

// The session's counts, as its last line and its event give them: units, passed, failed and
// the units of each outcome.
void AddCounts(JsonValue& line, const SessionEnd& end);

// The set's part of the context, from the check (none when no check ran).
void TakeSet(AttemptContext& context, const SetCheckResult* check);

// One run's record: every device's begin and end lines, written to the record file, sent to
// the journal, or both. Safe to use from every worker.
class AttemptLog {
  public:
    // `notice` says the first failure of the file to the person, once; the journal says its
    // own. Both outlive the log (a station writes one file for many runs), and either may be
    // missing: without a file nothing is written, without a journal nothing is sent. The
    // context is complete here, and read by every worker without a lock. `wait`: how long a
    // line waits for the file's lock; a stop ends the wait of a begin line only.
    AttemptLog(AttemptLogFile* file, JournalSink* journal, AttemptContext context,
               std::function<void(const std::string&)> notice, LockWait wait = {});

    const AttemptContext& Context() const { return context_; }
    // The record file's; empty without one.
    std::string Path() const { return file_ != nullptr ? file_->Path() : std::string(); }

    struct Attempt {
        std::string id;  // pairs the begin and the end line
        std::string device;
        std::optional<std::string> serial;
        std::optional<SessionPlace> place;
    };
    // Writes the begin line; Sync puts it on the disk before the transfer goes on. A line that
    // the file fails is said as the notice, or put in `why` when given (the attempt goes on
    // either way); a journal that fails never gives a `why`.
    Attempt Begin(const std::string& device, const std::optional<std::string>& serial,
                  std::string* why = nullptr, const std::optional<SessionPlace>& place = {});
    // `setSha256`: the digest of what was sent of the set, empty when not known.
    void End(const Attempt& attempt, Outcome outcome, int exitCode, const StreamCount& sent,
             double seconds, const std::string& setSha256);
    // The session's last line, synced; empty or why it failed (also said as Begin's).
    std::string EndSession(const SessionEnd& end);
    // Every line written so far on the disk: once for all devices' begin lines before their
    // transfers go on, once for their end lines before the program exits. Failures as Begin's.
    void Sync(std::string* why = nullptr);

    // A line that could not be written, synced, or sent to the journal.
    bool Failed() const { return failed_.load() || (journal_ != nullptr && journal_->Failed()); }

  private:
    void Write(JournalKind kind, const std::string& line, std::string* why, const LockWait& wait);
    // The one way a failure is told: in `why` when given, else once as the notice.
    void Failure(const std::string& error, std::string* why);

    AttemptLogFile* const file_;
    JournalSink* const journal_;
    const AttemptContext context_;
    std::function<void(const std::string&)> notice_;
    const LockWait wait_;
    std::mutex mutex_;  // one writer at a time within the run; the lock is for other runs
    std::atomic<bool> failed_{false};
};

// The lines themselves, one builder for every host: a device's begin line, and the end line
// of the same attempt.
std::string BeginLine(const AttemptContext& context, const AttemptLog::Attempt& attempt,
                      std::chrono::system_clock::time_point time);
// `setSha256`: the digest of what was sent of the set, empty when not known.
std::string EndLine(const AttemptLog::Attempt& attempt, Outcome outcome, int exitCode,
                    const StreamCount& sent, double seconds, const std::string& setSha256,
                    std::chrono::system_clock::time_point time);

// A random 128-bit id in lower-case hex, from the kernel's random source.
std::string NewAttemptId();
// UTC, ISO 8601 with milliseconds: "2026-12-09T20:44:17.123Z".
std::string UtcTime(std::chrono::system_clock::time_point time);
// The machine's name.
std::string HostName();

}  // namespace qf580
