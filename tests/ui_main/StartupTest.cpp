// Start-up, the About box and the application's error box.
#include <QEvent>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include "tests/ui_main/UiSupport.h"
#include "ui/About.h"
#include "ui/ErrorBox.h"
#include "ui/Startup.h"
#include "ui/WindowLook.h"

namespace qf580::test {
namespace {

using ui::PromptRequest;

TEST(ErrorBoxTest, FinalPeriodIsAppendedUnlessTheTextEndsLowOrEmpty) {
    struct Case {
        const char* message;
        const char* shown;
    };
    const Case cases[] = {
        {"", ""},
        {"Bad port", "Bad port."},
        {"Done.", "Done."},
        {"(see above)", "(see above)"},
        {"value,", "value,"},
        {"ends with blank ", "ends with blank "},
        {"slash/", "slash/."},  // 0x2F is above 0x2E
        {"dash-", "dash-"},
        {"'x' は整数ではありません", "'x' は整数ではありません."},
        {"ﾌｧｲﾙ", "ﾌｧｲﾙ."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ui::WithFinalPeriod(QString::fromUtf8(c.message)), QString::fromUtf8(c.shown))
            << c.message;
    }
}

// A window whose handler of one event fails halfway.
class FailingWidget : public QWidget {
  public:
    static constexpr QEvent::Type kFail = static_cast<QEvent::Type>(QEvent::User + 17);
    int handled = 0;
    int changedBeforeError = 0;

  protected:
    bool event(QEvent* e) override {
        if (e->type() == kFail) {
            ++changedBeforeError;
            throw ui::AppError("Cannot convert x");
        }
        if (e->type() == QEvent::User) {
            ++handled;
            return true;
        }
        return QWidget::event(e);
    }
};

TEST(ErrorBoxTest, ErrorOfAnEventHandlerIsShownWithTheTitleAndTheLoopGoesOn) {
    Operator who;
    FailingWidget widget;
    QCoreApplication::postEvent(&widget, new QEvent(FailingWidget::kFail));
    QCoreApplication::postEvent(&widget, new QEvent(QEvent::User));
    ASSERT_TRUE(WaitUntil([&] { return widget.handled == 1; }));
    ASSERT_EQ(who.requests.size(), 1u);
    EXPECT_EQ(who.requests[0].kind, PromptRequest::Kind::Error);
    EXPECT_EQ(who.requests[0].caption, "KV6200 Flash ROM rewriteing tool");
    EXPECT_EQ(who.requests[0].text, "Cannot convert x.");
    EXPECT_EQ(widget.changedBeforeError, 1);
}

TEST(ErrorBoxTest, ErrorOfAClickHandlerIsShownAndTheButtonWorksAgain) {
    Operator who;
    QPushButton button("Go");
    int clicks = 0;
    QObject::connect(&button, &QPushButton::clicked, [&] {
        ++clicks;
        throw std::runtime_error("Failed (code 3)");
    });
    button.show();
    QTest::mouseClick(&button, Qt::LeftButton);
    QTest::mouseClick(&button, Qt::LeftButton);
    EXPECT_EQ(clicks, 2);
    ASSERT_EQ(who.requests.size(), 2u);
    EXPECT_EQ(who.requests[1].text, "Failed (code 3)");
}

TEST(StartupTest, ThreeProductTextsStandLetterForLetterInTheirPlaces) {
    QTranslator qtTexts;
    ui::SetUpApplication(*qApp, qtTexts);
    ui::ProgramWindows windows;
    EXPECT_EQ(QApplication::applicationName(), "KV6200 Flash ROM rewriteing tool");
    EXPECT_EQ(windows.SDIAppForm().windowTitle(), "QF580 Flash ROM rewriting tool");
    EXPECT_EQ(Find<QLabel>(windows.AboutBox(), "ProductName")->text(),
              "QF580 Flash ROM rewriteing tool");
    EXPECT_EQ(Find<QLabel>(windows.AboutBox(), "Version")->text(), "Ver 1.00");
    EXPECT_EQ(QGuiApplication::desktopFileName(), "qf580-flashtool");
    EXPECT_FALSE(QApplication::windowIcon().isNull());
    // No display name of our own: the platform would add it to every caption.
    QApplication::setApplicationName("probe");
    EXPECT_EQ(QGuiApplication::applicationDisplayName(), "probe");
    QApplication::setApplicationName(QString::fromUtf8(ui::kApplicationTitle));
    // Qt's own texts are Japanese.
    EXPECT_FALSE(qtTexts.isEmpty());
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), "キャンセル");
    QApplication::removeTranslator(&qtTexts);
}

