#include "WindowLook.h"

#include <QFontDatabase>
#include <QScreen>
#include <QWidget>

// Outside any namespace, as the resource macro requires.
static void InitUiResources() {
    Q_INIT_RESOURCE(resources);
}

namespace qf580::ui {

void LoadUiResources() {
    InitUiResources();
}

QIcon ProgramIcon() {
    LoadUiResources();
    return QIcon(QStringLiteral(":/icons/program.png"));
}

QFont FormFont(int pixelSize) {
    // Metrics close to the original face come first. One family is set, not a list, since
    // style sheets keep only the first of a list; glyphs that face lacks (the Japanese texts)
    // come from the system's fallback, the CJK face.
    static const QString family = [] {
        for (const char* name :
             {"MS Sans Serif", "Liberation Sans", "Arimo", "Nimbus Sans", "DejaVu Sans"}) {
            if (QFontDatabase::hasFamily(QString::fromLatin1(name))) {
                return QString::fromLatin1(name);
            }
        }
        return QString();
    }();
    QFont font;
    if (!family.isEmpty()) {
        font.setFamily(family);
    }
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelSize);
    return font;
}

void CentreOnScreen(QWidget& window) {
    if (const QScreen* screen = window.screen()) {
        QRect frame = window.frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window.move(frame.topLeft());
    }
}

}  // namespace qf580::ui
