#include "ui/TApplication.h"

#include <exception>

#include "ui/ErrorBox.h"

namespace qf580::ui {

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