TEST(StartupTest, WindowsAreCreatedInTheirOrderAndTheDialogsStayHidden) {
    ui::ProgramWindows windows;
    ui::TSDIAppForm& form = windows.SDIAppForm();
    EXPECT_EQ(form.objectName(), "SDIAppForm");
    EXPECT_EQ(windows.AboutBox().objectName(), "AboutBox");
    EXPECT_EQ(windows.FM_TransSetup().objectName(), "FM_TransSetup");
    EXPECT_EQ(form.AboutBox(), &windows.AboutBox());
    EXPECT_EQ(form.FM_TransSetup(), &windows.FM_TransSetup());
    EXPECT_EQ(&form.Settings(), &windows.FM_TransSetup().Settings());
    const QObjectList children = form.children();
    const auto about = children.indexOf(&windows.AboutBox());
    const auto setup = children.indexOf(&windows.FM_TransSetup());
    ASSERT_GE(about, 0);
    EXPECT_GT(setup, about);
    EXPECT_FALSE(windows.AboutBox().isVisible());
    EXPECT_FALSE(windows.FM_TransSetup().isVisible());
    // The main window's look must not reach into the dialogs it owns.
    windows.SDIAppForm().show();
    windows.AboutBox().show();
    EXPECT_EQ(Find<QLabel>(windows.AboutBox(), "ProductName")->font().pixelSize(), 12);
    windows.AboutBox().hide();
}

class AboutBoxTest : public ::testing::Test {
  protected:
    QPushButton* Ok() { return Find<QPushButton>(box, "OKButton"); }
    ui::TAboutBox box;
};

TEST_F(AboutBoxTest, LayoutTextsAndFrame) {
    struct Row {
        const char* name;
        QRect geometry;
        const char* text;
    };
    const Row rows[] = {
        {"Panel1", {8, 8, 257, 89}, nullptr},
        {"ProgramIcon", {8, 8, 33, 33}, nullptr},
        {"ProductName", {40, 16, 209, 17}, "QF580 Flash ROM rewriteing tool"},
        {"Version", {40, 32, 209, 17}, "Ver 1.00"},
        {"Copyright", {40, 48, 209, 17}, nullptr},
        {"Comments", {48, 64, 201, 17}, nullptr},
        {"OKButton", {96, 104, 65, 25}, "OK"},
    };
    for (const Row& row : rows) {
        QWidget* w = Find(box, row.name);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->geometry(), row.geometry) << row.name;
        if (const auto* label = qobject_cast<QLabel*>(w); label && row.text) {
            EXPECT_EQ(label->text(), row.text);
        }
    }
    EXPECT_EQ(box.windowTitle(), "About");
    EXPECT_EQ(box.size(), QSize(273, 134));
    EXPECT_EQ(box.minimumSize(), box.maximumSize());
    EXPECT_TRUE(box.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_EQ(box.font().pixelSize(), 12);
    EXPECT_EQ(Find<QFrame>(box, "Panel1")->frameShadow(), QFrame::Sunken);
    EXPECT_EQ(Find<QLabel>(box, "ProgramIcon")->pixmap().size(), QSize(32, 32));
    EXPECT_FALSE(Find<QLabel>(box, "Copyright")->text().isEmpty());
    EXPECT_FALSE(Find<QLabel>(box, "Comments")->text().isEmpty());
    EXPECT_TRUE(Find<QLabel>(box, "Comments")->wordWrap());
    for (const char* name : {"ProductName", "Version", "Copyright", "Comments"}) {
        EXPECT_TRUE(Find<QLabel>(box, name)->alignment() & Qt::AlignHCenter) << name;
    }
    EXPECT_TRUE(Ok()->isDefault());
}

