// The main window as the worker's host: transfers against the device model on 127.0.0.1,
// followed in the status line, and every way of leaving while a worker runs.
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <filesystem>
#include <optional>

#include "sim/SampleSet.h"
#include "sim/TcpDeviceServer.h"
#include "tests/ui_main/UiSupport.h"
#include "ui/Startup.h"
#include "ui/Transsetup.h"

namespace qf580::test {
namespace {

using ui::PromptRequest;
using ui::TSDIAppForm;

constexpr const char* kCompleted = "Transfer completed";
constexpr const char* kAborted = "Aborted according to instruction received";
constexpr const char* kReady = "Press the Start button when preparations are complete";

// The program's windows with the link pointed at a device model on 127.0.0.1.
class TransferTest : public ::testing::Test {
  protected:
    explicit TransferTest(int replyDelayMs = 0) : server(Plan(replyDelayMs)) {
        ui::TFM_TransSetup& setup = program->FM_TransSetup();
        setup.Settings().Set(AtLoopback(setup.Settings().Get(), server.Port()));
        form().Session().SetTransEnvironment(WindowTestLimits());
        QObject::connect(&form(), &TSDIAppForm::StatusShown,
                         [this](const QString& text) { seen << text; });
        form().show();
    }

    static sim::FaultPlan Plan(int replyDelayMs) {
        sim::FaultPlan plan;
        plan.replyDelayMs = replyDelayMs;
        return plan;
    }

    TSDIAppForm& form() { return program->SDIAppForm(); }
    QPushButton* Start() { return Find<QPushButton>(form(), "StartBttn"); }
    QString Status() { return Find<QLabel>(form(), "StatusLabel")->text(); }

    // Writes an update set and opens its first disk through the File menu's handler.
    // Each set gets a folder of its own: the disks' names follow from the chosen name.
    std::vector<std::string> OpenSample(const std::string& name, sim::SampleOptions options) {
        const std::string folder = dir.path() + "/set" + std::to_string(++sets);
        std::filesystem::create_directories(folder);
        const std::vector<std::string> paths = sim::WriteSampleSet(folder, name, options);
        EXPECT_FALSE(paths.empty());
        who.files.push_back(QString::fromStdString(paths.front()));
        form().OpenItemClick();
        EXPECT_TRUE(Start()->isEnabled());
        return paths;
    }

    bool WaitForStatus(const QString& text, int ms = 5000) {
        return WaitUntil([&] { return seen.contains(text); }, ms);
    }
    bool WaitForEnd(int ms = 8000) {
        return WaitUntil([&] { return form().Busy() == 0; }, ms);
    }

