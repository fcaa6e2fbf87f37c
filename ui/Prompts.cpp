#include "Prompts.h"

#include <QFileDialog>
#include <QPushButton>

namespace qf580::ui {

namespace {

Prompts::Responder& CurrentResponder() {
    static Prompts::Responder responder;
    return responder;
}

// The toolkit's own texts are Japanese; set them explicitly so they stay so whatever
// translation is loaded.
int RunBox(QWidget* parent, QMessageBox::Icon icon, const QString& caption, const QString& text,
           bool withCancel) {
    QMessageBox box(icon, caption, text, QMessageBox::NoButton, parent);
    QPushButton* ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    QPushButton* cancel = nullptr;
    if (withCancel) {
        cancel = box.addButton(QStringLiteral("キャンセル"), QMessageBox::RejectRole);
        box.setEscapeButton(cancel);
    } else {
        box.setEscapeButton(ok);
    }
    box.setDefaultButton(ok);
    box.exec();
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

std::optional<QString> Prompts::OpenFile(QFileDialog& dialog) {
    if (auto& responder = CurrentResponder()) {
        std::optional<QString> path =
            responder({PromptRequest::Kind::OpenFile, dialog.windowTitle(), QString()}).path;
        if (path) {
            // Keep what the real dialog would remember for its next showing.
            dialog.selectFile(*path);
        }
        return path;
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return dialog.selectedFiles().constFirst();
}

}  // namespace qf580::ui
