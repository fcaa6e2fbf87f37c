// The window's transfers in the journal: a transfer's begin and end entries, read back from a
// systemd-journald of the test's own. The journal's socket has one fixed path, so the transfer
// runs in a second run of this program beside that journald.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "attemptlog/JournalSink.h"
#include "sim/SampleSet.h"
#include "sim/TcpDeviceServer.h"
#include "tests/support/JournalEntries.h"
#include "tests/ui_main/UiSupport.h"
#include "ui/TransferSession.h"

namespace qf580::test {
namespace {

using nlohmann::json;

constexpr const char* kInside = "QF_WINDOW_JOURNAL_INSIDE";

// Inside: one transfer through the session, as the window starts it.
void TransferBesideTheJournal() {
    TempDir dir;
    const auto paths = sim::WriteSampleSet(dir.path(), "FW0000.q58",
                                           {.romType = 1, .disks = 1, .recordsPerPass = 30});
    sim::TcpDeviceServer server;
    LinkSettings settings;
    settings.Set(AtLoopback({}, server.Port()));
    ui::TransferSession session;
    session.SetTransEnvironment(WindowTestLimits());
    ASSERT_TRUE(session.Start(SplitChosenFile(paths.front()), settings));
    ASSERT_TRUE(WaitUntil([&] { return !session.Running(); }, 8000));
    EXPECT_TRUE(server.Complete());
    std::printf("device 127.0.0.1:%u\nfile %s\n", static_cast<unsigned>(server.Port()),
                paths.front().c_str());
}

TEST(WindowJournal, TransferSendsItsBeginAndEnd) {
    if (getenv(kInside) != nullptr) {
        TransferBesideTheJournal();
        return;
    }
    char self[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
    TempDir tmp;
    const std::string journal = tmp.path() + "/journal";
    setenv(kInside, "1", 1);
    ChildProcess inside({QF_WITH_JOURNALD, journal, self,
                         "--gtest_filter=WindowJournal.TransferSendsItsBeginAndEnd"});
    unsetenv(kInside);
    const int code = inside.Wait(std::chrono::seconds(30));
    if (code == kCannotIsolate) {
        GTEST_SKIP() << inside.err;
    }
    ASSERT_EQ(code, 0) << inside.out << inside.err;
    const std::size_t at = inside.out.find("device ");
    ASSERT_NE(at, std::string::npos) << inside.out;
    const std::string device = inside.out.substr(at + 7, inside.out.find('\n', at) - at - 7);

    const std::vector<json> entries = JournalEntries(journal, "qf580-flashtool");
    ASSERT_EQ(entries.size(), 2u);
    const json& begin = entries[0];
    const json& end = entries[1];
    EXPECT_EQ(begin["MESSAGE_ID"], JournalMessageId(JournalKind::Begin));
    EXPECT_EQ(end["MESSAGE_ID"], JournalMessageId(JournalKind::End));
    EXPECT_EQ(begin["MESSAGE"], device + ": Transfer begins, set not checked");
    EXPECT_EQ(end["MESSAGE"], device + ": Transfer completed (exit 0), set not checked");
    EXPECT_EQ(begin["PRIORITY"], "6");
    EXPECT_EQ(end["PRIORITY"], "6");
    EXPECT_EQ(begin["QF580_ATTEMPT"], end["QF580_ATTEMPT"]);
    for (const json& entry : entries) {
        EXPECT_EQ(entry["QF580_DEVICE"], device);
        EXPECT_FALSE(entry.contains("QF580_SERIAL"));
        EXPECT_EQ(json::parse(entry["QF580_RECORD"].get<std::string>())["attempt"],
                  entry["QF580_ATTEMPT"]);
    }
    EXPECT_EQ(json::parse(begin["QF580_TOOL"].get<std::string>())["name"], "qf580-flashtool");
    EXPECT_NE(inside.out.find("file " + begin["QF580_FILE"].get<std::string>() + "\n"),
              std::string::npos)
        << inside.out;
    EXPECT_EQ(end["QF580_EXIT_CODE"], "0");
    EXPECT_NE(end["QF580_BYTES_SENT"], "0");
}

}  // namespace
}  // namespace qf580::test
