// The progress bar in the main window's status bar: there from Start to the end of the
// transfer, busy while the set's total is unknown, and never in the way of the hint line or
// of any control's place.
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "sim/SampleSet.h"
#include "sim/TcpDeviceServer.h"
#include "tests/ui_main/UiSupport.h"
#include "ui/Startup.h"
#include "ui/Transsetup.h"

namespace qf580::test {
namespace {

using ui::TSDIAppForm;

const QString kHint = QStringLiteral("既存のﾌｧｲﾙを開く");

// Where every named control of the window stands ("x,y wxh"), the bar and what belongs to it
// aside, and so are the toolkit's own inner parts ("qt_..."), laid out lazily. The dialogs that
// the window owns are windows of their own, not part of its layout.
std::map<QString, QString> Places(const QWidget& form) {
    std::map<QString, QString> places;
    for (const QWidget* w : form.findChildren<const QWidget*>()) {
        const QString name = w->objectName();
        if (name.isEmpty() || name.startsWith(QLatin1String("qt_")) ||
            name == QLatin1String("ProgressBar") || w->window() != &form) {
            continue;
        }
        const QRect r = w->geometry();
        places[w->objectName()] =
            QStringLiteral("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
    }
    return places;
}

// Pixels of text colour (dark) in `area` of the widget as it is drawn now.
int DarkPixels(QWidget& widget, const QRect& area) {
    const QImage image = widget.grab(area).toImage();
    int dark = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            dark += qGray(image.pixel(x, y)) < 100 ? 1 : 0;
        }
    }
    return dark;
}

class ProgressBarTest : public ::testing::Test {
  protected:
    ProgressBarTest() : server(Plan()) {
        ui::TFM_TransSetup& setup = program->FM_TransSetup();
        setup.Settings().Set(AtLoopback(setup.Settings().Get(), server.Port()));
        form().Session().SetTransEnvironment(WindowTestLimits());
        form().show();
        QObject::connect(Bar(), &QProgressBar::valueChanged, [this](int value) {
            if (form().Busy() != 0) {
                values.push_back(value);
            }
        });
    }

    // Each reply a little late, so that a transfer lasts long enough to be watched.
    static sim::FaultPlan Plan() {
        sim::FaultPlan plan;
        plan.replyDelayMs = 15;
        return plan;
    }

    TSDIAppForm& form() { return program->SDIAppForm(); }
    QProgressBar* Bar() { return Find<QProgressBar>(form(), "ProgressBar"); }
    QStatusBar* StatusBar() { return Find<QStatusBar>(form(), "StatusBar"); }

    std::vector<std::string> OpenSample(sim::SampleOptions options) {
        const std::string folder = dir.path() + "/set" + std::to_string(++sets);
        std::filesystem::create_directories(folder);
        const std::vector<std::string> paths = sim::WriteSampleSet(folder, "FW0000.q58", options);
        EXPECT_FALSE(paths.empty());
        who.files.push_back(QString::fromStdString(paths.front()));
        form().OpenItemClick();
        return paths;
    }
    bool WaitForEnd() {
        return WaitUntil([&] { return form().Busy() == 0; }, 20000);
    }
    // The values the bar took while the transfer ran: never back, 100 at the last.
    void ExpectValuesRoseTo100() {
        ASSERT_FALSE(values.empty());
        for (std::size_t i = 1; i < values.size(); ++i) {
            EXPECT_GE(values[i], values[i - 1]) << "the bar went back";
        }
        EXPECT_EQ(values.back(), 100);
    }

    Operator who;
    TempDir dir;
    int sets = 0;
    sim::TcpDeviceServer server;
    std::optional<ui::ProgramWindows> program{std::in_place};
    std::vector<int> values;
};

TEST_F(ProgressBarTest, ShownFromStartMovingBesideTheHintHiddenAfterTheEnd) {
    OpenSample({.romType = 1, .disks = 1, .recordsPerPass = 700});
    QProgressBar* bar = Bar();
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->parentWidget(), StatusBar());
    EXPECT_TRUE(bar->isHidden()) << "no bar before a transfer";
    const std::map<QString, QString> before = Places(form());

