// The main window without a transfer: its controls as the operator first sees them, menus,
// hints, keys, and opening update files.
#include <QAction>
#include <QFileDialog>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QToolButton>
#include <map>

#include "tests/support/FifoRescue.h"
#include "tests/ui_main/UiSupport.h"
#include "ui/Transsetup.h"

namespace qf580::test {
namespace {

using ui::PromptRequest;
using ui::TSDIAppForm;

QString TextOf(const QWidget* w) {
    if (const auto* label = qobject_cast<const QLabel*>(w)) {
        return label->text();
    }
    if (const auto* edit = qobject_cast<const QLineEdit*>(w)) {
        return edit->text();
    }
    if (const auto* button = qobject_cast<const QAbstractButton*>(w)) {
        return button->text();
    }
    if (const auto* group = qobject_cast<const QGroupBox*>(w)) {
        return group->title();
    }
    if (const auto* memo = qobject_cast<const QPlainTextEdit*>(w)) {
        return memo->toPlainText();
    }
    return QString();
}

// A control's own enabled state: what it shows once every container is enabled.
bool OwnEnabled(const QWidget* w) {
    return !w->testAttribute(Qt::WA_ForceDisabled);
}

struct ControlRow {
    const char* name;
    const char* container;
    QRect geometry;
    const char* text;
    bool enabled;
};

const ControlRow kControls[] = {
    {"SpeedPanel", "ClientArea", {0, 0, 400, 34}, "", true},
    {"OpenBtn", "SpeedPanel", {11, 2, 28, 28}, "", true},
    {"SetupButton", "SpeedPanel", {40, 2, 28, 28}, "", true},
    {"ExitBtn", "SpeedPanel", {83, 2, 29, 28}, "", true},
    {"FnameLabel", "ClientArea", {8, 48, 105, 17}, "Update File Name:", false},
    {"FnameEdit", "ClientArea", {160, 48, 201, 21}, "Not specified", false},
    {"GroupBox3", "ClientArea", {16, 88, 369, 49}, "Communication Settings", true},
    {"LB_TransSetup", "GroupBox3", {16, 24, 135, 13}, "TCP/IP :  192.168.0.1  8023", true},
    {"GroupBox2", "ClientArea", {16, 152, 369, 81}, "Firmware Update Status", false},
    {"StatusLabel", "GroupBox2", {8, 16, 353, 17}, "Preparing", false},
    {"GroupBox1", "ClientArea", {16, 248, 369, 129}, "Header Contents", true},
    {"HeaderMemo", "GroupBox1", {8, 16, 353, 105}, "File not specified", false},
    {"StartBttn", "ClientArea", {312, 392, 75, 25}, "&Start", false},
    {"StatusBar", "ClientArea", {0, 428, 400, 22}, "", true},
};

class MainWindowTest : public ::testing::Test {
  protected:
    void SetUp() override { form.show(); }

    QWidget* W(const char* name) { return Find(form, name); }
    QString StatusBarText() { return Find<QStatusBar>(form, "StatusBar")->currentMessage(); }
    QString Status() { return Find<QLabel>(form, "StatusLabel")->text(); }

    // Opens `path` through the File menu's handler with the operator choosing it.
    void OpenPath(const std::string& path) {
        who.files.push_back(QString::fromStdString(path));
        form.OpenItemClick();
    }

