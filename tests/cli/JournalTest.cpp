// The attempt log's lines as journal entries: the fields a line gives, and, beside a
// systemd-journald of the test's own, two devices' entries read back, a run with no journal,
// and the journal carried to a collector by systemd's own forwarding, on loopback only.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "attemptlog/JournalSink.h"
#include "posix/UniqueFd.h"
#include "tests/cli/DeviceLabel.h"
#include "tests/support/JournalEntries.h"
#include "tests/worker/WorkerSupport.h"

namespace qf580::test {
namespace {

using nlohmann::json;
using sim::TcpDeviceServer;

TEST(JournalFields, SentenceIdPriorityAndOneFieldPerMember) {
    const std::string begin = R"({"event":"begin","device":"h:1","serial":"S","set_sha256":")" +
                              std::string(64, 'c') +
                              R"(","operator":null,"disks":[{"sha256":null}],"new-x":"a\nb"})";
    const std::string failed =
        R"({"event":"end","device":"USB","outcome":"Time out","exit_code":7})";
    const std::string stopped =
        R"({"event":"session","session":"s9","station":"L3","units":5,"passed":2,"ended_by":"failures-in-a-row"})";
    struct Case {
        JournalKind kind;
        std::string line;
        std::map<std::string, std::string> expected;  // besides the identifier and the line
    };
    const std::vector<Case> cases = {
        {JournalKind::Begin,
         begin,
         {{"MESSAGE", "S at h:1: Transfer begins, set cccccccc..."},
          {"MESSAGE_ID", "f99cc694d99e4dec95838c2dc4b2e430"},
          {"PRIORITY", "6"},
          {"QF580_EVENT", "begin"},
          {"QF580_DEVICE", "h:1"},
          {"QF580_SERIAL", "S"},
          {"QF580_SET_SHA256", std::string(64, 'c')},
          {"QF580_DISKS", R"([{"sha256":null}])"},
          {"QF580_NEW_X", "a\nb"}}},
        {JournalKind::End,
         failed,
         {{"MESSAGE", "USB: Time out (exit 7), set not checked"},
          {"MESSAGE_ID", "bf2c8b3917254c2ca341575593e7d823"},
          {"PRIORITY", "3"},
          {"QF580_EVENT", "end"},
          {"QF580_DEVICE", "USB"},
          {"QF580_OUTCOME", "Time out"},
          {"QF580_EXIT_CODE", "7"}}},
        {JournalKind::Session,
         stopped,
         {{"MESSAGE",
           "Session s9 at L3: stopped the line (failures-in-a-row), 2 of 5 units passed"},
          {"MESSAGE_ID", "d5a5c0be853c44b18a3e38a600fbea39"},
          {"PRIORITY", "4"},
          {"QF580_EVENT", "session"},
          {"QF580_SESSION", "s9"},
          {"QF580_STATION", "L3"},
          {"QF580_UNITS", "5"},
          {"QF580_PASSED", "2"},
          {"QF580_ENDED_BY", "failures-in-a-row"}}},
    };
    for (const Case& c : cases) {
        std::map<std::string, std::string> fields;
        for (const std::string& field : JournalFields(c.kind, c.line, "id-x")) {
            const std::size_t eq = field.find('=');
            EXPECT_TRUE(fields.emplace(field.substr(0, eq), field.substr(eq + 1)).second) << field;
        }
        EXPECT_EQ(fields["QF580_RECORD"], c.line);
        EXPECT_EQ(fields["SYSLOG_IDENTIFIER"], "id-x");
        fields.erase("QF580_RECORD");
        fields.erase("SYSLOG_IDENTIFIER");
        EXPECT_EQ(fields, c.expected) << c.line;
    }
}

TEST(JournalFields, CatalogExplainsEachKindAndAbsenceIsFound) {
    std::ifstream catalog(QF_JOURNAL_CATALOG);
    std::set<std::string> ids;
    std::smatch match;
    for (std::string line; std::getline(catalog, line);) {
        if (std::regex_match(line, match, std::regex("^-- ([0-9a-f]{32})$"))) {
            ids.insert(match[1]);
        }
    }
    EXPECT_EQ(ids, (std::set<std::string>{JournalMessageId(JournalKind::Begin),
                                          JournalMessageId(JournalKind::End),
                                          JournalMessageId(JournalKind::Session)}));
    // The socket file of a journal that is gone too: there libsystemd's send says nothing.
    const TempDir tmp;
    const std::string gone = tmp.Make(TempDir::Special::Socket, "socket");
    for (const auto& [path, why] :
         std::map<std::string, std::string>{{"/nonexistent/socket", "No such file"},
                                            {"/dev/null", "not a socket"},
                                            {gone, "Connection refused"}}) {
        EXPECT_NE(JournalAbsence(path.c_str()).find(why), std::string::npos) << path;
    }
}

