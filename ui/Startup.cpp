#include "ui/Startup.h"

#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QToolTip>

#include "ui/ErrorBox.h"
#include "ui/WindowLook.h"

namespace qf580::ui {

void SetUpApplication(QApplication& app, QTranslator& qtTexts) {
    QApplication::setApplicationName(QString::fromUtf8(kApplicationTitle));
    QApplication::setDesktopFileName(QString::fromUtf8(kDesktopFileName));
    // The standard dialogs (file-open dialog, message box buttons) speak Japanese in this
    // tool whatever the desktop's language, sizes, dates and file types included.
    const QLocale japanese(QLocale::Japanese, QLocale::Japan);
    if (qtTexts.load(japanese, QStringLiteral("qtbase"), QStringLiteral("_"),
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QApplication::installTranslator(&qtTexts);
    }
    QLocale::setDefault(japanese);
    // Tooltips are windows of their own and would take the desktop's font.
    QToolTip::setFont(FormFont(11));
    app.setWindowIcon(ProgramIcon());
}

ProgramWindows::ProgramWindows() : SDIAppForm_(std::make_unique<TSDIAppForm>()) {
    AboutBox_ = new TAboutBox(SDIAppForm_.get());
    AboutBox_->setObjectName(QStringLiteral("AboutBox"));
    FM_TransSetup_ = new TFM_TransSetup(SDIAppForm_.get());
    FM_TransSetup_->setObjectName(QStringLiteral("FM_TransSetup"));
    SDIAppForm_->SetDialogs(AboutBox_, FM_TransSetup_);
}

ProgramWindows::~ProgramWindows() {
    SDIAppForm_->Session().StopAndWait();
}

int RunProgram(QApplication& app) {
    ProgramWindows windows;
    windows.SDIAppForm().show();
    app.exec();
    return 0;
}

}  // namespace qf580::ui