    Operator who;
    TempDir dir;
    TSDIAppForm form;
};

TEST_F(MainWindowTest, EveryControlStartsAtItsPlaceWithItsTextAndState) {
    for (const ControlRow& row : kControls) {
        SCOPED_TRACE(row.name);
        QWidget* w = W(row.name);
        ASSERT_NE(w, nullptr);
        ASSERT_NE(w->parentWidget(), nullptr);
        EXPECT_EQ(w->parentWidget()->objectName(), QString::fromLatin1(row.container));
        EXPECT_EQ(w->geometry(), row.geometry);
        EXPECT_EQ(TextOf(w), QString::fromUtf8(row.text));
        EXPECT_EQ(OwnEnabled(w), row.enabled);
    }
    // The status line is disabled by itself and inside a group that stays disabled.
    EXPECT_FALSE(W("StatusLabel")->isEnabledTo(W("GroupBox2")));
}

TEST_F(MainWindowTest, WindowHasItsCaptionClientAreaAndIsResizable) {
    EXPECT_EQ(form.objectName(), "SDIAppForm");
    EXPECT_EQ(form.windowTitle(), "QF580 Flash ROM rewriting tool");
    QWidget* client = W("ClientArea");
    EXPECT_EQ(client->size(), QSize(400, 450));
    EXPECT_EQ(client->y(), Find(form, "SDIAppMenu")->height());
    EXPECT_NE(form.minimumSize(), form.maximumSize());
    EXPECT_EQ(form.font().pixelSize(), 11);
    EXPECT_FALSE(form.windowIcon().isNull());
}

TEST_F(MainWindowTest, ResizingStretchesToolBarAndStatusBarOnly) {
    form.resize(form.width() + 120, form.height() + 70);
    ASSERT_TRUE(WaitUntil([&] { return W("ClientArea")->width() == 520; }));
    EXPECT_EQ(W("ClientArea")->size(), QSize(520, 520));
    EXPECT_EQ(W("SpeedPanel")->geometry(), QRect(0, 0, 520, 34));
    EXPECT_EQ(W("StatusBar")->geometry(), QRect(0, 498, 520, 22));
    for (const ControlRow& row : kControls) {
        const std::string name = row.name;
        if (name != "SpeedPanel" && name != "StatusBar") {
            EXPECT_EQ(W(row.name)->geometry(), row.geometry) << name;
        }
    }
}

TEST_F(MainWindowTest, MenusCarryCaptionsShortcutsAndHints) {
    struct Item {
        const char* name;
        const char* menu;
        const char* text;
        QKeySequence shortcut;
        const char* hint;
    };
    const Item items[] = {
        {"OpenItem", "FileMenu", "&Open", QKeySequence(Qt::CTRL | Qt::Key_O), "既存のﾌｧｲﾙを開く"},
        {"ExitItem", "FileMenu", "E&xit", QKeySequence(Qt::ALT | Qt::Key_X), "ｱﾌﾟﾘｹｰｼｮﾝの終了"},
        {"TransSetup", "S1", "&Communication settings...", QKeySequence(), ""},
        {"About1", "Help1", "&About...", QKeySequence(), ""},
    };
    for (const Item& item : items) {
        SCOPED_TRACE(item.name);
        auto* action = Find<QAction>(form, item.name);
        auto* menu = Find<QMenu>(form, item.menu);
        ASSERT_TRUE(action && menu);
        EXPECT_TRUE(menu->actions().contains(action));
        EXPECT_EQ(action->text(), QString::fromUtf8(item.text));
        EXPECT_EQ(action->shortcut(), item.shortcut);
        EXPECT_EQ(action->statusTip(), QString::fromUtf8(item.hint));
    }
    auto* bar = Find<QMenuBar>(form, "SDIAppMenu");
    QStringList titles;
    for (QAction* a : bar->actions()) {
        titles << a->text();
    }
    EXPECT_EQ(titles, QStringList({"&File", "&Settings", "&Help"}));
    const QList<QAction*> file = Find<QMenu>(form, "FileMenu")->actions();
    ASSERT_EQ(file.size(), 3);
    EXPECT_EQ(file[1]->objectName(), "N1");
    EXPECT_TRUE(file[1]->isSeparator());
}

TEST_F(MainWindowTest, StatusBarShowsTheHighlightedItemsHintAndClearsWhenTheMenuCloses) {
    auto* fileMenu = Find<QMenu>(form, "FileMenu");
    auto* setupMenu = Find<QMenu>(form, "S1");
    EXPECT_EQ(StatusBarText(), "");
    fileMenu->popup(form.mapToGlobal(QPoint(0, 0)));
    fileMenu->setActiveAction(Find<QAction>(form, "OpenItem"));
    EXPECT_EQ(StatusBarText(), "既存のﾌｧｲﾙを開く");
    fileMenu->setActiveAction(Find<QAction>(form, "ExitItem"));
    EXPECT_EQ(StatusBarText(), "ｱﾌﾟﾘｹｰｼｮﾝの終了");
    fileMenu->hide();
    EXPECT_EQ(StatusBarText(), "");

    fileMenu->popup(form.mapToGlobal(QPoint(0, 0)));
    fileMenu->setActiveAction(Find<QAction>(form, "OpenItem"));
    fileMenu->hide();
    setupMenu->popup(form.mapToGlobal(QPoint(0, 0)));
    setupMenu->setActiveAction(Find<QAction>(form, "TransSetup"));
    EXPECT_EQ(StatusBarText(), "");
    setupMenu->hide();
}

TEST_F(MainWindowTest, OnlyTheToolButtonsHaveTooltipsAndTheyLeaveTheStatusBarAlone) {
    const std::map<QString, QString> tips = {
        {"OpenBtn", "Open"}, {"SetupButton", "Communication settings"}, {"ExitBtn", "Exit"}};
    for (QWidget* w : form.findChildren<QWidget*>()) {
        if (w->window() != &form) {
            continue;  // the file-open dialog is the toolkit's
        }
        auto it = tips.find(w->objectName());
        EXPECT_EQ(w->toolTip(), it == tips.end() ? QString() : it->second)
            << w->objectName().toStdString();
        EXPECT_EQ(w->statusTip(), QString()) << w->objectName().toStdString();
    }
    for (const char* name : {"OpenBtn", "SetupButton", "ExitBtn"}) {
        auto* button = Find<QToolButton>(form, name);
        EXPECT_FALSE(button->icon().isNull());
        EXPECT_FALSE(button->icon().pixmap(20, 20, QIcon::Disabled).isNull());
        QTest::mouseMove(button);
        EXPECT_EQ(StatusBarText(), "") << name;
    }
}

TEST_F(MainWindowTest, GroupOfTheStatusLineIsNotGreyedAndTheLineOnlyWhileItIsDisabled) {
    const QColor active = QApplication::palette().color(QPalette::Active, QPalette::WindowText);
    const QColor greyed = QApplication::palette().color(QPalette::Disabled, QPalette::WindowText);
    ASSERT_NE(active, greyed);
    auto* group = Find<QGroupBox>(form, "GroupBox2");
    auto* label = Find<QLabel>(form, "StatusLabel");
    // Both are disabled widgets, so they are drawn with the disabled colours.
    EXPECT_EQ(group->palette().color(QPalette::Disabled, QPalette::WindowText), active);
    EXPECT_EQ(label->palette().color(QPalette::Disabled, QPalette::WindowText), greyed);

    OpenPath(dir.Write("FW0000.q58", "line\r\n"));
    EXPECT_TRUE(OwnEnabled(label));
    EXPECT_FALSE(group->isEnabled());
    EXPECT_EQ(label->palette().color(QPalette::Disabled, QPalette::WindowText), active);
    EXPECT_EQ(group->palette().color(QPalette::Disabled, QPalette::WindowText), active);
}

TEST_F(MainWindowTest, FocusStartsOnTheToolBarAndTabVisitsNameMemoAndStart) {
    ShowActive(form);
    EXPECT_EQ(QApplication::focusWidget(), W("SpeedPanel"));
    // All three disabled: Tab has nowhere to go among them.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    for (const char* name : {"FnameEdit", "HeaderMemo", "StartBttn"}) {
        EXPECT_NE(QApplication::focusWidget(), W(name));
    }