class Journal : public ::testing::Test {
  protected:
    // qf580-flash --journal with `args` beside a journald of the test's own (none unless
    // `journald`), whose files land in `journal`; its exit code, kCannotIsolate if none ran.
    int Flash(std::vector<std::string> args, const std::vector<const TcpDeviceServer*>& devices,
              bool journald = true) {
        std::vector<std::string> command = {QF_WITH_JOURNALD, journal, QF580_FLASH, "--journal"};
        if (!journald) {
            command.insert(command.begin() + 1, "--no-journald");
        }
        command.insert(command.end(), args.begin(), args.end());
        for (const TcpDeviceServer* device : devices) {
            command.insert(command.end(), {"--address", Label(*device)});
        }
        command.push_back(
            tmp.Write("FW0001.q58", Header(kRomMain, 1) + Join(PassRecords(60, 5)) + kEnd));
        ChildProcess run(command);
        const int code = run.Wait();
        err = run.err;
        return code;
    }
    std::vector<std::string> RecordLines() const {
        std::ifstream in(record);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    TempDir tmp;
    std::string record = tmp.path() + "/attempts.jsonl";
    std::string journal = tmp.path() + "/journal";
    std::string err;
};

#define FLASH_OR_SKIP(expected, ...)          \
    do {                                      \
        const int code_ = Flash(__VA_ARGS__); \
        if (code_ == kCannotIsolate) {        \
            GTEST_SKIP() << err;              \
        }                                     \
        ASSERT_EQ(code_, expected) << err;    \
    } while (false)

TEST_F(Journal, TwoDevicesSendEveryLineOfTheRecord) {
    TcpDeviceServer good;
    TcpDeviceServer wrong(
        sim::FaultPlan{{At(sim::FaultKind::WrongByte, sim::ReplyPoint::HeaderAck)}});
    FLASH_OR_SKIP(
        17,
        {"--record", record, "--station", "line-3", "--serial", "SN-0001", "--serial", "SN-0002"},
        {&good, &wrong});
    EXPECT_EQ(err.find("journal"), std::string::npos) << err;
    const std::vector<std::string> all = RecordLines();
    const std::set<std::string> lines(all.begin(), all.end());
    const std::vector<json> entries = JournalEntries(journal, "qf580-flash");
    ASSERT_EQ(entries.size(), 4u);
    ASSERT_EQ(lines.size(), 4u);
    for (const json& entry : entries) {
        const std::string line = entry.at("QF580_RECORD");
        EXPECT_EQ(lines.count(line), 1u) << "the record's line, byte for byte: " << line;
        const json fields = json::parse(line);
        for (const auto& [member, value] : fields.items()) {
            std::string name = "QF580_" + member;
            std::transform(name.begin(), name.end(), name.begin(), ::toupper);
            EXPECT_EQ(entry.contains(name), !value.is_null()) << name;
            if (!value.is_null()) {
                const std::string got = entry[name];
                EXPECT_EQ(value.is_string() ? json(got) : json::parse(got), value) << name;
            }
        }
        const bool begin = fields["event"] == "begin";
        EXPECT_EQ(entry["MESSAGE_ID"],
                  JournalMessageId(begin ? JournalKind::Begin : JournalKind::End));
        EXPECT_EQ(entry["PRIORITY"], begin || fields["exit_code"] == 0 ? "6" : "3");
        EXPECT_EQ(
            entry["MESSAGE"].get<std::string>().rfind(
                fields["serial"].get<std::string>() + " at " + fields["device"].get<std::string>(),
                0),
            0u);
    }
}

TEST_F(Journal, UnreachableIsSaidOnceAndStopsNoTransfer) {
    for (const bool failing : {false, true}) {
        TcpDeviceServer a;
        TcpDeviceServer b(
            failing ? sim::FaultPlan{{At(sim::FaultKind::WrongByte, sim::ReplyPoint::HeaderAck)}}
                    : sim::FaultPlan{});
        // A device's own outcome says more than an entry missing from the journal.
        FLASH_OR_SKIP(failing ? 17 : 3, {"--record", record}, {&a, &b}, false);
        EXPECT_TRUE(a.Complete());
        const std::string said = "qf580-flash: cannot send to the journal: ";
        EXPECT_NE(err.find(said), std::string::npos) << err;
        EXPECT_EQ(err.find(said), err.rfind(said)) << "said once: " << err;
    }
    EXPECT_EQ(RecordLines().size(), 8u) << "the record has every line";
}

// A port on loopback: a free one (0), or whether `port` takes a connection.
std::uint16_t Loopback(std::uint16_t port = 0) {
    const posix::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t size = sizeof address;
    auto* any = reinterpret_cast<sockaddr*>(&address);
    if (port != 0) {
        return ::connect(fd.Get(), any, size) == 0 ? port : 0;
    }
    return ::bind(fd.Get(), any, size) == 0 && ::getsockname(fd.Get(), any, &size) == 0
               ? ntohs(address.sin_port)
               : 0;
}

TEST_F(Journal, UploadCarriesTheEntriesToACollector) {
    TcpDeviceServer device;
    FLASH_OR_SKIP(0, {"--serial", "SN-0001"}, {&device});
    const std::uint16_t free = Loopback();
    const std::string port = std::to_string(free);
    const std::string collector = tmp.path() + "/collector";
    std::filesystem::create_directories(collector);
    ChildProcess remote({"/lib/systemd/systemd-journal-remote", "--listen-http=127.0.0.1:" + port,
                         "--output=" + collector + "/all.journal", "--split-mode=none"});
    ASSERT_TRUE(remote.WaitUntil([&] { return Loopback(free) != 0; }, std::chrono::seconds(10)))
        << remote.err;
    ChildProcess upload({"/lib/systemd/systemd-journal-upload", "--url=http://127.0.0.1:" + port,
                         "--directory=" + journal, "--save-state=" + tmp.path() + "/state",
                         "--follow=no"});
    EXPECT_EQ(upload.Wait(), 0) << upload.err;
    remote.Signal(SIGTERM);
    EXPECT_EQ(remote.Wait(), 0) << remote.err;

    const std::vector<json> entries =
        JournalEntries(collector, "qf580-flash", "QF580_SERIAL=SN-0001");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0]["QF580_EVENT"], "begin");
    EXPECT_EQ(entries[1]["QF580_OUTCOME"], "Transfer completed");
    EXPECT_EQ(entries[0]["QF580_ATTEMPT"], entries[1]["QF580_ATTEMPT"]);
}

}  // namespace
}  // namespace qf580::test
