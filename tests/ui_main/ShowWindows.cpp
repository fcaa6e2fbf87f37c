// For screenshots: the program's windows as the operator sees them after opening a file,
// without the file dialog.
// Usage: ui_main_show FILE [about | disk | transfer PORT] ; ends by itself after a minute.
//   about:    the About box over the main window
//   disk:     the box that asks for the second disk, as a two-disk transfer would put it
//   transfer: a transfer to the simulator on 127.0.0.1 PORT (the only address it will use),
//             with a hint in the status bar, to be taken in the middle
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QTranslator>

#include "ui/Prompts.h"
#include "ui/Startup.h"
#include "ui/TApplication.h"
#include "ui/Transsetup.h"

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
    if (extra == QLatin1String("transfer") && args.size() > 3) {
        // Typed into the settings dialog and taken with its OK, as an operator would, so that
        // the link summary shows the link in use.
        qf580::ui::TFM_TransSetup& setup = windows.FM_TransSetup();
        QTimer::singleShot(100, &setup, [&setup, port = args.at(3)] {
            setup.findChild<QRadioButton*>(QStringLiteral("RB_TCPIP"))->click();
            setup.findChild<QLineEdit*>(QStringLiteral("ED_IP_ADR"))
                ->setText(QStringLiteral("127.0.0.1"));
            setup.findChild<QLineEdit*>(QStringLiteral("ED_PORT"))->setText(port);
            setup.findChild<QPushButton*>(QStringLiteral("BT_OK"))->click();
        });
        windows.SDIAppForm().TransSetupClick();
        const qf580::LinkSettingsValues link = setup.Settings().Get();
        if (link.UseUSB != 0 || link.IPAddress != "127.0.0.1") {
            return 2;  // never a transfer to any other device
        }
        QTimer::singleShot(500, &windows.SDIAppForm(), [&] {
            windows.SDIAppForm().StartBttnClick();
            windows.SDIAppForm().ShowHint(QStringLiteral("既存のﾌｧｲﾙを開く"));
        });
    }
    QTimer::singleShot(60000, &app, &QCoreApplication::quit);
    return app.exec();
}