    OpenPath(dir.Write("FW0000.q58", "a\r\n"));
    W("SpeedPanel")->setFocus();
    for (const char* name : {"FnameEdit", "HeaderMemo", "StartBttn", "FnameEdit"}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), W(name)) << name;
    }
}

TEST_F(MainWindowTest, AccessKeySPressesStartOnlyWhereTheFocusTakesNoTyping) {
    ShowActive(form);
    auto* start = Find<QPushButton>(form, "StartBttn");
    QSignalSpy pressed(start, &QPushButton::clicked);
    // Start disabled: Alt+S opens the Settings menu.
    QTest::keyClick(&form, Qt::Key_S, Qt::AltModifier);
    auto* setupMenu = Find<QMenu>(form, "S1");
    EXPECT_TRUE(WaitUntil([&] { return setupMenu->isVisible(); }, 2000));
    setupMenu->hide();
    EXPECT_EQ(pressed.count(), 0);

    OpenPath(dir.Write("FW0000.q58", "a\r\n"));
    ASSERT_TRUE(start->isEnabled());
    // Each press must find Start and nothing else; no press may start a transfer.
    QObject::disconnect(start, &QPushButton::clicked, &form, nullptr);
    ShowActive(form);
    for (int i = 1; i <= 2; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_S, Qt::AltModifier);
        EXPECT_EQ(pressed.count(), i);
        EXPECT_FALSE(setupMenu->isVisible());
    }
    W("SpeedPanel")->setFocus();
    QTest::keyClick(W("SpeedPanel"), Qt::Key_S);
    EXPECT_EQ(pressed.count(), 3);
    start->setFocus();
    QTest::keyClick(start, Qt::Key_S);
    EXPECT_EQ(pressed.count(), 4);
    for (const char* name : {"FnameEdit", "HeaderMemo"}) {
        W(name)->setFocus();
        QTest::keyClick(W(name), Qt::Key_S);
        EXPECT_EQ(pressed.count(), 4) << name;
    }
    EXPECT_EQ(form.TransThread(), nullptr);
}

