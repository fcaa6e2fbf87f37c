// The main window: the operator's working window. Its transfer session hosts the worker.
#pragma once

#include <QFont>
#include <QMainWindow>
#include <QString>
#include <QTimer>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "transfer/LinkSettings.h"
#include "transfer/UpdateDisk.h"
#include "ui/TransferSession.h"

class QAction;
class QKeyEvent;
class QFileDialog;
class QProgressBar;

namespace Ui {
class TSDIAppForm;
}

namespace qf580::ui {

class Announcer;
class TAboutBox;
class TFM_TransSetup;

// Shift-JIS bytes as text.
QString DecodeShiftJis(std::string_view bytes);

class TSDIAppForm : public QMainWindow {
    Q_OBJECT

  public:
    explicit TSDIAppForm(QWidget* parent = nullptr);
    ~TSDIAppForm() override;

    // The dialogs are created after the window; until they are handed over, the window
    // uses link settings of its own with their defaults.
    void SetDialogs(TAboutBox* aboutBox, TFM_TransSetup* transSetup);
    TAboutBox* AboutBox() const { return AboutBox_; }
    TFM_TransSetup* FM_TransSetup() const { return FM_TransSetup_; }

    // The worker's host: Start starts it, Exit and closing stop it.
    TransferSession& Session() { return session_; }

    // The chosen file, as file-system bytes (UTF-8 here); the next Start's worker takes it.
    std::string UpdateFileName() const { return chosen_.name; }
    std::string UpdateFileDir() const { return chosen_.dir; }
    std::string UpdateFilePath() const { return filePath_; }

    // The link settings the next worker reads: the settings dialog's once it is handed over.
    const LinkSettings& Settings() const;
    // The worker of the latest transfer, kept after its end until the next Start or Exit.
    const TTrans* TransThread() const { return session_.Worker(); }
    // 1 from Start until the worker's end notice has been applied, otherwise 0. The session
    // keeps that state for its own Start, so the window reads it there rather than keep a
    // second flag that could disagree.
    int Busy() const { return session_.Running() ? 1 : 0; }
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
    // Emitted whenever the status line gets a text, the worker's included.
    void StatusShown(const QString& text);

  protected:
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    // The constructor's steps: fonts, icons and colours; the progress bar and its pace; what
    // screen readers are told; the handlers of the controls and of the transfer session.
    void SetUpLook();
    void SetUpProgressBar();
    void SetUpReaders();
    void ConnectHandlers();
    // The worker's end notice: enable Start (Busy is clear by then).
    void TransThreadEnded();
    // The bar in the status bar's right-hand part: percent of the set's bytes, or busy while
    // the total is unknown. At most ten changes a second; a change between busy and a
    // percent, and 100%, at once.
    void ShowProgress(const TransferProgress& progress);
    void ShowPercent(std::optional<int> percent);
    void ResetProgressPace();
    void ShowStatus(const QString& text);
    void SetStatusLabelEnabled(bool enabled);
    void FollowPalette();
    void FollowDesktop();
    void FollowStatusForReaders();
    void ShowLinkSummary(const QString& summary);
    void FollowClientArea();
    bool StartAccessKey();
    // Whether a key press is a held key's repeat.
    bool Repeats(const QKeyEvent& press) const;

    std::unique_ptr<Ui::TSDIAppForm> ui_;
    QAction* N1 = nullptr;
    QFileDialog* OpenDialog_ = nullptr;    // owned by the window
    QProgressBar* ProgressBar_ = nullptr;  // owned by the status bar
    Announcer* Announcer_ = nullptr;       // owned by the client area
    // A bar repaints at once at every new value: paced, it costs the transfer nothing.
    QTimer progressPace_;
    // The status line's name for screen readers follows its text at this pace.
    QTimer readerNamePace_;
    bool followsDesktop_ = false;
    std::optional<std::optional<int>> pacedPercent_;  // waiting for the pace, if anything
    TAboutBox* AboutBox_ = nullptr;
    TFM_TransSetup* FM_TransSetup_ = nullptr;
    LinkSettings ownSettings_;

    // Whether the key press of the next shortcut is a held key's repeat.
    bool shortcutRepeats_ = false;
    // The key and the time of the last key release that reached the window.
    std::optional<std::pair<int, quint64>> lastRelease_;

    ChosenFile chosen_;
    std::string filePath_;
    QString hint_;

    // Declared last, so it goes first: the worker reads the link settings above until its
    // last step.
    TransferSession session_{this};
};

}  // namespace qf580::ui
