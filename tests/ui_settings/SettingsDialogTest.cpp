#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionGroupBox>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <functional>
#include <vector>

#include "ui/Prompts.h"
#include "ui/Transsetup.h"

inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

using namespace qf580;
using namespace qf580::ui;

namespace {

template <typename T = QWidget>
T* Find(QWidget& root, const char* name) {
    T* found = root.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
}

// Stands in for the operator at every box for as long as it lives and records what was asked.
class BoxRecorder {
  public:
    BoxRecorder() {
        Prompts::SetResponder([this](const PromptRequest& request) {
            requests.push_back(request);
            if (onBox) {
                onBox();
            }
            return PromptAnswer{};
        });
    }
    BoxRecorder(const BoxRecorder&) = delete;
    BoxRecorder& operator=(const BoxRecorder&) = delete;
    ~BoxRecorder() { Prompts::SetResponder({}); }

    std::vector<PromptRequest> requests;
    std::function<void()> onBox;
};

// The dialog over a stand-in for the main window, shown the way the main window shows it
// (modal), without blocking the test.
class SettingsDialog : public ::testing::Test {
  protected:
    void SetUp() override {
        mainWindow.setGeometry(100, 120, 640, 420);
        mainWindow.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&mainWindow));
        Open();
    }
    void TearDown() override {
        if (dialog->isVisible()) {
            dialog->reject();
        }
    }

    void Open() {
        if (dialog->isVisible()) {
            return;
        }
        dialog->open();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
    }
    QLineEdit* ip() { return Find<QLineEdit>(*dialog, "ED_IP_ADR"); }
    QLineEdit* port() { return Find<QLineEdit>(*dialog, "ED_PORT"); }
    QRadioButton* tcp() { return Find<QRadioButton>(*dialog, "RB_TCPIP"); }
    QRadioButton* usb() { return Find<QRadioButton>(*dialog, "RB_USB"); }
    QCheckBox* fast() { return Find<QCheckBox>(*dialog, "CB_FastTrans"); }
    QPushButton* button(const char* name) { return Find<QPushButton>(*dialog, name); }
    void Click(QAbstractButton* b) { QTest::mouseClick(b, Qt::LeftButton); }

    // The settings the dialog stores and the summary the main window shows of them.
    LinkSettingsValues ExpectStored(bool useUsb, const std::string& address, unsigned port,
                                    const QString& summary) {
        const LinkSettingsValues v = dialog->Settings().Get();
        EXPECT_EQ(v.UseUSB, useUsb ? 1 : 0);
        EXPECT_EQ(v.IPAddress, address);
        EXPECT_EQ(v.PortNo, port);
        EXPECT_EQ(dialog->LinkSummary(), summary);
        return v;
    }

    // Closed without storing anything: the settings are still the factory ones.
    LinkSettingsValues ExpectClosedStoringNothing() {
        EXPECT_FALSE(dialog->isVisible());
        EXPECT_EQ(dialog->result(), QDialog::Rejected);
        return ExpectStored(false, "192.168.0.1", 8023, "TCP/IP :  192.168.0.1  8023");
    }

    // The controls show the factory settings, TCP/IP chosen.
    void ExpectFactoryControls(bool fastChecked) {
        EXPECT_TRUE(tcp()->isChecked());
        EXPECT_FALSE(usb()->isChecked());
        EXPECT_TRUE(ip()->isEnabled());
        EXPECT_TRUE(port()->isEnabled());
        EXPECT_EQ(ip()->text(), "192.168.0.1");
        EXPECT_EQ(port()->text(), "8023");
        EXPECT_EQ(fast()->isChecked(), fastChecked);
    }

    // Changes the controls the way an operator would.
    void Enter(bool useUsb, const QString& address, const QString& portText) {
        Click(useUsb ? usb() : tcp());
        ip()->setText(address);
        port()->setText(portText);
    }

    BoxRecorder boxes;
    QWidget mainWindow;
    TFM_TransSetup* dialog = new TFM_TransSetup(&mainWindow);  // owned by mainWindow
};

}  // namespace