    Find<QPushButton>(form(), "StartBttn")->click();
    EXPECT_TRUE(bar->isVisible());
    EXPECT_EQ(bar->maximum(), 0) << "busy until the worker has counted the set";

    // The pointer's hint arrives as it does from a control or a menu item.
    QStatusTipEvent tip(kHint);
    QApplication::sendEvent(&form(), &tip);
    EXPECT_EQ(StatusBar()->currentMessage(), kHint);

    ASSERT_TRUE(WaitUntil(
        [&] { return bar->maximum() == 100 && bar->value() > 0 && bar->value() < 100; }, 10000))
        << "the bar never moved";
    ASSERT_EQ(form().Busy(), 1) << "the transfer should still be running";
    EXPECT_TRUE(bar->isVisible());

    // Nothing has moved, the status bar keeps its height, and the bar keeps to the right of
    // the hint, which is still drawn on the left.
    EXPECT_EQ(Places(form()), before);
    EXPECT_EQ(StatusBar()->geometry(), QRect(0, 428, 400, 22));
    const QRect barPlace = bar->geometry();
    EXPECT_TRUE(StatusBar()->rect().contains(barPlace)) << "the bar fits inside the status bar";
    const int hintWidth = StatusBar()->fontMetrics().horizontalAdvance(kHint);
    EXPECT_GT(barPlace.left(), hintWidth + 8) << "the bar would cover the hint";
    EXPECT_EQ(StatusBar()->currentMessage(), kHint);
    const QRect hintArea(0, 0, barPlace.left(), StatusBar()->height());
    EXPECT_GT(DarkPixels(*StatusBar(), hintArea), 20) << "the hint is not drawn";
    QStatusTipEvent noTip{QString()};
    QApplication::sendEvent(&form(), &noTip);
    EXPECT_EQ(DarkPixels(*StatusBar(), hintArea), 0) << "only the hint draws there";

    ASSERT_TRUE(WaitForEnd());
    EXPECT_TRUE(bar->isHidden()) << "the bar goes with the end of the transfer";
    EXPECT_EQ(Find<QLabel>(form(), "StatusLabel")->text(), "Transfer completed");
    ExpectValuesRoseTo100();
    EXPECT_EQ(Places(form()), before);

    // The next Start begins busy again rather than at the last transfer's 100%.
    values.clear();
    Find<QPushButton>(form(), "StartBttn")->click();
    EXPECT_TRUE(bar->isVisible());
    EXPECT_EQ(bar->maximum(), 0);
    ASSERT_TRUE(WaitForEnd());
    EXPECT_TRUE(bar->isHidden());
    ExpectValuesRoseTo100();
}

TEST_F(ProgressBarTest, BusyUntilDisk2HasBeenFoundThenAPercent) {
    const std::vector<std::string> paths = OpenSample({.romType = 0, .disks = 2});
    ASSERT_EQ(paths.size(), 2u);
    std::ifstream in(paths[1], std::ios::binary);
    const std::string disk2((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::filesystem::remove(paths[1]);

    bool busyAtQuestion = false;
    who.onQuestion = [&](const ui::PromptRequest& r) {
        EXPECT_EQ(r.text, "Insert Disk 2");
        busyAtQuestion = Bar()->isVisible() && Bar()->maximum() == 0;
        std::ofstream(paths[1], std::ios::binary) << disk2;
        return true;
    };
    Find<QPushButton>(form(), "StartBttn")->click();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(Find<QLabel>(form(), "StatusLabel")->text(), "Transfer completed");
    EXPECT_TRUE(busyAtQuestion) << "the total can't be known before disk 2 is there";
    EXPECT_TRUE(Bar()->isHidden());
    ExpectValuesRoseTo100();
}

}  // namespace
}  // namespace qf580::test
