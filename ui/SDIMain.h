// The main window: the operator's working window and the transfer worker's GUI host.
#pragma once

#include <QFont>
#include <QIcon>
#include <QMainWindow>
#include <QString>
#include <atomic>
#include <memory>
#include <string>
#include <string_view>

#include "LinkSettings.h"
#include "TransHost.h"
#include "Ttrans.h"

class QAction;
class QFileDialog;

namespace Ui {
class TSDIAppForm;
}

namespace qf580::ui {

class TAboutBox;
class TFM_TransSetup;

// The program's own icon, for the windows and the desktop.
QIcon ProgramIcon();

// Shift-JIS bytes as text.
QString DecodeShiftJis(std::string_view bytes);

class TSDIAppForm : public QMainWindow, public TransHost {
    Q_OBJECT

  public:
    explicit TSDIAppForm(QWidget* parent = nullptr);
    ~TSDIAppForm() override;

    // The dialogs are created after the window; until they are handed over, the window
    // uses link settings of its own with their defaults.
    void SetDialogs(TAboutBox* aboutBox, TFM_TransSetup* transSetup);
    TAboutBox* AboutBox() const { return AboutBox_; }
    TFM_TransSetup* FM_TransSetup() const { return FM_TransSetup_; }

    // What the next worker is built with (time limits, USB driver); production defaults.
    void SetTransEnvironment(TransEnvironment env) { env_ = std::move(env); }

    // TransHost. The file name and directory are file-system bytes (UTF-8 here).
    std::string UpdateFileName() const override { return fileName_; }
    std::string UpdateFileDir() const override { return fileDir_; }
    std::string UpdateFilePath() const { return filePath_; }
    const LinkSettings& Settings() const override;
    void SetStatus(const std::string& text) override;
    bool AskInsertDisk(int diskNo) override;
    void TransferEnded(Outcome outcome) override;

    // Requests a stop of a running worker, waits for its end while its window changes and
    // its disk question are still served, and disposes of it. Safe to call at any time.
    void StopWorker();
    // The worker of the latest transfer, kept after its end until the next Start or Exit.
    const TTrans* TransThread() const { return TransThread_.get(); }
    int BusyValue() const { return Busy.load(); }
    QFileDialog& OpenDialog() const { return *OpenDialog_; }

    void FormCreate();
    void OpenItemClick();
    void ExitItemClick();
    void TransSetupClick();
    void SetupButtonClick();
    void About1Click();
    void StartBttnClick();
    void ShowHint(const QString& hint);

  signals:
    // Emitted on the GUI thread once the worker's end notice has been applied.
    void TransferFinished();
    // Emitted whenever the status line gets a text, the worker's included.
    void StatusShown(const QString& text);

  protected:
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void ApplyTransferEnded();
    void ShowStatus(const QString& text);
    bool AskOnGuiThread(int diskNo);
    void SetStatusLabelEnabled(bool enabled);
    void ShowLinkSummary(const QString& summary);
    void FollowClientArea();
    bool StartAccessKey();
    bool DeferExit();

    std::unique_ptr<Ui::TSDIAppForm> ui_;
    QAction* N1 = nullptr;
    QFileDialog* OpenDialog_ = nullptr;  // owned by the window
    TAboutBox* AboutBox_ = nullptr;
    TFM_TransSetup* FM_TransSetup_ = nullptr;
    LinkSettings ownSettings_;
    TransEnvironment env_;

    std::string fileName_;
    std::string fileDir_;
    std::string filePath_;
    QString hint_;
    bool waiting_ = false;      // StopWorker is serving the worker until its end
    int asking_ = 0;            // the disk question is being shown
    bool exitPending_ = false;  // Exit requested while the question was shown

  public:
    // 1 from Start until the worker's end notice has been applied, otherwise 0.
    std::atomic<int> Busy{0};

  private:
    // Declared last, so it goes first: the worker reads this window until its last step.
    std::unique_ptr<TTrans> TransThread_;
};

}  // namespace qf580::ui
