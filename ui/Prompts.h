// Every modal box and the file-open dialog go through here, so a test can answer them in
// place of the operator and no test ever waits in a modal loop.
#pragma once

#include <QMessageBox>
#include <QString>
#include <functional>
#include <optional>

class QFileDialog;
class QWidget;

namespace qf580::ui {

struct PromptRequest {
    enum class Kind { Error, OkCancel, OpenFile };
    Kind kind = Kind::Error;
    QString caption;
    QString text;
};

// What a responder gives back: for OkCancel, true = OK; for OpenFile, the chosen path or
// nullopt for Cancel. Error boxes ignore the answer.
struct PromptAnswer {
    bool ok = true;
    std::optional<QString> path;
};

class Prompts {
  public:
    using Responder = std::function<PromptAnswer(const PromptRequest&)>;

    // A modal box with an error icon and the single button "OK".
    static void Error(QWidget* parent, const QString& caption, const QString& text);
    // A box with an information icon and the buttons "OK" and "キャンセル", waited for in a
    // loop of its own. True for OK; Cancel and closing by the title bar give false. It stays
    // above `parent` but leaves it usable, so that a close or an Exit there can still reach
    // the program while the question waits (see CancelQuestions).
    static bool InformationOkCancel(QWidget* parent, const QString& caption, const QString& text);
    // Answers every box of InformationOkCancel that is showing with Cancel.
    static void CancelQuestions();

    // Shows the file-open dialog; the chosen path, or nullopt when cancelled. The next
    // showing starts from the chosen file's folder and name.
    static std::optional<QString> OpenFile(QFileDialog& dialog);

    // Tests: answer every prompt with `responder` instead of showing it (called on the GUI
    // thread where the box would have been shown; it may run an event loop of its own).
    // An empty responder restores the real boxes.
    static void SetResponder(Responder responder);
};

}  // namespace qf580::ui
