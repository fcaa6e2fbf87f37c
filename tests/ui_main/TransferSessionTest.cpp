// The transfer session without a window: the order in which the worker's texts, question and
// end reach the GUI thread, and the ways of stopping it that the window relies on, against
// the device model on 127.0.0.1.
#include <QStringList>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include "sim/SampleSet.h"
#include "sim/TcpDeviceServer.h"
#include "tests/support/StatusTexts.h"
#include "tests/ui_main/UiSupport.h"
#include "ui/TransferSession.h"

namespace qf580::test {
namespace {

using ui::PromptRequest;
using ui::TransferSession;

const QString kAborted = QStringLiteral("Aborted according to instruction received");

// Every signal of a session as one line each, in the order they came.
void Record(TransferSession& session, QStringList& events) {
    QObject::connect(&session, &TransferSession::StatusChanged,
                     [&events](const QString& text) { events << text; });
    QObject::connect(&session, &TransferSession::Ended, [&events](Outcome outcome) {
        events << QStringLiteral("ended: %1").arg(QString::fromUtf8(OutcomeText(outcome)));
    });
    QObject::connect(&session, &TransferSession::LeaveRequested,
                     [&events] { events << QStringLiteral("leave"); });
}

class TransferSessionTest : public ::testing::Test {
  protected:
    explicit TransferSessionTest(int replyDelayMs = 0) : server(Plan(replyDelayMs)) {
        settings.Set(AtLoopback({}, server.Port()));
    }

    static sim::FaultPlan Plan(int replyDelayMs) {
        sim::FaultPlan plan;
        plan.replyDelayMs = replyDelayMs;
        return plan;
    }

    // Writes an update set in a folder of its own and returns its disks' paths.
    std::vector<std::string> WriteSet(sim::SampleOptions options) {
        const std::string folder = dir.path() + "/set" + std::to_string(++sets);
        std::filesystem::create_directories(folder);
        return sim::WriteSampleSet(folder, "FW0000.q58", options);
    }

    void Prepare(TransferSession& s) {
        s.SetTransEnvironment(WindowTestLimits());
        Record(s, events);
    }
    bool Seen(const QString& text, int ms = 5000) {
        return WaitUntil([&] { return events.contains(text); }, ms);
    }

