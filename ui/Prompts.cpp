#include "ui/Prompts.h"

#include <QApplication>
#include <QEventLoop>
#include <QFileDialog>
#include <QFontMetrics>
#include <QLayout>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <algorithm>
#include <vector>

#include "ui/OpenDialog.h"
#include "ui/WindowLook.h"

namespace qf580::ui {

namespace {

Prompts::Responder& CurrentResponder() {
    static Prompts::Responder responder;
    return responder;
}

// The OK/Cancel boxes showing now, innermost last.
std::vector<QPointer<QMessageBox>>& OpenQuestions() {
    static std::vector<QPointer<QMessageBox>> boxes;
    return boxes;
}

// How wide a box must be for the window manager to show its whole caption: the caption
// in a bold face of the desktop's size, as title bars draw it, and room for the title
// bar's icon and buttons.
int CaptionWidth(const QWidget& box, const QString& caption) {
    QFont titleFont = QApplication::font("QMdiSubWindowTitleBar");
    titleFont.setBold(true);
    const int furniture = 4 * box.style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, &box);
    int width = QFontMetrics(titleFont).horizontalAdvance(caption) + furniture;
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
        // Where the compositor leaves the frame to the program, the toolkit draws it: the
        // caption at 14 pixels, centred on the whole width, cut short of the three buttons'
        // 77 pixels at the right; so as much again on the left.
        constexpr int kTitlePixels = 14;
        constexpr int kButtonsWidth = 77;
        QFont drawn = QApplication::font();
        drawn.setPixelSize(kTitlePixels);
        width = std::max(width, QFontMetrics(drawn).horizontalAdvance(caption) + 2 * kButtonsWidth);
    }
    return width;
}

// The toolkit's own texts are Japanese; set them explicitly so they stay so whatever
// translation is loaded.
int RunBox(QWidget* parent, QMessageBox::Icon icon, const QString& caption, const QString& text,
           bool withCancel) {
    QMessageBox box(icon, caption, text, QMessageBox::NoButton, parent);
    // A box is a window of its own and would take the desktop's font, not the windows'.
    box.setFont(FormFont(11));
    QPushButton* ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    QPushButton* cancel = nullptr;
    if (withCancel) {
        cancel = box.addButton(QStringLiteral("キャンセル"), QMessageBox::RejectRole);
        box.setEscapeButton(cancel);
    } else {
        box.setEscapeButton(ok);
    }
    box.setDefaultButton(ok);

    // One size for every button: the Japanese caption comes from a face with taller lines
    // and would make its button stand out.
    box.ensurePolished();
    QSize buttonSize;
    for (QAbstractButton* button : box.buttons()) {
        buttonSize = buttonSize.expandedTo(button->sizeHint());
    }
    for (QAbstractButton* button : box.buttons()) {
        button->setFixedSize(buttonSize);
    }
    // The box sizes itself to the widest of its rows; the buttons' row spans the box.
    if (QWidget* buttonRow = ok->parentWidget(); buttonRow && box.layout()) {
        const QMargins margins = box.layout()->contentsMargins();
        buttonRow->setMinimumWidth(
            std::max(buttonRow->minimumSizeHint().width(),
                     CaptionWidth(box, caption) - margins.left() - margins.right()));
    }

    if (!withCancel) {
        box.exec();
        return box.clickedButton() == ok ? 1 : 0;
    }
    // A modal box would block the parent entirely: a close of the main window would be
    // dropped by the toolkit, and neither its menu nor Alt+X would reach it.
    OpenQuestions().emplace_back(&box);
    struct Forget {
        ~Forget() { OpenQuestions().pop_back(); }
    } forget;
    box.setWindowModality(Qt::NonModal);  // a message box is modal from its creation
    QEventLoop loop;
    QObject::connect(&box, &QDialog::finished, &loop, &QEventLoop::quit);
    box.show();
    loop.exec(QEventLoop::DialogExec);
    return box.clickedButton() == ok ? 1 : 0;
}

}  // namespace

void Prompts::SetResponder(Responder responder) {
    CurrentResponder() = std::move(responder);
}

void Prompts::Error(QWidget* parent, const QString& caption, const QString& text) {
    if (auto& responder = CurrentResponder()) {
        responder({PromptRequest::Kind::Error, caption, text});
        return;
    }
    RunBox(parent, QMessageBox::Critical, caption, text, false);
}

bool Prompts::InformationOkCancel(QWidget* parent, const QString& caption, const QString& text) {
    if (auto& responder = CurrentResponder()) {
        return responder({PromptRequest::Kind::OkCancel, caption, text}).ok;
    }
    return RunBox(parent, QMessageBox::Information, caption, text, true) == 1;
}

void Prompts::CancelQuestions() {
    for (const QPointer<QMessageBox>& box : OpenQuestions()) {
        if (box) {
            box->reject();
        }
    }
}

std::optional<QString> Prompts::OpenFile(QFileDialog& dialog) {
    std::optional<QString> path;
    if (auto& responder = CurrentResponder()) {
        path = responder({PromptRequest::Kind::OpenFile, dialog.windowTitle(), QString()}).path;
    } else {
        path = ShowOpenDialog(dialog);
    }
    if (path) {
        StartNextShowingAt(dialog, *path);
    }
    return path;
}

}  // namespace qf580::ui
