// The attempt log's lines as structured entries of the systemd journal, so that the journal's
// own forwarding (systemd-journal-upload to systemd-journal-remote) gathers every station's
// attempts in one place. The record file stays the station's record of truth: the journal
// rate-limits and rotates, and is only how the lines travel.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace qf580 {

// The kinds of line, each with an entry id of its own (MESSAGE_ID, and the catalog's).
enum class JournalKind { Begin, End, Session };

// The fixed 128-bit id of a kind's entries, in hex as the journal writes it.
const char* JournalMessageId(JournalKind kind);

// The journal's socket, where libsystemd sends every entry.
inline constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

// The fields of the entry for one attempt-log line ("NAME=value" each): the sentence, the id,
// the priority, `identifier`, one QF580_<MEMBER> for each top-level member of the line that is
// not null (strings as they are, anything else as JSON text), and QF580_RECORD, the line
// itself byte for byte. A member that a line gains travels without a change here.
std::vector<std::string> JournalFields(JournalKind kind, const std::string& line,
                                       const std::string& identifier);

// Empty when a journal takes entries at `socketPath`, else why not. libsystemd's send succeeds
// without a word when no journal is there at all, so the socket itself is asked.
std::string JournalAbsence(const char* socketPath = kJournalSocket);

// One host's sender of entries. Safe to use from every worker.
class JournalSink {
  public:
    // `identifier` is the entries' SYSLOG_IDENTIFIER. `notice` says the first failure, once;
    // without one a failure is ignored quietly (the window's way).
    JournalSink(std::string identifier, std::function<void(const std::string&)> notice);

    // Sends one line of any kind as its entry. False when the journal could not be reached or
    // refused it; the caller goes on either way.
    bool Send(JournalKind kind, const std::string& line);

    // An entry that could not be sent.
    bool Failed() const { return failed_.load(); }

  private:
    void Failure(const std::string& why);

    std::string identifier_;
    std::function<void(const std::string&)> notice_;
    std::atomic<bool> failed_{false};
};

}  // namespace qf580