    Operator who;
    TempDir dir;
    int sets = 0;
    sim::TcpDeviceServer server;
    LinkSettings settings;
    QStringList events;
};

class SlowTransferSessionTest : public TransferSessionTest {
  protected:
    SlowTransferSessionTest() : TransferSessionTest(40) {}
};

TEST_F(TransferSessionTest, DeliversTheWorkersTextsThenItsEndInOrder) {
    const auto paths = WriteSet({.romType = 1, .disks = 1, .recordsPerPass = 70});
    TransferSession session;
    Prepare(session);
    ASSERT_TRUE(session.Start(SplitChosenFile(paths.front()), settings));
    EXPECT_TRUE(session.Running());
    const TTrans* worker = session.Worker();
    ASSERT_NE(worker, nullptr);
    // One transfer at a time: a second Start changes nothing.
    EXPECT_FALSE(session.Start(SplitChosenFile(paths.front()), settings));
    EXPECT_EQ(session.Worker(), worker);

    ASSERT_TRUE(WaitUntil([&] { return !session.Running(); }, 8000));
    QStringList expected = ToQt(TransferTexts({70, 70}));
    expected << QStringLiteral("ended: Transfer completed");
    EXPECT_EQ(events, expected);
    // The ended worker stays in the session's keeping until the next Start or a stop.
    EXPECT_EQ(session.Worker(), worker);
    EXPECT_TRUE(server.WaitForConnectionsEnded(1, std::chrono::seconds(5)));
    EXPECT_TRUE(server.Complete()) << server.State();
}

// The question is up when Exit or a close comes: leaving is put off, the worker gets the
// operator's answer, and only then is the leave asked for again.
TEST_F(TransferSessionTest, LeavingWhileTheDiskQuestionIsOpenWaitsForItsAnswer) {
    const auto paths = WriteSet({.romType = 0, .disks = 2, .recordsPerPass = 40});
    ASSERT_EQ(paths.size(), 2u);
    const std::string away = paths[1] + ".away";
    std::filesystem::rename(paths[1], away);

    TransferSession session;
    Prepare(session);
    who.onQuestion = [&](const PromptRequest& r) {
        events << "asked: " + r.text;
        events << (session.StopForLeaving() ? "left inside the box" : "leave put off");
        EXPECT_TRUE(session.Running());
        std::filesystem::rename(away, paths[1]);  // the operator inserts the disk: OK
        events << "answered";
        return true;
    };
    bool left = false;
    QObject::connect(&session, &TransferSession::LeaveRequested, [&] {
        left = session.StopForLeaving();
        events << (left ? "gone" : "not gone");
    });
    ASSERT_TRUE(session.Start(SplitChosenFile(paths.front()), settings));

    ASSERT_TRUE(Seen("gone", 8000)) << events.join(" | ").toStdString();
    EXPECT_TRUE(left);
    EXPECT_EQ(session.Worker(), nullptr);
    EXPECT_FALSE(session.Running());
    const auto asked = events.indexOf("asked: Insert Disk 2");
    ASSERT_GE(asked, 0);
    // The leave comes back only after the answer; the worker stops at its next check after
    // taking it, and its end is delivered inside the wait that the leave runs.
    EXPECT_EQ(events.mid(asked, 4),
              QStringList({"asked: Insert Disk 2", "leave put off", "answered", "leave"}));
    EXPECT_EQ(events.mid(events.size() - 3), QStringList({kAborted, "ended: " + kAborted, "gone"}));
    EXPECT_EQ(who.Count(PromptRequest::Kind::OkCancel), 1);
}

// A close during the transfer stops it and returns once the worker is gone; a second leave
// from inside that wait is put off to it.
TEST_F(SlowTransferSessionTest, LeavingDuringATransferStopsItAndWaitsForItsEnd) {
    const auto paths = WriteSet({.romType = 0, .disks = 1, .recordsPerPass = 200});
    TransferSession session;
    Prepare(session);
    std::optional<bool> nested;
    QObject::connect(&session, &TransferSession::StatusChanged, [&](const QString& text) {
        if (text == kAborted) {
            nested = session.StopForLeaving();
            session.StopAndWait();  // returns at once: the outer wait finishes the job
            EXPECT_NE(session.Worker(), nullptr);
        }
    });
    ASSERT_TRUE(session.Start(SplitChosenFile(paths.front()), settings));
    ASSERT_TRUE(Seen("Sending START record"));

    EXPECT_TRUE(session.StopForLeaving());
    EXPECT_EQ(session.Worker(), nullptr);
    EXPECT_FALSE(session.Running());
    ASSERT_TRUE(nested.has_value());
    EXPECT_FALSE(*nested);
    EXPECT_EQ(events.mid(events.size() - 2), QStringList({kAborted, "ended: " + kAborted}));
    EXPECT_EQ(who.Count(PromptRequest::Kind::OkCancel), 0);
    EXPECT_TRUE(server.WaitForConnectionsEnded(1, std::chrono::seconds(5)));
    EXPECT_FALSE(server.Complete());
}

TEST_F(SlowTransferSessionTest, DestroyingTheSessionStopsTheWorkerFirst) {
    const auto paths = WriteSet({.romType = 0, .disks = 1, .recordsPerPass = 200});
    std::optional<TransferSession> session{std::in_place};
    Prepare(*session);
    ASSERT_TRUE(session->Start(SplitChosenFile(paths.front()), settings));
    ASSERT_TRUE(Seen("Sending START record"));
    session.reset();
    EXPECT_EQ(events.mid(events.size() - 2), QStringList({kAborted, "ended: " + kAborted}));
}

// A session whose worker lingers after its end notice, as a thread may that has not quite
// returned.
class LingeringSession : public TransferSession {
  public:
    void TransferEnded(Outcome outcome) override {
        TransferSession::TransferEnded(outcome);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        returned.store(true);
    }
    std::atomic<bool> returned{false};
};

TEST_F(TransferSessionTest, StartDisposesOfAWorkerThatIsStillReturning) {
    const auto paths = WriteSet({.romType = 0, .disks = 1, .recordsPerPass = 3});
    LingeringSession session;
    Prepare(session);
    ASSERT_TRUE(session.Start(SplitChosenFile(paths.front()), settings));
    ASSERT_TRUE(WaitUntil([&] { return !session.Running(); }));
    ASSERT_TRUE(events.contains("ended: Transfer completed"));

    // The next Start joins the lingering thread before it creates the new worker.
    events.clear();
    ASSERT_TRUE(session.Start(SplitChosenFile(paths.front()), settings));
    EXPECT_TRUE(session.returned.load());
    session.returned.store(false);
    ASSERT_TRUE(WaitUntil([&] { return !session.Running(); }));
    QStringList expected = ToQt(TransferTexts({3}));
    expected << QStringLiteral("ended: Transfer completed");
    EXPECT_EQ(events, expected);
    EXPECT_TRUE(server.WaitForConnectionsEnded(2, std::chrono::seconds(5)));
    EXPECT_EQ(server.ConnectionsAccepted(), 2u);
}

}  // namespace
}  // namespace qf580::test
