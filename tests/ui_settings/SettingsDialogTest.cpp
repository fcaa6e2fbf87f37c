#include <gtest/gtest.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "ErrorBox.h"
#include "Transsetup.h"
#include "UiSupport.h"

using namespace qf580;
using namespace qf580::ui;
using qf580::test::Find;
using qf580::test::Operator;

namespace {

// The dialog shown as it is from the main window (modal), without blocking the test.
class SettingsDialog : public ::testing::Test {
  protected:
    void SetUp() override { Open(); }
    void TearDown() override {
        if (dialog.isVisible()) {
            dialog.reject();
        }
    }

    void Open() {
        dialog.open();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    }
    QLineEdit* ip() { return Find<QLineEdit>(dialog, "ED_IP_ADR"); }
    QLineEdit* port() { return Find<QLineEdit>(dialog, "ED_PORT"); }
    QRadioButton* tcp() { return Find<QRadioButton>(dialog, "RB_TCPIP"); }
    QRadioButton* usb() { return Find<QRadioButton>(dialog, "RB_USB"); }
    QCheckBox* fast() { return Find<QCheckBox>(dialog, "CB_FastTrans"); }
    void Click(const char* name) {
        QTest::mouseClick(Find<QAbstractButton>(dialog, name), Qt::LeftButton);
    }

    // Changes every control the way an operator would.
    void Enter(bool useUsb, const QString& address, const QString& portText) {
        QTest::mouseClick(useUsb ? usb() : tcp(), Qt::LeftButton);
        ip()->setText(address);
        port()->setText(portText);
    }

    Operator op;
    TFM_TransSetup dialog;
};

}  // namespace

TEST_F(SettingsDialog, StartsWithTheDefaults) {
    EXPECT_EQ(dialog.windowTitle(), "Communication Settings");
    EXPECT_EQ(dialog.size(), QSize(440, 134));
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize()) << "not resizable";
    EXPECT_FALSE(dialog.windowFlags() & Qt::WindowMinMaxButtonsHint);
    EXPECT_TRUE(tcp()->isChecked());
    EXPECT_FALSE(usb()->isChecked());
    EXPECT_EQ(ip()->text(), "192.168.0.1");
    EXPECT_EQ(port()->text(), "8023");
    EXPECT_TRUE(ip()->isEnabled());
    EXPECT_TRUE(fast()->isChecked());
    EXPECT_TRUE(dialog.Settings().FastTrans());
    EXPECT_EQ(dialog.LinkSummary(), "TCP/IP :  192.168.0.1  8023");
    EXPECT_EQ(fast()->font().pixelSize(), 12);
    EXPECT_EQ(dialog.font().pixelSize(), 11);
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
    for (const Placement& p : table) {
        SCOPED_TRACE(p.name);
        const QWidget* w = Find(dialog, p.name);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->parentWidget()->objectName(), p.container);
        if (qobject_cast<const QLabel*>(w)) {
            // Labels are as wide as their text, so the fallback font never clips them.
            EXPECT_EQ(w->pos(), p.geometry.topLeft());
            EXPECT_EQ(w->height(), p.geometry.height());
            EXPECT_GE(w->width(), w->fontMetrics().horizontalAdvance(QString::fromUtf8(p.text)));
            EXPECT_LE(w->geometry().right(), 88 - 2) << "clear of the text fields";
        } else {
            EXPECT_EQ(w->geometry(), p.geometry);
        }
        QString text;
        if (auto* b = qobject_cast<const QAbstractButton*>(w)) {
            text = b->text();
        } else if (auto* e = qobject_cast<const QLineEdit*>(w)) {
            text = e->text();
        } else if (auto* g = qobject_cast<const QGroupBox*>(w)) {
            text = g->title();
        } else if (auto* l = qobject_cast<const QLabel*>(w)) {
            text = l->text();
        }
        EXPECT_EQ(text, QString::fromUtf8(p.text));
    }
}

TEST_F(SettingsDialog, TabOrderAndNoDefaultButton) {
    tcp()->setFocus();
    const char* order[] = {"RB_TCPIP", "ED_IP_ADR", "ED_PORT", "BT_OK", "BT_CAN", "CB_FastTrans"};
    QWidget* w = tcp();
    for (std::size_t i = 1; i < std::size(order); ++i) {
        w = w->nextInFocusChain();
        while (!(w->focusPolicy() & Qt::TabFocus)) {
            w = w->nextInFocusChain();
        }
        EXPECT_EQ(w->objectName(), order[i]);
    }
    EXPECT_FALSE(Find<QPushButton>(dialog, "BT_OK")->isDefault());
    EXPECT_FALSE(Find<QPushButton>(dialog, "BT_OK")->autoDefault());
    EXPECT_FALSE(Find<QPushButton>(dialog, "BT_CAN")->autoDefault());

    // Enter in a text field does not close the dialog.
    port()->setFocus();
    QTest::keyClick(port(), Qt::Key_Return);
    QTest::keyClick(ip(), Qt::Key_Enter);
    EXPECT_TRUE(dialog.isVisible());
}

TEST_F(SettingsDialog, OkStoresEverything) {
    Enter(false, "127.0.0.1", "$1F58");
    Click("BT_OK");
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    const LinkSettingsValues v = dialog.Settings().Get();
    EXPECT_EQ(v.UseUSB, 0);
    EXPECT_EQ(v.IPAddress, "127.0.0.1");
    EXPECT_EQ(v.PortNo, 8024u);
    EXPECT_EQ(dialog.LinkSummary(), "TCP/IP :  127.0.0.1  8024");
    // Shown again as it was left: the typed text, not a reloaded one.
    Open();
    EXPECT_EQ(port()->text(), "$1F58");
    EXPECT_TRUE(op.requests.empty());
}