TEST_F(AboutBoxTest, EnterAndSpaceCloseItEscDoesNot) {
    ShowActive(box);
    EXPECT_EQ(QApplication::focusWidget(), Ok());
    QTest::keyClick(&box, Qt::Key_Escape);
    QTest::keyClick(Ok(), Qt::Key_Escape);
    EXPECT_TRUE(box.isVisible());

    QTest::keyClick(&box, Qt::Key_Return);
    EXPECT_FALSE(box.isVisible());
    EXPECT_EQ(box.result(), QDialog::Accepted);

    box.setResult(QDialog::Rejected);
    ShowActive(box);
    QTest::keyClick(Ok(), Qt::Key_Space);
    EXPECT_FALSE(box.isVisible());
    EXPECT_EQ(box.result(), QDialog::Accepted);
}

TEST_F(AboutBoxTest, CentredFirstThenWhereItWasLeft) {
    box.show();
    const QRect screen = box.screen()->availableGeometry();
    EXPECT_LE((box.frameGeometry().center() - screen.center()).manhattanLength(), 1);
    box.move(screen.topLeft() + QPoint(30, 40));
    const QPoint left = box.pos();
    box.hide();
    box.show();
    EXPECT_EQ(box.pos(), left);
    box.hide();
}

// Where a window's client area goes so that its frame, as the window manager draws it, is
// centred: title bars make frames lopsided.
TEST(FirstPlacementTest, TheFrameIsCentredNotTheClientArea) {
    struct Case {
        const char* name;
        QSize client;
        QMargins frame;
        QRect target;
        QRect area;
        QPoint expected;
    };
    const QRect screen(0, 0, 1024, 768);
    const Case cases[] = {
        {"no frame", {400, 468}, {}, screen, screen, {312, 150}},
        {"main window with a title bar", {400, 468}, {1, 20, 1, 5}, screen, screen, {312, 157}},
        {"About box", {273, 134}, {1, 20, 1, 1}, screen, screen, {375, 326}},
        {"dialog over the main window's frame",
         {440, 134},
         {1, 20, 1, 1},
         {311, 137, 402, 493},
         screen,
         {292, 326}},
        {"kept inside the screen at its right and bottom edges",
         {440, 134},
         {1, 20, 1, 1},
         {800, 700, 402, 493},
         screen,
         {583, 633}},
        {"kept inside a screen that does not start at 0,0",
         {440, 134},
         {1, 20, 1, 1},
         {1000, -50, 100, 100},
         {1024, 0, 800, 600},
         {1025, 20}},
        {"larger than the screen: the title bar stays on it",
         {1200, 900},
         {1, 20, 1, 5},
         screen,
         screen,
         {1, 20}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ui::CentredClientPos(c.client, c.frame, c.target, c.area), c.expected) << c.name;
    }
}

TEST(FirstPlacementTest, MainWindowFrameIsCentredOnTheScreen) {
    ui::ProgramWindows windows;
    ui::TSDIAppForm& form = windows.SDIAppForm();
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    const QRect screen = form.screen()->availableGeometry();
    EXPECT_NE(form.frameGeometry(), form.geometry()) << "no frame to centre";
    EXPECT_LE((form.frameGeometry().center() - screen.center()).manhattanLength(), 1);
}

TEST(AboutMenuTest, About1ShowsTheBoxModally) {
    ui::ProgramWindows windows;
    bool wasModal = false;
    QTimer::singleShot(0, &windows.AboutBox(), [&] {
        wasModal = windows.AboutBox().isModal() && windows.AboutBox().isVisible();
        windows.AboutBox().accept();
    });
    windows.SDIAppForm().About1Click();
    EXPECT_TRUE(wasModal);
    EXPECT_FALSE(windows.AboutBox().isVisible());
}

}  // namespace
}  // namespace qf580::test