// A held key repeats its press; after a short transfer each repeat would find Start enabled.
TEST_F(MainWindowTest, AHeldKeyPressesStartAtMostOnce) {
    OpenPath(dir.Write("FW0000.q58", "a\r\n"));
    auto* start = Find<QPushButton>(form, "StartBttn");
    QObject::disconnect(start, &QPushButton::clicked, &form, nullptr);
    ShowActive(form);
    QSignalSpy pressed(start, &QPushButton::clicked);
    const struct {
        const char* focus;
        Qt::Key key;
        Qt::KeyboardModifier modifiers;
    } keys[] = {{"SpeedPanel", Qt::Key_S, Qt::AltModifier},
                {"StartBttn", Qt::Key_S, Qt::NoModifier},
                {"StartBttn", Qt::Key_Space, Qt::NoModifier},
                {"StartBttn", Qt::Key_Return, Qt::NoModifier}};
    for (const auto& [focus, key, modifiers] : keys) {
        W(focus)->setFocus();
        const auto before = pressed.count();
        for (const bool repeat : {false, true, true, true}) {
            QTest::simulateEvent(W(focus), true, key, modifiers, QString(), repeat);
            QTest::simulateEvent(W(focus), false, key, modifiers, QString(), repeat);
        }
        EXPECT_EQ(pressed.count(), before + (key == Qt::Key_Return ? 0 : 1)) << focus << key;
    }
    // A busy window may take a repeat's release and press apart, neither flagged: they come at
    // the same moment, which no two presses of a finger do.
    W("SpeedPanel")->setFocus();
    for (const quint64 pressedAt : {1000u, 2000u}) {
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_S, Qt::NoModifier, "s");
        release.setTimestamp(1000);
        QKeyEvent press(QEvent::KeyPress, Qt::Key_S, Qt::NoModifier, "s");
        press.setTimestamp(pressedAt);
        QApplication::sendEvent(W("SpeedPanel"), &release);
        QApplication::sendEvent(W("SpeedPanel"), &press);
    }
    EXPECT_EQ(pressed.count(), 4);
}

