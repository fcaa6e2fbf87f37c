// The communication settings dialog, and the owner of the link settings for the whole run.
#pragma once

#include <QDialog>
#include <QString>
#include <memory>

#include "transfer/LinkSettings.h"

class QHideEvent;
class QKeyEvent;

namespace Ui {
class TFM_TransSetup;
}

namespace qf580::ui {

class TFM_TransSetup : public QDialog {
    Q_OBJECT

  public:
    explicit TFM_TransSetup(QWidget* parent = nullptr);
    ~TFM_TransSetup() override;

    // The stored settings (UseUSB, IPAddress, PortNo) and the fast-transfer flag, which
    // follows the check box at every moment. The link and the worker read them from their
    // own thread.
    LinkSettings& Settings() { return settings_; }
    const LinkSettings& Settings() const { return settings_; }

    // The main window's link summary: "USB :" or "TCP/IP :  " + address + "  " + port.
    QString LinkSummary() const;

    void LoadControls();

    void RB_TCPIPClick();
    void RB_USBClick();
    void BT_OKClick();
    void BT_CANClick();

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    std::unique_ptr<Ui::TFM_TransSetup> ui_;
    LinkSettings settings_;
};

}  // namespace qf580::ui
