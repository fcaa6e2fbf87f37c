// For screenshots: the settings dialog as the operator sees it from the main window.
// Ends by itself after a minute; never starts a transfer.
#include <QTimer>
#include <QTranslator>

#include "ui/Startup.h"
#include "ui/TApplication.h"
#include "ui/Transsetup.h"

int main(int argc, char** argv) {
    qf580::ui::TApplication app(argc, argv);
    QTranslator qtTexts;
    qf580::ui::SetUpApplication(app, qtTexts);
    qf580::ui::ProgramWindows windows;
    windows.SDIAppForm().show();
    QTimer::singleShot(0, &windows.FM_TransSetup(), [&] { windows.FM_TransSetup().exec(); });
    QTimer::singleShot(60000, &app, &QCoreApplication::quit);
    return app.exec();
}
