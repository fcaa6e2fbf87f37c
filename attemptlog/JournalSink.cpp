#include "attemptlog/JournalSink.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "posix/SharedLibrary.h"
#include "posix/UniqueFd.h"
#include "text/JsonText.h"

namespace qf580 {

namespace {

using nlohmann::ordered_json;

// The journal's syslog priorities.
constexpr int kPriorityWarning = 4;
constexpr int kPriorityError = 3;
constexpr int kPriorityInfo = 6;

// The journal takes upper-case letters, digits and underscores, 64 at most.
std::string FieldName(const std::string& member) {
    std::string name = "QF580_";
    for (const char c : member) {
        const auto u = static_cast<unsigned char>(c);
        name += std::isalnum(u) != 0 && u < 0x80 ? static_cast<char>(std::toupper(u)) : '_';
    }
    return name.substr(0, 64);
}

std::string Text(const ordered_json& line, const char* member) {
    const auto it = line.find(member);
    if (it == line.end() || it->is_null()) {
        return {};
    }
    return it->is_string() ? it->get<std::string>() : JsonText(*it);
}

// Who the line is about: the serial at its device, or the device alone.
std::string Subject(const ordered_json& line) {
    const std::string serial = Text(line, "serial");
    const std::string device = Text(line, "device");
    return serial.empty() ? device : serial + " at " + device;
}

std::string SetText(const ordered_json& line) {
    const std::string sha = Text(line, "set_sha256");
    return sha.empty() ? "set not checked" : "set " + sha.substr(0, 8) + "...";
}

bool Failing(const ordered_json& line) {
    const auto it = line.find("exit_code");
    return it == line.end() || !it->is_number_integer() || it->get<long long>() != 0;
}

// A session the station ended itself, because units kept failing or the set changed on disk:
// the line stopped, and somebody has to look.
bool Stopped(const ordered_json& line) {
    const auto it = line.find("ended_by");
    return it != line.end() && it->is_string() &&
           (*it == "failures-in-a-row" || *it == "set-changed");
}

std::string Sentence(JournalKind kind, const ordered_json& line) {
    switch (kind) {
        case JournalKind::Begin:
            return Subject(line) + ": Transfer begins, " + SetText(line);
        case JournalKind::End:
            return Subject(line) + ": " + Text(line, "outcome") + " (exit " +
                   Text(line, "exit_code") + "), " + SetText(line);
        case JournalKind::Session:
            break;
    }
    return "Session " + Text(line, "session") + " at " + Text(line, "station") +
           (Stopped(line) ? ": stopped the line (" + Text(line, "ended_by") + ")"
                          : ": ended (" + Text(line, "ended_by") + ")") +
           ", " + Text(line, "passed") + " of " + Text(line, "units") + " units passed";
}

int Priority(JournalKind kind, const ordered_json& line) {
    switch (kind) {
        case JournalKind::Begin:
            return kPriorityInfo;
        case JournalKind::End:
            return Failing(line) ? kPriorityError : kPriorityInfo;
        case JournalKind::Session:
            break;
    }
    return Stopped(line) ? kPriorityWarning : kPriorityInfo;
}

// libsystemd's sender, loaded the first time an entry goes out: a run without the journal
// never maps libsystemd and the half-dozen libraries it brings with it. Null when the library
// cannot be loaded, with the loader's reason in `why`.
using SendvFn = decltype(&sd_journal_sendv);
SendvFn JournalSendv(std::string& why) {
    static const posix::SharedLibrary library = posix::SharedLibrary::Open("libsystemd.so.0");
    static const auto sendv = library.Function<SendvFn>("sd_journal_sendv");
    if (sendv == nullptr) {
        why = library ? "libsystemd.so.0: no sd_journal_sendv" : library.Error();
    }
    return sendv;
}

}  // namespace

const char* JournalMessageId(JournalKind kind) {
    switch (kind) {
        case JournalKind::Begin:
            return "f99cc694d99e4dec95838c2dc4b2e430";
        case JournalKind::End:
            return "bf2c8b3917254c2ca341575593e7d823";
        case JournalKind::Session:
            break;
    }
    return "d5a5c0be853c44b18a3e38a600fbea39";
}

std::vector<std::string> JournalFields(JournalKind kind, const std::string& line,
                                       const std::string& identifier) {
    ordered_json parsed = ordered_json::parse(line, nullptr, false);
    if (!parsed.is_object()) {
        parsed = ordered_json::object();
    }
    std::vector<std::string> fields{
        "MESSAGE=" + Sentence(kind, parsed),
        std::string("MESSAGE_ID=") + JournalMessageId(kind),
        "PRIORITY=" + std::to_string(Priority(kind, parsed)),
        "SYSLOG_IDENTIFIER=" + identifier,
    };
    for (const auto& [member, value] : parsed.items()) {
        const std::string name = FieldName(member);
        if (value.is_null() || name == "QF580_RECORD") {
            continue;
        }
        fields.push_back(name + "=" +
                         (value.is_string() ? value.get<std::string>() : JsonText(value)));
    }
    fields.push_back("QF580_RECORD=" + line);
    return fields;
}

std::string JournalAbsence(const char* socketPath) {
    struct stat status {};
    if (::stat(socketPath, &status) != 0) {
        return std::string(socketPath) + ": " + std::strerror(errno);
    }
    if (!S_ISSOCK(status.st_mode)) {
        return std::string(socketPath) + ": not a socket";
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath, sizeof address.sun_path - 1);
    const posix::UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        return std::string("no socket: ") + std::strerror(errno);
    }
    // A socket file left behind by a journal that is gone refuses the connection.
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return std::string(socketPath) + ": " + std::strerror(errno);
    }
    return {};
}

JournalSink::JournalSink(std::string identifier, std::function<void(const std::string&)> notice)
    : identifier_(std::move(identifier)), notice_(std::move(notice)) {}

bool JournalSink::Send(JournalKind kind, const std::string& line) {
    if (const std::string absent = JournalAbsence(); !absent.empty()) {
        Failure(absent);
        return false;
    }
    std::string unloaded;
    const SendvFn sendv = JournalSendv(unloaded);
    if (sendv == nullptr) {
        Failure(unloaded);
        return false;
    }
    const std::vector<std::string> fields = JournalFields(kind, line, identifier_);
    std::vector<iovec> parts;
    parts.reserve(fields.size());
    for (const std::string& field : fields) {
        parts.push_back({const_cast<char*>(field.data()), field.size()});
    }
    const int rc = sendv(parts.data(), static_cast<int>(parts.size()));
    if (rc < 0) {
        Failure(std::strerror(-rc));
        return false;
    }
    return true;
}

void JournalSink::Failure(const std::string& why) {
    // Said once: a journal that is gone would otherwise repeat itself for every line.
    if (!failed_.exchange(true) && notice_) {
        notice_(identifier_ + ": cannot send to the journal: " + why + "; the transfers go on");
    }
}

}  // namespace qf580