TEST_F(SettingsDialog, StartsWithTheDefaults) {
    ExpectFactoryControls(true);
    const LinkSettingsValues v =
        ExpectStored(false, "192.168.0.1", 8023, "TCP/IP :  192.168.0.1  8023");
    EXPECT_TRUE(v.FastTrans);
}

TEST_F(SettingsDialog, FixedFrameWithTheCloseButtonOnly) {
    EXPECT_EQ(dialog->windowTitle(), "Communication Settings");
    EXPECT_EQ(dialog->size(), QSize(440, 134));
    EXPECT_EQ(dialog->minimumSize(), QSize(440, 134));
    EXPECT_EQ(dialog->maximumSize(), QSize(440, 134));
    const Qt::WindowFlags flags = dialog->windowFlags();
    EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Dialog);
    EXPECT_TRUE(flags & Qt::CustomizeWindowHint) << "otherwise the desktop adds its own buttons";
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowContextHelpButtonHint);
    EXPECT_TRUE(dialog->isModal());
}

TEST_F(SettingsDialog, FontsHaveTheCharacterHeightsTheLayoutAssumes) {
    // What the controls are really drawn with, whichever face stood in.
    EXPECT_EQ(QFontInfo(ip()->font()).pixelSize(), 11);
    EXPECT_EQ(QFontInfo(Find(*dialog, "LBL_PORT")->font()).pixelSize(), 11);
    EXPECT_EQ(QFontInfo(button("BT_OK")->font()).pixelSize(), 11);
    EXPECT_EQ(QFontInfo(fast()->font()).pixelSize(), 12);
    // Every caption fits its control, so a stand-in face clips nothing.
    for (QWidget* w : dialog->findChildren<QWidget*>()) {
        QString text;
        if (auto* b = qobject_cast<QAbstractButton*>(w)) {
            text = b->text();
        } else if (auto* l = qobject_cast<QLabel*>(w)) {
            text = l->text();
        }
        if (!text.isEmpty()) {
            EXPECT_LE(w->fontMetrics().horizontalAdvance(text), w->width())
                << w->objectName().toStdString();
        }
    }
}

TEST_F(SettingsDialog, ControlsStandWhereTheLayoutPutsThem) {
    struct Placement {
        const char* name;
        const char* container;
        QRect geometry;
        const char* text;
    };
    const Placement table[] = {
        {"GroupBox1", "FM_TransSetup", {8, 8, 97, 81}, "Transfer I/F"},
        {"RB_TCPIP", "GroupBox1", {16, 24, 65, 16}, "TCP/IP"},
        {"RB_USB", "GroupBox1", {16, 48, 49, 17}, "USB"},
        {"PN_TCP", "FM_TransSetup", {120, 8, 201, 81}, ""},
        {"LBL_IP_ADR", "PN_TCP", {16, 24, 57, 13}, "IP Address :"},
        {"LBL_PORT", "PN_TCP", {16, 48, 63, 13}, "Port number :"},
        {"ED_IP_ADR", "PN_TCP", {88, 24, 89, 21}, "192.168.0.1"},
        {"ED_PORT", "PN_TCP", {88, 48, 57, 21}, "8023"},
        {"BT_OK", "FM_TransSetup", {336, 8, 89, 49}, "OK"},
        {"BT_CAN", "FM_TransSetup", {336, 64, 89, 25}, "Cancel"},
        {"CB_FastTrans", "FM_TransSetup", {16, 104, 153, 17}, "Fast Transfer Enable"},
    };
    EXPECT_EQ(dialog->objectName(), "FM_TransSetup");
    for (const Placement& p : table) {
        SCOPED_TRACE(p.name);
        QWidget* w = Find(*dialog, p.name);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->parentWidget()->objectName(), p.container);
        if (auto* label = qobject_cast<QLabel*>(w)) {
            // A label is as wide as its text, and at least as wide as stored.
            EXPECT_EQ(w->pos(), p.geometry.topLeft());
            EXPECT_EQ(w->height(), p.geometry.height());
            EXPECT_EQ(w->width(), std::max(p.geometry.width(), label->sizeHint().width()));
            EXPECT_LT(w->geometry().right(), 88) << "clear of the text fields";
        } else {
            EXPECT_EQ(w->geometry(), p.geometry);
        }
        EXPECT_TRUE(w->isVisible());
        QString text;
        if (auto* b = qobject_cast<QAbstractButton*>(w)) {
            text = b->text();
        } else if (auto* e = qobject_cast<QLineEdit*>(w)) {
            text = e->text();
        } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
            text = g->title();
        } else if (auto* l = qobject_cast<QLabel*>(w)) {
            text = l->text();
        }
        EXPECT_EQ(text, QString::fromUtf8(p.text));
    }
    auto* panel = Find<QFrame>(*dialog, "PN_TCP");
    EXPECT_EQ(panel->frameShape(), QFrame::Panel);
    EXPECT_EQ(panel->frameShadow(), QFrame::Raised);
}

