// The program: QF580 Flash ROM rewriting tool. Reads nothing of its own from the command line
// or the environment; the toolkit gets them as usual.
#include <QTranslator>

#include "ui/Startup.h"
#include "ui/TApplication.h"

int main(int argc, char** argv) {
    qf580::ui::TApplication app(argc, argv);
    QTranslator qtTexts;
    qf580::ui::SetUpApplication(app, qtTexts);
    qf580::ui::RunProgram(app);
    return 0;
}
