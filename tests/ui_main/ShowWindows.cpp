// For screenshots: the program's windows as the operator sees them after opening a file,
// without the file dialog and without ever starting a transfer.
// Usage: ui_main_show FILE [about | disk] ; ends by itself after a minute.
//   about: the About box over the main window
//   disk:  the box that asks for the second disk, as a two-disk transfer would put it
#include <QTimer>
#include <QTranslator>

#include "ErrorBox.h"
#include "Prompts.h"
#include "Startup.h"

int main(int argc, char** argv) {
    qf580::ui::TApplication app(argc, argv);
    QTranslator qtTexts;
    qf580::ui::SetUpApplication(app, qtTexts);
    const QStringList args = QCoreApplication::arguments();
    qf580::ui::ProgramWindows windows;
    windows.SDIAppForm().show();
    if (args.size() > 1) {
        const QString file = args.at(1);
        qf580::ui::Prompts::SetResponder([file](const qf580::ui::PromptRequest&) {
            qf580::ui::PromptAnswer answer;
            answer.path = file;
            return answer;
        });
        windows.SDIAppForm().OpenItemClick();
        qf580::ui::Prompts::SetResponder({});
    }
    const QString extra = args.size() > 2 ? args.at(2) : QString();
    if (extra == QLatin1String("about")) {
        QTimer::singleShot(0, &windows.AboutBox(), [&] { windows.SDIAppForm().About1Click(); });
    } else if (extra == QLatin1String("disk")) {
        QTimer::singleShot(0, &windows.SDIAppForm(), [&] {
            qf580::ui::Prompts::InformationOkCancel(&windows.SDIAppForm(), QStringLiteral("情報"),
                                                    QStringLiteral("Insert Disk 2"));
        });
    }
    QTimer::singleShot(60000, &app, &QCoreApplication::quit);
    return app.exec();
}
