#include "ui/ErrorBox.h"

#include "ui/Prompts.h"

namespace qf580::ui {

QString WithFinalPeriod(const QString& message) {
    if (message.isEmpty() || message.back().unicode() <= 0x2E) {
        return message;
    }
    return message + QLatin1Char('.');
}

void ShowApplicationError(const QString& message) {
    Prompts::Error(QApplication::activeWindow(), QString::fromUtf8(kApplicationTitle),
                   WithFinalPeriod(message));
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    // Whatever the handler changed before the error stays changed; the loop goes on.
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        ShowApplicationError(QString::fromUtf8(error.what()));
    } catch (...) {
        ShowApplicationError(QString());
    }
    return false;
}

}  // namespace qf580::ui