TEST_F(SettingsDialog, TabOrder) {
    // The chain holds both radio buttons in their order; Tab stops at the checked one only.
    const QStringList chain = {"RB_TCPIP", "RB_USB", "ED_IP_ADR",   "ED_PORT",
                               "BT_OK",    "BT_CAN", "CB_FastTrans"};
    QStringList seen;
    QWidget* w = tcp();
    do {
        if (chain.contains(w->objectName())) {
            seen << w->objectName();
        }
        w = w->nextInFocusChain();
    } while (w != tcp() && seen.size() < chain.size());
    EXPECT_EQ(seen, chain);

    // Tab from the checked radio button, all the way round; greyed fields are passed by.
    struct Case {
        QRadioButton* radio;
        QStringList stops;
    };
    const Case cases[] = {
        {tcp(),
         {"RB_TCPIP", "ED_IP_ADR", "ED_PORT", "BT_OK", "BT_CAN", "CB_FastTrans", "RB_TCPIP"}},
        {usb(), {"RB_USB", "BT_OK", "BT_CAN", "CB_FastTrans", "RB_USB", "BT_OK"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.radio->objectName().toStdString());
        Click(c.radio);
        c.radio->setFocus();
        QStringList visited;
        for (int i = 0; i < c.stops.size(); ++i) {
            QWidget* focus = QApplication::focusWidget();
            ASSERT_NE(focus, nullptr);
            visited << focus->objectName();
            QTest::keyClick(focus, Qt::Key_Tab);
        }
        EXPECT_EQ(visited, c.stops);
    }
}

TEST_F(SettingsDialog, EnterInATextFieldDoesNotClose) {
    for (QPushButton* b : {button("BT_OK"), button("BT_CAN")}) {
        EXPECT_FALSE(b->isDefault());
        EXPECT_FALSE(b->autoDefault());
    }
    port()->setText("1234");
    for (QLineEdit* field : {port(), ip()}) {
        field->setFocus();
        QTest::keyClick(field, Qt::Key_Return);
        QTest::keyClick(field, Qt::Key_Enter, Qt::KeypadModifier);
        EXPECT_TRUE(dialog->isVisible());
    }
    EXPECT_EQ(dialog->Settings().PortNo(), 8023u) << "nothing stored";
    EXPECT_TRUE(boxes.requests.empty());
}

TEST_F(SettingsDialog, EnterPressesTheButtonThatHasTheFocus) {
    port()->setText("1234");
    button("BT_OK")->setFocus();
    QTest::keyClick(button("BT_OK"), Qt::Key_Return);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(dialog->Settings().PortNo(), 1234u);
}

TEST_F(SettingsDialog, OkStoresEverythingAndTheDialogComesBackAsLeft) {
    Enter(false, "127.0.0.1", "$1F58");
    Click(button("BT_OK"));
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    ExpectStored(false, "127.0.0.1", 8024, "TCP/IP :  127.0.0.1  8024");
    // Showing does not reload: the typed text, not the stored number.
    Open();
    EXPECT_EQ(port()->text(), "$1F58");
    EXPECT_TRUE(boxes.requests.empty());
}

TEST_F(SettingsDialog, PortTextsAsStored) {
    struct Case {
        const char* text;
        std::uint32_t stored;
        const char* summaryPort;
    };
    const Case cases[] = {
        {" 8023", 8023, "8023"},           {"08023", 8023, "8023"},
        {"+8023", 8023, "8023"},           {"$1F57", 8023, "8023"},
        {"70000", 70000, "70000"},         {"0", 0, "0"},
        {"-1", 0xFFFFFFFFu, "4294967295"}, {"$FFFFFFFF", 0xFFFFFFFFu, "4294967295"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Open();
        Enter(false, "127.0.0.1", QString::fromLatin1(c.text));
        Click(button("BT_OK"));
        EXPECT_EQ(dialog->Settings().PortNo(), c.stored);
        EXPECT_EQ(dialog->LinkSummary(),
                  "TCP/IP :  127.0.0.1  " + QString::fromLatin1(c.summaryPort));
        // After a reload the field shows the stored pattern as an unsigned number.
        dialog->LoadControls();
        EXPECT_EQ(port()->text(), QString::fromLatin1(c.summaryPort));
    }
    EXPECT_TRUE(boxes.requests.empty());
}

TEST_F(SettingsDialog, UsbGreysTheFieldsButTakesTheirTextsOver) {
    Enter(true, "abc", "70000");
    EXPECT_FALSE(ip()->isEnabled());
    EXPECT_FALSE(port()->isEnabled());
    EXPECT_TRUE(Find(*dialog, "LBL_IP_ADR")->isEnabled());
    EXPECT_TRUE(Find(*dialog, "LBL_PORT")->isEnabled());
    Click(button("BT_OK"));
    ExpectStored(true, "abc", 70000, "USB :");
    Open();
    EXPECT_TRUE(usb()->isChecked());
    EXPECT_FALSE(ip()->isEnabled());
    // Back to TCP/IP: the address is summarised exactly as typed.
    Click(tcp());
    EXPECT_TRUE(ip()->isEnabled());
    EXPECT_TRUE(port()->isEnabled());
    Click(button("BT_OK"));
    EXPECT_EQ(dialog->LinkSummary(), "TCP/IP :  abc  70000");
}

TEST_F(SettingsDialog, BadPortIsReportedWhileUpThenClosesAsOk) {
    struct Case {
        bool useUsb;
        QString text;
    };
    const Case cases[] = {{false, QStringLiteral("80 23")},
                          {true, QStringLiteral("")},
                          {false, QStringLiteral("8023 ")},
                          {true, QStringLiteral("2147483648")}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        boxes.requests.clear();
        bool shownWhileUp = false;
        boxes.onBox = [&] { shownWhileUp = dialog->isVisible(); };
        Open();
        Enter(c.useUsb, "10.1.2.3", c.text);
        Click(button("BT_OK"));
        ASSERT_EQ(boxes.requests.size(), 1u);
        EXPECT_EQ(boxes.requests[0].kind, PromptRequest::Kind::Error);
        EXPECT_EQ(boxes.requests[0].caption, "KV6200 Flash ROM rewriteing tool");
        EXPECT_EQ(boxes.requests[0].text, "'" + c.text + "' は整数ではありません.");
        EXPECT_TRUE(shownWhileUp);
        EXPECT_FALSE(dialog->isVisible());
        EXPECT_EQ(dialog->result(), QDialog::Accepted);
        // Transport and address taken over, the port kept.
        ExpectStored(c.useUsb, "10.1.2.3", 8023, c.useUsb ? "USB :" : "TCP/IP :  10.1.2.3  8023");
        // The rejected text comes back with the dialog and fails the same way again.
        Open();
        EXPECT_EQ(port()->text(), c.text);
        Click(button("BT_OK"));
        EXPECT_EQ(boxes.requests.size(), 2u);
        EXPECT_EQ(dialog->Settings().PortNo(), 8023u);
        // Cancel restores the stored port.
        Open();
        Click(button("BT_CAN"));
        Open();
        EXPECT_EQ(port()->text(), "8023");
    }
}

TEST_F(SettingsDialog, CancelAndEscReloadTheStoredSettings) {
    for (const bool byEsc : {false, true}) {
        SCOPED_TRACE(byEsc ? "Esc" : "Cancel");
        Open();
        Enter(true, "1.2.3.4", "99");
        Click(fast());
        EXPECT_FALSE(dialog->Settings().FastTrans()) << "follows the box at once";
        if (byEsc) {
            port()->setFocus();
            QTest::keyClick(port(), Qt::Key_Escape);
        } else {
            Click(button("BT_CAN"));
        }
        const LinkSettingsValues v = ExpectClosedStoringNothing();
        // A change of the check box is not undone: the flag is the box's state.
        EXPECT_FALSE(v.FastTrans);
        Open();
        ExpectFactoryControls(false);
        Click(fast());
        EXPECT_TRUE(dialog->Settings().FastTrans());
    }
}

TEST_F(SettingsDialog, CancelAfterUsbWasStoredShowsUsbAgain) {
    Enter(true, "1.2.3.4", "4000");
    Click(button("BT_OK"));
    Open();
    Enter(false, "5.6.7.8", "5000");
    Click(button("BT_CAN"));
    Open();
    EXPECT_TRUE(usb()->isChecked());
    EXPECT_FALSE(ip()->isEnabled());
    EXPECT_FALSE(port()->isEnabled());
    EXPECT_EQ(ip()->text(), "1.2.3.4");
    EXPECT_EQ(port()->text(), "4000");
    EXPECT_EQ(dialog->LinkSummary(), "USB :");
}

TEST_F(SettingsDialog, TitleBarCloseStoresNothingAndKeepsTheEntries) {
    Enter(true, "5.6.7.8", "1");
    Click(fast());
    dialog->close();
    const LinkSettingsValues v = ExpectClosedStoringNothing();
    EXPECT_FALSE(v.FastTrans);
    Open();
    EXPECT_TRUE(usb()->isChecked());
    EXPECT_EQ(ip()->text(), "5.6.7.8");
    EXPECT_EQ(port()->text(), "1");
    EXPECT_FALSE(ip()->isEnabled());
}

TEST_F(SettingsDialog, CentredFirstThenShownWhereItWasLeft) {
    const QPoint offset = dialog->frameGeometry().center() - mainWindow.frameGeometry().center();
    EXPECT_LE(offset.manhattanLength(), 2) << "centred over the main window";
    // The operator drags it through the desktop, not through the widget.
    const QPoint dragged = dialog->pos() + QPoint(37, 23);
    dialog->windowHandle()->setFramePosition(dragged);
    EXPECT_TRUE(QTest::qWaitFor([&] { return dialog->pos() == dragged; }, 2000));
    Click(button("BT_CAN"));
    const QPoint mainMoved = mainWindow.pos() + QPoint(150, 60);
    mainWindow.move(mainMoved);
    EXPECT_TRUE(QTest::qWaitFor([&] { return mainWindow.pos() == mainMoved; }, 2000));
    Open();
    EXPECT_EQ(dialog->pos(), dragged);
    // And again, without a drag in between.
    dialog->close();
    mainWindow.move(mainWindow.pos() - QPoint(90, 40));
    Open();
    EXPECT_EQ(dialog->pos(), dragged);
}

TEST_F(SettingsDialog, GroupCaptionSitsOnTheFrameLineClearOfTheButtons) {
    auto* group = Find<QGroupBox>(*dialog, "GroupBox1");
    QStyleOptionGroupBox option;
    option.initFrom(group);
    option.text = group->title();
    option.textAlignment = group->alignment();
    option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    option.lineWidth = 1;
    const QRect label = group->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                       QStyle::SC_GroupBoxLabel, group);
    const QRect frame = group->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                       QStyle::SC_GroupBoxFrame, group);
    // The frame's top line runs through the caption, as in the main window's groups.
    EXPECT_LT(label.top(), frame.top());
    EXPECT_GT(label.bottom(), frame.top());
    EXPECT_GE(frame.top(), 0);
    EXPECT_LE(frame.top(), label.height());
    // The radio buttons at their stored places stay below the caption and inside the frame.
    EXPECT_GT(tcp()->y(), label.bottom());
    EXPECT_TRUE(frame.contains(usb()->geometry()));
    EXPECT_EQ(QFontInfo(group->font()).pixelSize(), 11);
    EXPECT_EQ(QFontInfo(tcp()->font()).pixelSize(), 11);
}

