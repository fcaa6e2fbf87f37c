#include "Transsetup.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>

#include "ErrorBox.h"
#include "PortText.h"
#include "SDIMain.h"
#include "ui_Transsetup.h"

namespace qf580::ui {

TFM_TransSetup::TFM_TransSetup(QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::TFM_TransSetup>()) {
    ui_->setupUi(this);
    // A fixed dialog frame: the close button only, no resizing.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(440, 134);
    setFont(FormFont(11));
    ui_->CB_FastTrans->setFont(FormFont(12));
    // The two labels are as wide as their text, as the stored widths were for the original
    // font: a wider fallback font must not clip the colon.
    for (QLabel* label : {ui_->LBL_IP_ADR, ui_->LBL_PORT}) {
        label->resize(label->sizeHint().width(), label->height());
    }

    connect(ui_->RB_TCPIP, &QRadioButton::clicked, this, &TFM_TransSetup::RB_TCPIPClick);
    connect(ui_->RB_USB, &QRadioButton::clicked, this, &TFM_TransSetup::RB_USBClick);
    connect(ui_->BT_OK, &QPushButton::clicked, this, &TFM_TransSetup::OkPressed);
    connect(ui_->BT_CAN, &QPushButton::clicked, this, &TFM_TransSetup::BT_CANClick);
    // The worker reads the check box's state as it stands, so it is mirrored on every change,
    // whatever way the dialog is closed afterwards.
    connect(ui_->CB_FastTrans, &QCheckBox::toggled, this,
            [this](bool checked) { settings_.SetFastTrans(checked); });
    settings_.SetFastTrans(ui_->CB_FastTrans->isChecked());

    LoadControls();
}

TFM_TransSetup::~TFM_TransSetup() = default;

QString TFM_TransSetup::LinkSummary() const {
    const LinkSettingsValues v = settings_.Get();
    if (v.UseUSB != 0) {
        return QStringLiteral("USB :");
    }
    return QStringLiteral("TCP/IP :  ") + QString::fromStdString(v.IPAddress) +
           QStringLiteral("  ") + QString::number(v.PortNo);
}

void TFM_TransSetup::LoadControls() {
    const LinkSettingsValues v = settings_.Get();
    const bool tcp = v.UseUSB == 0;
    ui_->RB_TCPIP->setChecked(tcp);
    ui_->RB_USB->setChecked(!tcp);
    ui_->ED_IP_ADR->setEnabled(tcp);
    ui_->ED_PORT->setEnabled(tcp);
    ui_->ED_IP_ADR->setText(QString::fromStdString(v.IPAddress));
    ui_->ED_PORT->setText(QString::number(v.PortNo));
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
    // The texts are taken over also from the greyed fields when USB is chosen.
    settings_.SetUseUSB(ui_->RB_TCPIP->isChecked() ? 0 : 1);
    settings_.SetIPAddress(ui_->ED_IP_ADR->text().toStdString());
    const QString portText = ui_->ED_PORT->text();
    const std::optional<std::int32_t> port = StrToInt(portText.toStdString());
    if (!port) {
        throw AppError((QStringLiteral("'") + portText + QStringLiteral("' は整数ではありません"))
                           .toStdString());
    }
    settings_.SetPortNo(static_cast<std::uint32_t>(*port));
}

void TFM_TransSetup::BT_CANClick() {
    LoadControls();
    QDialog::reject();
}

void TFM_TransSetup::OkPressed() {
    // A rejected port text is reported while the dialog is still up; once the operator has
    // closed the box, the dialog closes as after a good OK, with the old port kept.
    try {
        BT_OKClick();
    } catch (const AppError& error) {
        ShowApplicationError(QString::fromStdString(error.what()));
    }
    accept();
}

void TFM_TransSetup::keyPressEvent(QKeyEvent* event) {
    // Esc presses the cancel button; the title bar's close button (reject) stores nothing
    // and leaves the operator's entries in place.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        BT_CANClick();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TFM_TransSetup::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Centred over the main window the first time only; afterwards it comes back where the
    // operator left it.
    setAttribute(Qt::WA_Moved, true);
}

}  // namespace qf580::ui