    Operator who;
    TempDir dir;
    int sets = 0;
    sim::TcpDeviceServer server;
    std::optional<ui::ProgramWindows> program{std::in_place};
    QStringList seen;
};

// The same, with a device that takes its time over each answer.
class SlowTransferTest : public TransferTest {
  protected:
    SlowTransferTest() : TransferTest(40) {}
};

TEST_F(TransferTest, StartRunsATransferAndTheStatusLineFollowsTheWorker) {
    OpenSample("FW0000.q58", {.romType = 0, .disks = 1, .recordsPerPass = 130});
    seen.clear();
    Start()->click();
    EXPECT_EQ(form().Busy(), 1);
    EXPECT_FALSE(Start()->isEnabled());
    ASSERT_NE(form().TransThread(), nullptr);

    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(seen, ToQt(TransferTexts({130})));
    EXPECT_EQ(Status(), kCompleted);
    EXPECT_TRUE(Start()->isEnabled());
    // The ended worker stays in the window's keeping until the next Start or Exit.
    ASSERT_NE(form().TransThread(), nullptr);
    EXPECT_TRUE(WaitUntil([&] { return form().TransThread()->Finished(); }));
    EXPECT_TRUE(server.WaitForConnectionsEnded(1, std::chrono::seconds(5)));
    EXPECT_TRUE(server.Complete()) << server.State();
}

TEST_F(TransferTest, SecondStartAfterAFinishedTransferRunsANewWorker) {
    OpenSample("FW0000.q58", {.romType = 1, .disks = 1, .recordsPerPass = 3});
    Start()->click();
    ASSERT_TRUE(WaitForEnd());
    ASSERT_EQ(Status(), kCompleted);
    seen.clear();
    Start()->click();
    EXPECT_EQ(form().Busy(), 1);
    ASSERT_TRUE(WaitForEnd());
    // Two passes: each starts again with its START record.
    EXPECT_EQ(seen, ToQt(TransferTexts({3, 3})));
    EXPECT_TRUE(server.WaitForConnectionsEnded(2, std::chrono::seconds(5)));
    EXPECT_EQ(server.ConnectionsAccepted(), 2u);
}

TEST_F(SlowTransferTest, StartIsIgnoredWhileBusyAndOpenChangesOnlyTheNextTransfer) {
    const std::vector<std::string> first =
        OpenSample("FW0000.q58", {.romType = 0, .disks = 1, .recordsPerPass = 70});
    Start()->click();
    const TTrans* worker = form().TransThread();
    ASSERT_TRUE(WaitForStatus("Sending START record"));

    const std::vector<std::string> second =
        OpenSample("FW0100.q58", {.romType = 2, .disks = 1, .recordsPerPass = 2, .seed = 9});
    EXPECT_EQ(form().UpdateFileName(), std::filesystem::path(second.front()).filename());
    EXPECT_TRUE(Start()->isEnabled());
    EXPECT_EQ(Status(), kReady);
    Start()->click();
    form().StartBttnClick();
    EXPECT_EQ(form().TransThread(), worker);
    EXPECT_EQ(form().Busy(), 1);

    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(Status(), kCompleted);
    // The worker's next text replaced the window's, and the transfer kept its MAIN ROM file.
    const auto ready = seen.indexOf(kReady);
    ASSERT_GE(ready, 0);
    EXPECT_LT(ready, seen.size() - 1);
    EXPECT_TRUE(server.WaitForConnectionsEnded(1, std::chrono::seconds(5)));
    EXPECT_EQ(server.Model().PassCount(), 1);
    EXPECT_TRUE(server.Complete());
}

TEST_F(SlowTransferTest, ExitDuringATransferEndsOnlyAfterTheWorkersOutcome) {
    OpenSample("FW0000.q58", {.romType = 0, .disks = 1, .recordsPerPass = 200});
    Start()->click();
    ASSERT_TRUE(WaitForStatus("Sending START record"));
    form().ExitItemClick();
    // Back here only once the worker has stopped at its next check and been disposed of.
    EXPECT_EQ(form().TransThread(), nullptr);
    EXPECT_EQ(form().Busy(), 0);
    EXPECT_EQ(seen.back(), kAborted);
    EXPECT_FALSE(form().isVisible());
    EXPECT_EQ(who.Count(PromptRequest::Kind::OkCancel), 0);
}

TEST_F(SlowTransferTest, ClosingTheWindowDuringATransferWaitsForTheOutcome) {
    OpenSample("FW0000.q58", {.romType = 0, .disks = 1, .recordsPerPass = 200});
    Start()->click();
    ASSERT_TRUE(WaitForStatus("Sending START record"));
    EXPECT_TRUE(form().close());
    EXPECT_EQ(form().TransThread(), nullptr);
    EXPECT_EQ(seen.back(), kAborted);
    EXPECT_FALSE(form().isVisible());
}

TEST_F(TransferTest, MissingSecondDiskIsAskedForAndCancelAborts) {
    const std::vector<std::string> paths =
        OpenSample("FW0000.q58", {.romType = 0, .disks = 2, .recordsPerPass = 40});
    ASSERT_EQ(paths.size(), 2u);
    std::filesystem::remove(paths[1]);
    who.onQuestion = [](const PromptRequest&) { return false; };
    Start()->click();
    ASSERT_TRUE(WaitForEnd());
    ASSERT_EQ(who.Count(PromptRequest::Kind::OkCancel), 1);
    EXPECT_EQ(who.requests.back().caption, "情報");
    EXPECT_EQ(who.requests.back().text, "Insert Disk 2");
    EXPECT_EQ(Status(), kAborted);
}

// The question is up when Exit comes: Exit waits for the answer, the worker gets it and
// ends, and only then does the window go.
TEST_F(TransferTest, ExitWhileTheDiskQuestionIsOpenWaitsForItsAnswer) {
    const std::vector<std::string> paths =
        OpenSample("FW0000.q58", {.romType = 0, .disks = 2, .recordsPerPass = 40});
    ASSERT_EQ(paths.size(), 2u);
    const std::string disk2 = paths[1];
    const std::string saved = disk2 + ".away";
    std::filesystem::rename(disk2, saved);

    QStringList order;
    QObject::connect(&form(), &TSDIAppForm::StatusShown, [&](const QString& t) { order << t; });
    who.onQuestion = [&](const PromptRequest&) {
        order << "asked";
        form().ExitItemClick();
        order << (form().isVisible() ? "exit waits" : "exit did not wait");
        // The operator inserts the disk and answers OK.
        std::filesystem::rename(saved, disk2);
        order << "answered";
        return true;
    };
    Start()->click();
    ASSERT_TRUE(WaitUntil([&] { return !form().isVisible(); }, 8000));
    EXPECT_EQ(form().TransThread(), nullptr);
    ASSERT_GE(order.size(), 4);
    const auto asked = order.indexOf("asked");
    ASSERT_GE(asked, 0);
    EXPECT_EQ(order.mid(asked), QStringList({"asked", "exit waits", "answered", kAborted}));
    EXPECT_EQ(who.Count(PromptRequest::Kind::OkCancel), 1);
}

// The real question leaves the window usable: closing it answers Cancel and ends the program.
TEST_F(TransferTest, ClosingTheWindowDuringTheDiskQuestionCancelsItAndEnds) {
    std::filesystem::remove(OpenSample("FW0000.q58", {.disks = 2, .recordsPerPass = 40}).at(1));
    ui::Prompts::SetResponder({});
    QStringList asked;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, [&] {
        if (auto* box = form().findChild<QMessageBox*>(); box && asked.isEmpty()) {
            asked << box->text() << (QApplication::activeModalWidget() ? "modal" : "usable");
            form().close();
            asked << (box->isVisible() ? "open" : "answered");
        }
    });
    look.start(10);
    Start()->click();
    ASSERT_TRUE(WaitUntil([&] { return !form().isVisible(); }, 8000));
    EXPECT_EQ(asked, QStringList({"Insert Disk 2", "usable", "answered"}));
    EXPECT_EQ(form().TransThread(), nullptr);
    EXPECT_EQ(seen.back(), kAborted);
}

TEST_F(SlowTransferTest, ProgramEndDuringATransferStopsTheWorkerBeforeAnyWindowGoes) {
    OpenSample("FW0000.q58", {.romType = 0, .disks = 1, .recordsPerPass = 200});
    Start()->click();
    ASSERT_TRUE(WaitForStatus("Sending START record"));
    QStringList order;
    QObject::connect(&form(), &TSDIAppForm::StatusShown, [&](const QString& t) { order << t; });
    for (QObject* window : {static_cast<QObject*>(&program->AboutBox()),
                            static_cast<QObject*>(&program->FM_TransSetup())}) {
        QObject::connect(window, &QObject::destroyed, [&] { order << "window destroyed"; });
    }
    // The event loop has ended (as after the last window closed) and the windows go.
    program.reset();
    ASSERT_GE(order.size(), 3);
    EXPECT_EQ(order.mid(order.size() - 3),
              QStringList({kAborted, "window destroyed", "window destroyed"}));
}

}  // namespace
}  // namespace qf580::test
