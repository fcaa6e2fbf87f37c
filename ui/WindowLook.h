// What every window of the program shares in how it looks and where it first appears.
#pragma once

#include <QFont>
#include <QIcon>

class QWidget;

namespace qf580::ui {

// Registers the pictures compiled into this static library; every window that shows one
// calls it before its form is set up. Registering them by name keeps the linker from
// dropping them.
void LoadUiResources();

// The program's own icon, for the windows and the desktop.
QIcon ProgramIcon();

// The windows' font: "MS Sans Serif" where the system has it, else a sans serif of close
// metrics, at a character height of `pixelSize` pixels.
QFont FormFont(int pixelSize);

// Moves a top-level window so that its frame is centred on its screen.
void CentreOnScreen(QWidget& window);

}  // namespace qf580::ui