TEST_F(MainWindowTest, CtrlOOpensAndAltXCloses) {
    ShowActive(form);
    who.files.push_back(std::nullopt);
    QTest::keyClick(&form, Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(who.Count(PromptRequest::Kind::OpenFile), 1);
    QTest::keyClick(&form, Qt::Key_X, Qt::AltModifier);
    EXPECT_FALSE(form.isVisible());
}

TEST_F(MainWindowTest, TheOpenDialogIsOneObjectWithTheTwoFilters) {
    QFileDialog& dialog = form.OpenDialog();
    EXPECT_EQ(dialog.nameFilters(), QStringList({"QF580 Update Files (*.q58)", "All Files (*.*)"}));
    EXPECT_EQ(dialog.selectedNameFilter(), "QF580 Update Files (*.q58)");
    EXPECT_EQ(dialog.fileMode(), QFileDialog::AnyFile);
    EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptOpen);
    OpenPath(dir.Write("FW0000.q58", "a\r\n"));
    EXPECT_EQ(&form.OpenDialog(), &dialog);
}

TEST_F(MainWindowTest, OpenSplitsAtTheLastSeparatorAndEnablesStart) {
    const std::string path = dir.Write(
        "a/b.c/FW0000.q58", "QUILLMAR QF580 MAIN ROM       \r\nsecond\r\nthird\r\n4th\r\n");
    QStringList seen;
    QObject::connect(&form, &TSDIAppForm::StatusShown, [&](const QString& t) { seen << t; });
    OpenPath(path);
    EXPECT_EQ(form.UpdateFilePath(), path);
    EXPECT_EQ(form.UpdateFileDir(), dir.path() + "/a/b.c/");
    EXPECT_EQ(form.UpdateFileName(), "FW0000.q58");
    EXPECT_EQ(TextOf(W("FnameEdit")), "FW0000.q58");
    EXPECT_EQ(MemoLines(form),
              QStringList({"QUILLMAR QF580 MAIN ROM       ", "second", "third", "4th"}));
    for (const char* name : {"FnameLabel", "FnameEdit", "HeaderMemo", "StartBttn"}) {
        EXPECT_TRUE(W(name)->isEnabled()) << name;
    }
    EXPECT_TRUE(OwnEnabled(W("StatusLabel")));
    EXPECT_EQ(Status(), "Press the Start button when preparations are complete");
    EXPECT_EQ(seen, QStringList({"Press the Start button when preparations are complete"}));
    EXPECT_EQ(form.Busy(), 0);
    EXPECT_EQ(form.TransThread(), nullptr);
}

TEST_F(MainWindowTest, PreviewReadsFourLinesAsFgetsWould) {
    struct Case {
        const char* what;
        std::string bytes;
        QStringList lines;
    };
    const std::string first600(600, 'A');
    const Case cases[] = {
        {"600-byte first line fills two lines",
         first600 + "\nsecond\nthird\nfourth\n",
         {QString(511, 'A'), QString(89, 'A'), "second", "third"}},
        {"zero byte ends the line",
         std::string("HEAD\0TAIL\r\nnext\r\n", 17) + "x\r\ny\r\n",
         {"HEAD", "next", "x", "y"}},
        {"fewer than four lines leave the rest empty", "only\r\nlast", {"only", "last", "", ""}},
        {"empty file", "", {"", "", "", ""}},
        {"Shift-JIS text",
         "\x8a\xf9\x91\xb6\xcc\xa7\xb2\xd9\r\n\xb1\xcc\xdf\xd8\r\n",
         {"既存ﾌｧｲﾙ", "ｱﾌﾟﾘ", "", ""}},
        {"carriage return inside a line stays on it", "a\rb\r\nc\r\r\n", {"a b", "c ", "", ""}},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OpenPath(dir.Write("case" + std::to_string(n++) + ".q58", c.bytes));
        EXPECT_EQ(MemoLines(form), c.lines);
    }
}

TEST_F(MainWindowTest, FileThatCannotBeOpenedChangesNothingButThePath) {
    const std::string good = dir.Write("d1/FW0000.q58", "QUILLMAR\r\n");
    OpenPath(good);
    Find<QLabel>(form, "StatusLabel")->setText("Transfer completed");
    const QStringList preview = MemoLines(form);

    const std::string missing = dir.path() + "/d2/typed.q58";
    OpenPath(missing);
    ASSERT_EQ(who.Count(PromptRequest::Kind::Error), 1);
    EXPECT_EQ(who.requests.back().caption, "エラー");
    EXPECT_EQ(who.requests.back().text, "Cannot open file");
    EXPECT_EQ(form.UpdateFilePath(), missing);
    EXPECT_EQ(form.UpdateFileDir(), dir.path() + "/d1/");
    EXPECT_EQ(form.UpdateFileName(), "FW0000.q58");
    EXPECT_EQ(TextOf(W("FnameEdit")), "FW0000.q58");
    EXPECT_EQ(MemoLines(form), preview);
    EXPECT_EQ(Status(), "Transfer completed");
    EXPECT_TRUE(W("StartBttn")->isEnabled());
}

