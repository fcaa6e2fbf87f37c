#include "ui/SDIMain.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QMenu>
#include <QProgressBar>
#include <QShortcutEvent>
#include <QStatusTipEvent>
#include <QStringDecoder>
#include <QStringList>
#include <QToolButton>
#include <QToolTip>

#include <utility>

#include "transfer/UpdateDisk.h"
#include "ui/About.h"
#include "ui/Accessibility.h"
#include "ui/OpenDialog.h"
#include "ui/Prompts.h"
#include "ui/Transsetup.h"
#include "ui/WindowLook.h"
#include "ui_SDIMain.h"

namespace qf580::ui {

namespace {

constexpr int kClientWidth = 400;
constexpr int kClientHeight = 450;
constexpr int kSpeedPanelHeight = 34;
constexpr int kStatusBarHeight = 22;
constexpr int kPreviewLines = 4;
// Wide enough for its percent, narrow enough to leave the status bar's left to the hint line.
constexpr int kProgressBarWidth = 120;
constexpr int kProgressPaceMs = 100;
constexpr int kReaderNamePaceMs = 300;

QIcon ToolIcon(const QString& name) {
    QIcon icon;
    AddScaledFiles(icon, QStringLiteral(":/icons/%1").arg(name), QIcon::Normal);
    AddScaledFiles(icon, QStringLiteral(":/icons/%1_disabled").arg(name), QIcon::Disabled);
    return icon;
}

// One preview line: what a zero-terminated fgets buffer would show, without its line end
// (the carriage return before the line feed is dropped for display).
QString PreviewLine(const std::optional<std::string>& line) {
    if (!line) {
        return QString();
    }
    std::string_view text = CutAtZero(*line);
    text = text.substr(0, text.find('\n'));
    if (!text.empty() && text.back() == '\r') {
        text.remove_suffix(1);
    }
    // A carriage return left inside would break the line in two and push the fourth line
    // out of the preview.
    return DecodeShiftJis(text).replace(QLatin1Char('\r'), QLatin1Char(' '));
}

}  // namespace

QString DecodeShiftJis(std::string_view bytes) {
    QStringDecoder decoder("Shift_JIS");
    return decoder.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
}

TSDIAppForm::TSDIAppForm(QWidget* parent)
    : QMainWindow(parent), ui_(std::make_unique<Ui::TSDIAppForm>()) {
    LoadUiResources();
    ui_->setupUi(this);
    SetUpLook();
    SetUpProgressBar();
    SetUpReaders();

    ui_->ClientArea->installEventFilter(this);
    resize(kClientWidth, kClientHeight + ui_->SDIAppMenu->sizeHint().height());
    CentreOnFirstShow(*this);

    OpenDialog_ = MakeOpenDialog(
        this, {QStringLiteral("QF580 Update Files (*.q58)"), QStringLiteral("All Files (*.*)")});
    OpenDialog_->setObjectName(QStringLiteral("OpenDialog"));
    ConnectHandlers();

    ui_->StartBttn->installEventFilter(this);
    ui_->SDIAppMenu->installEventFilter(this);
    ui_->SpeedPanel->setFocus();

    FormCreate();
    followsDesktop_ = true;
}

void TSDIAppForm::SetUpLook() {
    setFont(FormFont(11));
    for (QMenu* menu : {ui_->FileMenu, ui_->S1, ui_->Help1}) {
        menu->setFont(font());
    }
    setWindowIcon(ProgramIcon());

    N1 = ui_->FileMenu->insertSeparator(ui_->ExitItem);
    N1->setObjectName(QStringLiteral("N1"));
    // The shortcuts work wherever the focus is in the window, menus closed.
    addActions({ui_->OpenItem, ui_->ExitItem});

    ui_->OpenBtn->setIcon(ToolIcon(QStringLiteral("open")));
    ui_->SetupButton->setIcon(ToolIcon(QStringLiteral("setup")));
    ui_->ExitBtn->setIcon(ToolIcon(QStringLiteral("exit")));

    FollowPalette();
    PinFonts(*this);
    // Set on the client area only: a style sheet resets the fonts of every window beneath
    // it, the dialogs that this window owns included.
    UseFramedGroupStyle(*ui_->ClientArea);
}

void TSDIAppForm::SetUpProgressBar() {
    // Beside the hint line, not in its place: a permanent widget keeps to the right, and the
    // bar fits inside the status bar's height rather than stretching it.
    ProgressBar_ = new QProgressBar(ui_->StatusBar);
    ProgressBar_->setObjectName(QStringLiteral("ProgressBar"));
    ProgressBar_->setFixedSize(kProgressBarWidth, kStatusBarHeight - 6);
    ProgressBar_->setFont(ui_->StatusBar->font());
    ProgressBar_->hide();
    ui_->StatusBar->addPermanentWidget(ProgressBar_);
    progressPace_.setSingleShot(true);
    progressPace_.setInterval(kProgressPaceMs);
    connect(&progressPace_, &QTimer::timeout, this, [this] {
        if (pacedPercent_) {
            ShowPercent(*std::exchange(pacedPercent_, std::nullopt));
        }
    });
}

void TSDIAppForm::SetUpReaders() {
    // For screen readers; nothing of it shows.
    NameAfterLabel(*ui_->FnameLabel, *ui_->FnameEdit);
    for (QToolButton* button : {ui_->OpenBtn, ui_->SetupButton, ui_->ExitBtn}) {
        button->setAccessibleName(button->toolTip());
    }
    ui_->SpeedPanel->setAccessibleName(QStringLiteral("Tool bar"));
    ProgressBar_->setAccessibleName(QStringLiteral("Transfer progress"));
    // Bytes that are not Shift-JIS show as replacement marks, which a reader would spell out
    // one by one; the name says what the preview is before the reader gets to them.
    ui_->HeaderMemo->setAccessibleName(ui_->GroupBox1->title());
    ui_->HeaderMemo->setAccessibleDescription(
        QStringLiteral("The first four lines of the update file"));
    Announcer_ = new Announcer(ui_->ClientArea);
    readerNamePace_.setSingleShot(true);
    readerNamePace_.setInterval(kReaderNamePaceMs);
    connect(&readerNamePace_, &QTimer::timeout, this, &TSDIAppForm::FollowStatusForReaders);
    FollowStatusForReaders();
}

void TSDIAppForm::ConnectHandlers() {
    connect(ui_->OpenItem, &QAction::triggered, this, &TSDIAppForm::OpenItemClick);
    connect(ui_->OpenBtn, &QToolButton::clicked, this, &TSDIAppForm::OpenItemClick);
    connect(ui_->ExitItem, &QAction::triggered, this, &TSDIAppForm::ExitItemClick);
    connect(ui_->ExitBtn, &QToolButton::clicked, this, &TSDIAppForm::ExitItemClick);
    connect(ui_->TransSetup, &QAction::triggered, this, &TSDIAppForm::TransSetupClick);
    connect(ui_->SetupButton, &QToolButton::clicked, this, &TSDIAppForm::SetupButtonClick);
    connect(ui_->About1, &QAction::triggered, this, &TSDIAppForm::About1Click);
    connect(ui_->StartBttn, &QPushButton::clicked, this, &TSDIAppForm::StartBttnClick);
    connect(&session_, &TransferSession::StatusChanged, this, &TSDIAppForm::ShowStatus);
    connect(&session_, &TransferSession::Ended, this, &TSDIAppForm::TransThreadEnded);
    connect(&session_, &TransferSession::ProgressChanged, this, &TSDIAppForm::ShowProgress);
    connect(&session_, &TransferSession::LeaveRequested, this, &TSDIAppForm::ExitItemClick);
}

TSDIAppForm::~TSDIAppForm() {
    // The worker reads this window's link settings until its last step.
    session_.StopAndWait();
}

void TSDIAppForm::FormCreate() {
    // Menu items report their hints as status tips (see event()); a closing menu clears the
    // line again.
    for (QMenu* menu : {ui_->FileMenu, ui_->S1, ui_->Help1}) {
        connect(menu, &QMenu::aboutToHide, this, [this] { ShowHint(QString()); });
    }
}

void TSDIAppForm::SetDialogs(TAboutBox* aboutBox, TFM_TransSetup* transSetup) {
    AboutBox_ = aboutBox;
    FM_TransSetup_ = transSetup;
}

const LinkSettings& TSDIAppForm::Settings() const {
    return FM_TransSetup_ ? FM_TransSetup_->Settings() : ownSettings_;
}

void TSDIAppForm::ShowHint(const QString& hint) {
    if (hint == hint_) {
        return;
    }
    hint_ = hint;
    if (hint.isEmpty()) {
        ui_->StatusBar->clearMessage();
    } else {
        ui_->StatusBar->showMessage(hint);
    }
}

void TSDIAppForm::FollowPalette() {
    // The group's disabled state only keeps input away from it: neither its caption nor the
    // status line is drawn greyed because of it. Taken afresh from the desktop's palette at
    // every change of it, as a copy kept from before would show the old scheme's colours,
    // or the disabled ones, for the new.
    const QPalette desktop = QApplication::palette(ui_->GroupBox2);
    QPalette group = desktop;
    for (auto role : {QPalette::WindowText, QPalette::Text}) {
        group.setColor(QPalette::Disabled, role, desktop.color(QPalette::Active, role));
    }
    ui_->GroupBox2->setPalette(group);
    SetStatusLabelEnabled(!ui_->StatusLabel->testAttribute(Qt::WA_ForceDisabled));
}

void TSDIAppForm::SetStatusLabelEnabled(bool enabled) {
    // Its group is disabled for good, so the label's own state is its WA_ForceDisabled
    // attribute; the palette shows that state instead of the group's.
    QLabel* label = ui_->StatusLabel;
    label->setEnabled(enabled);
    QPalette palette = ui_->GroupBox2->palette();
    if (!enabled) {
        const QPalette standard = QApplication::palette(label);
        for (auto role : {QPalette::WindowText, QPalette::Text}) {
            palette.setColor(QPalette::Disabled, role, standard.color(QPalette::Disabled, role));
        }
    }
    label->setPalette(palette);
}

void TSDIAppForm::ShowLinkSummary(const QString& summary) {
    QLabel* label = ui_->LB_TransSetup;
    label->setText(summary);
    label->resize(label->sizeHint().width(), label->height());
}

void TSDIAppForm::OpenItemClick() {
    const std::optional<QString> chosen = Prompts::OpenFile(*OpenDialog_);
    if (!chosen) {
        return;
    }
    filePath_ = QFile::encodeName(*chosen).toStdString();

    DiskFile file;
    if (!file.Open(filePath_)) {
        Prompts::Error(this, QStringLiteral("エラー"), QStringLiteral("Cannot open file"));
        return;
    }

    chosen_ = SplitChosenFile(filePath_);

    ui_->FnameEdit->setText(QFile::decodeName(QByteArray::fromStdString(chosen_.name)));
    ui_->FnameLabel->setEnabled(true);
    ui_->FnameEdit->setEnabled(true);
    ui_->HeaderMemo->setEnabled(true);

    QStringList preview;
    for (int i = 0; i < kPreviewLines; ++i) {
        preview << PreviewLine(file.ReadLine());
    }
    ui_->HeaderMemo->setPlainText(preview.join(QLatin1Char('\n')));

    ui_->StartBttn->setEnabled(true);
    ShowStatus(QStringLiteral("Press the Start button when preparations are complete"));
    SetStatusLabelEnabled(true);
}

void TSDIAppForm::StartBttnClick() {
    if (Busy() != 0) {
        return;
    }
    ui_->StartBttn->setEnabled(false);
    // Busy until the worker has counted the set and said how big it is.
    ResetProgressPace();
    ProgressBar_->setRange(0, 0);
    ProgressBar_->show();
    // Without a new worker no end notice will come: undo Start's own changes.
    const auto undo = [this] {
        ui_->StartBttn->setEnabled(true);
        ProgressBar_->hide();
    };
    try {
        if (!session_.Start(chosen_, Settings())) {
            undo();
        }
    } catch (...) {
        undo();
        throw;
    }
}

void TSDIAppForm::ExitItemClick() {
    if (session_.StopForLeaving()) {
        close();
    }
}

void TSDIAppForm::TransSetupClick() {
    if (!FM_TransSetup_) {
        return;
    }
    FM_TransSetup_->exec();
    ShowLinkSummary(FM_TransSetup_->LinkSummary());
}

void TSDIAppForm::SetupButtonClick() {
    TransSetupClick();
}

void TSDIAppForm::About1Click() {
    if (AboutBox_) {
        AboutBox_->exec();
    }
}

void TSDIAppForm::ShowStatus(const QString& text) {
    ui_->StatusLabel->setText(text);
    if (!readerNamePace_.isActive()) {
        FollowStatusForReaders();
    }
    emit StatusShown(text);
}

void TSDIAppForm::FollowStatusForReaders() {
    // A label without a name of its own tells readers of every new text, one per record in a
    // transfer; a reader that falls that far behind drops what comes next, the outcome's
    // notification too. Named after its text at a pace, it tells them a few times a second.
    QLabel* label = ui_->StatusLabel;
    if (label->accessibleName() != label->text()) {
        label->setAccessibleName(label->text());
        readerNamePace_.start();
    }
}

void TSDIAppForm::TransThreadEnded() {
    ResetProgressPace();
    ProgressBar_->hide();
    ui_->StartBttn->setEnabled(true);
    // The outcome's text is the status line's by now.
    readerNamePace_.stop();
    FollowStatusForReaders();
    Announcer_->Announce(ui_->StatusLabel->text());
}

void TSDIAppForm::ShowProgress(const TransferProgress& progress) {
    const std::optional<int> percent = progress.Percent();
    const bool busy = ProgressBar_->maximum() == 0;
    const bool kindChanges = percent.has_value() == busy;  // busy to a percent, or back
    if (progressPace_.isActive() && !kindChanges && percent != 100) {
        pacedPercent_ = percent;
        return;
    }
    pacedPercent_.reset();
    ShowPercent(percent);
}

void TSDIAppForm::ShowPercent(std::optional<int> percent) {
    if (percent) {
        ProgressBar_->setRange(0, 100);
        ProgressBar_->setValue(*percent);
    } else {
        ProgressBar_->setRange(0, 0);
    }
    progressPace_.start();
}

void TSDIAppForm::ResetProgressPace() {
    progressPace_.stop();
    pacedPercent_.reset();
}

void TSDIAppForm::closeEvent(QCloseEvent* event) {
    if (!session_.StopForLeaving()) {
        // Already on the way out: the running wait, or the Exit after the disk question,
        // closes the window when it is done.
        event->ignore();
        return;
    }
    event->accept();
}

bool TSDIAppForm::event(QEvent* event) {
    switch (event->type()) {
        case QEvent::StatusTip:
            ShowHint(static_cast<QStatusTipEvent*>(event)->tip());
            return true;
        case QEvent::KeyRelease: {
            const auto* key = static_cast<QKeyEvent*>(event);
            lastRelease_ = {key->key(), key->timestamp()};
            break;
        }
        case QEvent::ShortcutOverride:
            // Comes to the window, from the focused control, just before the shortcut of the
            // same key press: the one sign there that the press is a held key's repeat.
            shortcutRepeats_ = Repeats(*static_cast<QKeyEvent*>(event));
            break;
        case QEvent::ApplicationFontChange:
            // The window's own font stays as it is, so no FontChange tells of this one.
            QMetaObject::invokeMethod(this, &TSDIAppForm::FollowDesktop, Qt::QueuedConnection);
            break;
        default:
            break;
    }
    return QMainWindow::event(event);
}

void TSDIAppForm::changeEvent(QEvent* event) {
    switch (event->type()) {
        case QEvent::PaletteChange:
        case QEvent::StyleChange:
        case QEvent::FontChange:
            FollowDesktop();
            // Again once every widget has taken the desktop's change for itself, in
            // whatever order they were told.
            QMetaObject::invokeMethod(this, &TSDIAppForm::FollowDesktop, Qt::QueuedConnection);
            break;
        default:
            break;
    }
    QMainWindow::changeEvent(event);
}

void TSDIAppForm::FollowDesktop() {
    if (!followsDesktop_) {
        return;  // still being set up
    }
    FollowPalette();
    // A new desktop font or style drops the tooltips' own; they are windows of their own.
    if (QToolTip::font() != FormFont(11)) {
        QToolTip::setFont(FormFont(11));
    }
}

void TSDIAppForm::FollowClientArea() {
    const QSize size = ui_->ClientArea->size();
    ui_->SpeedPanel->setGeometry(0, 0, size.width(), kSpeedPanelHeight);
    ui_->StatusBar->setGeometry(0, size.height() - kStatusBarHeight, size.width(),
                                kStatusBarHeight);
}

bool TSDIAppForm::Repeats(const QKeyEvent& press) const {
    // A held key repeats as a release and a press of the same moment. The toolkit tells them
    // by looking for the press when it takes the release; a busy window may not have it yet,
    // and both then look like the operator's own.
    // A time of 0 is none at all.
    return press.isAutoRepeat() ||
           (lastRelease_ && lastRelease_->first == press.key() && press.timestamp() != 0 &&
            lastRelease_->second == press.timestamp());
}

bool TSDIAppForm::StartAccessKey() {
    if (ui_->StartBttn->isEnabled()) {
        ui_->StartBttn->click();
        return true;
    }
    return false;
}

bool TSDIAppForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ui_->ClientArea && event->type() == QEvent::Resize) {
        FollowClientArea();
    } else if (event->type() == QEvent::Shortcut) {
        // Alt+S belongs to Start while Start is enabled and to the Settings menu otherwise;
        // the toolkit would call the two an ambiguous pair and press neither.
        const auto* shortcut = static_cast<QShortcutEvent*>(event);
        const bool altS = shortcut->key() == QKeySequence(Qt::ALT | Qt::Key_S);
        // A held key's repeats do nothing: after a short transfer each would find Start
        // enabled again, and during one each would open the Settings menu instead.
        if (shortcutRepeats_ &&
            (watched == ui_->StartBttn || (watched == ui_->SDIAppMenu && altS))) {
            return true;
        }
        if (watched == ui_->StartBttn) {
            if (!StartAccessKey()) {
                ui_->SDIAppMenu->setActiveAction(ui_->S1->menuAction());
            }
            return true;
        }
        if (watched == ui_->SDIAppMenu && altS && StartAccessKey()) {
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void TSDIAppForm::keyPressEvent(QKeyEvent* event) {
    // S alone presses Start where the focused control takes no typing of its own.
    const QWidget* focus = focusWidget();
    const bool plain = (event->modifiers() & ~Qt::ShiftModifier & ~Qt::KeypadModifier) == 0;
    // One press starts at most one transfer, however long the key is held.
    if (event->key() == Qt::Key_S && plain &&
        (focus == ui_->SpeedPanel || focus == ui_->StartBttn) &&
        (Repeats(*event) || StartAccessKey())) {
        event->accept();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

}  // namespace qf580::ui