TEST_F(SettingsDialog, UsbTakesOverTheGreyedTextsToo) {
    Enter(true, "abc", "70000");
    EXPECT_FALSE(ip()->isEnabled());
    EXPECT_FALSE(port()->isEnabled());
    EXPECT_TRUE(Find(dialog, "LBL_IP_ADR")->isEnabled());
    Click("BT_OK");
    const LinkSettingsValues v = dialog.Settings().Get();
    EXPECT_EQ(v.UseUSB, 1);
    EXPECT_EQ(v.IPAddress, "abc");
    EXPECT_EQ(v.PortNo, 70000u);
    EXPECT_EQ(dialog.LinkSummary(), "USB :");
    // And back to TCP/IP: the address is summarised exactly as typed.
    Open();
    QTest::mouseClick(tcp(), Qt::LeftButton);
    EXPECT_TRUE(ip()->isEnabled());
    Click("BT_OK");
    EXPECT_EQ(dialog.LinkSummary(), "TCP/IP :  abc  70000");
}

TEST_F(SettingsDialog, BadPortIsReportedAndTheOldPortKept) {
    struct Case {
        bool useUsb;
        QString text;
    };
    for (const Case& c : {Case{false, QStringLiteral("80 23")}, Case{true, QStringLiteral("")},
                          Case{false, QStringLiteral("8023 ")}}) {
        SCOPED_TRACE(c.text.toStdString());
        op.requests.clear();
        bool shownWhileUp = false;
        op.onQuestion = nullptr;
        Prompts::SetResponder([&](const PromptRequest& r) {
            op.requests.push_back(r);
            shownWhileUp = dialog.isVisible();
            return PromptAnswer{};
        });
        if (!dialog.isVisible()) {
            Open();
        }
        Enter(c.useUsb, "10.1.2.3", c.text);
        Click("BT_OK");
        ASSERT_EQ(op.requests.size(), 1u);
        EXPECT_EQ(op.requests[0].kind, PromptRequest::Kind::Error);
        EXPECT_EQ(op.requests[0].caption, "KV6200 Flash ROM rewriteing tool");
        EXPECT_EQ(op.requests[0].text, "'" + c.text + "' は整数ではありません.");
        EXPECT_TRUE(shownWhileUp);
        // The dialog closes as after a good OK: transport and address taken, port kept.
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
        const LinkSettingsValues v = dialog.Settings().Get();
        EXPECT_EQ(v.UseUSB, c.useUsb ? 1 : 0);
        EXPECT_EQ(v.IPAddress, "10.1.2.3");
        EXPECT_EQ(v.PortNo, 8023u);
        // The rejected text comes back with the dialog; Cancel then restores the stored port.
        Open();
        EXPECT_EQ(port()->text(), c.text);
        Click("BT_CAN");
        Open();
        EXPECT_EQ(port()->text(), "8023");
    }
}

TEST_F(SettingsDialog, CancelAndEscReloadTheStoredSettings) {
    for (const bool byEsc : {false, true}) {
        SCOPED_TRACE(byEsc ? "Esc" : "Cancel");
        if (!dialog.isVisible()) {
            Open();
        }
        Enter(true, "1.2.3.4", "99");
        fast()->setChecked(false);
        if (byEsc) {
            QTest::keyClick(port(), Qt::Key_Escape);
        } else {
            Click("BT_CAN");
        }
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(dialog.result(), QDialog::Rejected);
        EXPECT_EQ(dialog.Settings().UseUSB(), 0);
        EXPECT_EQ(dialog.LinkSummary(), "TCP/IP :  192.168.0.1  8023");
        // A change of the check box is not undone: the flag is the box's state.
        EXPECT_FALSE(dialog.Settings().FastTrans());
        Open();
        EXPECT_TRUE(tcp()->isChecked());
        EXPECT_TRUE(ip()->isEnabled());
        EXPECT_EQ(ip()->text(), "192.168.0.1");
        EXPECT_EQ(port()->text(), "8023");
        EXPECT_FALSE(fast()->isChecked());
        fast()->setChecked(true);
        EXPECT_TRUE(dialog.Settings().FastTrans());
    }
}

TEST_F(SettingsDialog, TitleBarCloseStoresNothingAndKeepsTheEntries) {
    Enter(true, "5.6.7.8", "1");
    dialog.close();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.Settings().UseUSB(), 0);
    EXPECT_EQ(dialog.Settings().IPAddress(), "192.168.0.1");
    EXPECT_EQ(dialog.LinkSummary(), "TCP/IP :  192.168.0.1  8023");
    Open();
    EXPECT_TRUE(usb()->isChecked());
    EXPECT_EQ(ip()->text(), "5.6.7.8");
    EXPECT_FALSE(ip()->isEnabled());
}

TEST_F(SettingsDialog, AllBitsPortShowsUnsigned) {
    for (const char* text : {"-1", "$FFFFFFFF"}) {
        SCOPED_TRACE(text);
        if (!dialog.isVisible()) {
            Open();
        }
        Enter(false, "127.0.0.1", QString::fromLatin1(text));
        Click("BT_OK");
        EXPECT_EQ(dialog.Settings().PortNo(), 0xFFFFFFFFu);
        EXPECT_EQ(dialog.LinkSummary(), "TCP/IP :  127.0.0.1  4294967295");
        Open();
        Click("BT_CAN");
        Open();
        EXPECT_EQ(port()->text(), "4294967295");
    }
}

TEST_F(SettingsDialog, ShownAgainWhereItWasLeft) {
    const QPoint moved = dialog.pos() + QPoint(37, 23);
    dialog.move(moved);
    Click("BT_CAN");
    Open();
    EXPECT_EQ(dialog.pos(), moved);
}
