#include "ui/ErrorBox.h"

#include <QApplication>

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

}  // namespace qf580::ui