// The error box of a rejected port closes right before the dialog: the keyboard goes back to
// the main window all the same.
TEST_F(SettingsDialog, KeyboardGoesBackToTheMainWindowAfterARejectedPort) {
    dialog->reject();
    mainWindow.activateWindow();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return QGuiApplication::focusWindow() == mainWindow.windowHandle(); }));
    bool dialogHadKeyboard = false;
    QTimer::singleShot(0, dialog, [&] {
        dialog->activateWindow();
        dialogHadKeyboard = QTest::qWaitFor(
            [&] { return QGuiApplication::focusWindow() == dialog->windowHandle(); });
        port()->setText("x");
        Click(button("BT_OK"));
    });
    EXPECT_EQ(dialog->exec(), QDialog::Accepted);
    EXPECT_TRUE(dialogHadKeyboard);
    ASSERT_EQ(boxes.requests.size(), 1u);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return QGuiApplication::focusWindow() == mainWindow.windowHandle(); }, 2000));
}

// Shown the way the main window shows it: exec() and its own loop.
TEST_F(SettingsDialog, ModalRunsEndByEachClosingPath) {
    dialog->reject();
    struct Case {
        const char* name;
        std::function<void()> poke;
        int result;
    };
    const Case cases[] = {
        {"OK", [&] { Click(button("BT_OK")); }, QDialog::Accepted},
        {"bad port",
         [&] {
             port()->setText("x");
             Click(button("BT_OK"));
         },
         QDialog::Accepted},
        {"Cancel", [&] { Click(button("BT_CAN")); }, QDialog::Rejected},
        {"Esc", [&] { QTest::keyClick(dialog, Qt::Key_Escape); }, QDialog::Rejected},
        {"close", [&] { dialog->close(); }, QDialog::Rejected},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        boxes.requests.clear();
        bool modalAtBox = false;
        boxes.onBox = [&] { modalAtBox = QApplication::activeModalWidget() == dialog; };
        QTimer::singleShot(0, dialog, [&] {
            EXPECT_TRUE(dialog->isVisible());
            c.poke();
        });
        // Never hang, whatever goes wrong.
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, dialog, [&] { dialog->done(-1); });
        watchdog.start(5000);
        EXPECT_EQ(dialog->exec(), c.result);
        EXPECT_FALSE(dialog->isVisible());
        if (std::string(c.name) == "bad port") {
            ASSERT_EQ(boxes.requests.size(), 1u);
            EXPECT_EQ(boxes.requests[0].text, "'x' は整数ではありません.");
            EXPECT_TRUE(modalAtBox) << "the box comes while the dialog is still up";
        } else {
            EXPECT_TRUE(boxes.requests.empty());
        }
    }
}
