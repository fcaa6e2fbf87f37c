#include "ui/Transsetup.h"

#include <algorithm>

#include <QFontDatabase>
#include <QHideEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

#include "ui/Accessibility.h"
#include "ui/ErrorBox.h"
#include "ui/PortText.h"
#include "ui/WindowLook.h"
#include "ui_Transsetup.h"

namespace qf580::ui {

namespace {

QString NotAnIntegerMessage(const QString& text) {
    return QStringLiteral("'") + text + QStringLiteral("' は整数ではありません");
}

}  // namespace

TFM_TransSetup::TFM_TransSetup(QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::TFM_TransSetup>()) {
    ui_->setupUi(this);
    // A fixed frame with the close button only.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(size());
    // Centred over the main window the first time; after that where it was left.
    CentreOnFirstShow(*this, parent);
    setFont(FormFont(11));
    ui_->CB_FastTrans->setFont(FormFont(12));
    PinFonts(*this);
    UseFramedGroupStyle(*ui_->GroupBox1);
    // The labels' stored widths fit their texts in the form's preferred face. A wider
    // fallback face must not clip the colon; the fields to their right leave room for that.
    for (QLabel* label : {ui_->LBL_IP_ADR, ui_->LBL_PORT}) {
        label->resize(std::max(label->width(), label->sizeHint().width()), label->height());
    }

    NameAfterLabel(*ui_->LBL_IP_ADR, *ui_->ED_IP_ADR);
    NameAfterLabel(*ui_->LBL_PORT, *ui_->ED_PORT);

    connect(ui_->RB_TCPIP, &QRadioButton::toggled, this, [this](bool checked) {
        if (checked) {
            RB_TCPIPClick();
        }
    });
    connect(ui_->RB_USB, &QRadioButton::toggled, this, [this](bool checked) {
        if (checked) {
            RB_USBClick();
        }
    });
    connect(ui_->BT_OK, &QPushButton::clicked, this, &TFM_TransSetup::BT_OKClick);
    connect(ui_->BT_CAN, &QPushButton::clicked, this, &TFM_TransSetup::BT_CANClick);
    // The worker reads the flag from its own thread; it follows the box at every change.
    connect(ui_->CB_FastTrans, &QCheckBox::toggled, this,
            [this](bool checked) { settings_.SetFastTrans(checked); });

    settings_.Set(LinkSettingsValues{});
    settings_.SetFastTrans(ui_->CB_FastTrans->isChecked());
    LoadControls();
}

TFM_TransSetup::~TFM_TransSetup() = default;

QString TFM_TransSetup::LinkSummary() const {
    const LinkSettingsValues values = settings_.Get();
    if (values.UseUSB != 0) {
        return QStringLiteral("USB :");
    }
    return QStringLiteral("TCP/IP :  ") + QString::fromStdString(values.IPAddress) +
           QStringLiteral("  ") + QString::number(values.PortNo);
}

void TFM_TransSetup::LoadControls() {
    const LinkSettingsValues values = settings_.Get();
    const bool tcpip = values.UseUSB == 0;
    // The two buttons exclude each other: checking one clears the other.
    (tcpip ? ui_->RB_TCPIP : ui_->RB_USB)->setChecked(true);
    ui_->ED_IP_ADR->setEnabled(tcpip);
    ui_->ED_PORT->setEnabled(tcpip);
    ui_->ED_IP_ADR->setText(QString::fromStdString(values.IPAddress));
    ui_->ED_PORT->setText(QString::number(values.PortNo));
}

void TFM_TransSetup::RB_TCPIPClick() {
    ui_->ED_IP_ADR->setEnabled(true);
    ui_->ED_PORT->setEnabled(true);
}

void TFM_TransSetup::RB_USBClick() {
    ui_->ED_IP_ADR->setEnabled(false);
    ui_->ED_PORT->setEnabled(false);
}

void TFM_TransSetup::BT_OKClick() {
    // The greyed fields of the USB choice are taken over all the same.
    settings_.SetUseUSB(ui_->RB_TCPIP->isChecked() ? 0 : 1);
    settings_.SetIPAddress(ui_->ED_IP_ADR->text().toStdString());
    const QString portText = ui_->ED_PORT->text();
    if (const auto port = StrToInt(portText.toStdString())) {
        settings_.SetPortNo(static_cast<std::uint32_t>(*port));
    } else {
        // Reported while the dialog is still up; the port keeps its value and the rejected
        // text stays in the field. The dialog closes as OK once the box is dismissed.
        ShowApplicationError(NotAnIntegerMessage(portText));
    }
    accept();
}

void TFM_TransSetup::BT_CANClick() {
    LoadControls();
    reject();
}

void TFM_TransSetup::keyPressEvent(QKeyEvent* event) {
    // Esc is the cancel button's key. QDialog's own handling would only reject(), which is
    // also what the title bar's close button does, and that one must not reload.
    if (event->matches(QKeySequence::Cancel)) {
        BT_CANClick();
        return;
    }
    // With no default button, Enter presses only the button that has the focus; in a text
    // field it does nothing.
    const int key = event->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
            button->click();
            return;
        }
    }
    QDialog::keyPressEvent(event);
}

void TFM_TransSetup::hideEvent(QHideEvent* event) {
    // QDialog centres itself over its parent at every showing unless it was placed
    // explicitly. Placing it where it was left keeps it there next time, also after the
    // operator dragged it or the main window moved.
    if (!event->spontaneous()) {
        move(pos());
        // The error box of a rejected port closes right before the dialog does.
        ReturnFocusToOwner(*this);
    }
    QDialog::hideEvent(event);
}

}  // namespace qf580::ui