// Opening a named pipe would wait for a writer on the GUI thread, freezing the window; a
// folder or a socket has no bytes to show. Each is a file that can't be opened, at once.
TEST_F(MainWindowTest, ChosenFileThatIsNoRegularFileCannotBeOpened) {
    using Special = TempDir::Special;
    const std::string good = dir.Write("FW0000.q58", "QUILLMAR\r\n");
    OpenPath(good);
    const QStringList preview = MemoLines(form);
    int errors = 0;
    for (const Special kind : {Special::Fifo, Special::Folder, Special::Socket}) {
        SCOPED_TRACE(TempDir::Name(kind));
        const std::string path = dir.Make(kind, std::string("x/") + TempDir::Name(kind) + ".q58");
        FifoRescue rescue({path}, std::chrono::milliseconds(1000));
        OpenPath(path);
        EXPECT_FALSE(rescue.Rescued()) << "the open waited on the named pipe";
        ASSERT_EQ(who.Count(PromptRequest::Kind::Error), ++errors);
        EXPECT_EQ(who.requests.back().text, "Cannot open file");
        EXPECT_EQ(form.UpdateFilePath(), path);
        EXPECT_EQ(form.UpdateFileName(), "FW0000.q58");
        EXPECT_EQ(MemoLines(form), preview);
    }
}

TEST_F(MainWindowTest, FileThatCannotBeOpenedBeforeAnyOtherLeavesTheStartState) {
    OpenPath(dir.path() + "/nothing-here.q58");
    EXPECT_EQ(who.Count(PromptRequest::Kind::Error), 1);
    EXPECT_EQ(form.UpdateFileName(), "");
    EXPECT_EQ(TextOf(W("FnameEdit")), "Not specified");
    EXPECT_EQ(MemoLines(form), QStringList({"File not specified"}));
    EXPECT_EQ(Status(), "Preparing");
    EXPECT_FALSE(W("StartBttn")->isEnabled());
    EXPECT_FALSE(OwnEnabled(W("FnameEdit")));
}

TEST_F(MainWindowTest, CancelledOpenChangesNothing) {
    OpenPath(dir.Write("FW0000.q58", "a\r\n"));
    who.files.push_back(std::nullopt);
    form.OpenItemClick();
    EXPECT_EQ(form.UpdateFilePath(), dir.path() + "/FW0000.q58");
    EXPECT_EQ(form.UpdateFileName(), "FW0000.q58");
    EXPECT_EQ(MemoLines(form), QStringList({"a", "", "", ""}));
    EXPECT_EQ(who.Count(PromptRequest::Kind::Error), 0);
}

TEST_F(MainWindowTest, LinkSummaryFollowsTheSettingsDialog) {
    auto* setup = new ui::TFM_TransSetup(&form);
    form.SetDialogs(nullptr, setup);
    LinkSettingsValues values = setup->Settings().Get();
    values.IPAddress = "10.20.30.40";
    values.PortNo = 4294967295u;
    setup->Settings().Set(values);
    // The dialog shows itself modally; close it as soon as it is up.
    QTimer::singleShot(0, setup, [setup] { setup->reject(); });
    form.TransSetupClick();
    auto* summary = Find<QLabel>(form, "LB_TransSetup");
    EXPECT_EQ(summary->text(), "TCP/IP :  10.20.30.40  4294967295");
    EXPECT_GE(summary->width(), summary->sizeHint().width());
    EXPECT_EQ(&form.Settings(), &setup->Settings());
}

}  // namespace
}  // namespace qf580::test
