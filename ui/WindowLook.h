// What every window of the program shares in how it looks and where it first appears.
#pragma once

#include <QFont>
#include <QIcon>
#include <QMargins>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

class QWidget;

namespace qf580::ui {

// Registers the pictures compiled into this static library; every window that shows one
// calls it before its form is set up. Registering them by name keeps the linker from
// dropping them.
void LoadUiResources();

// Adds the picture `base` + ".png" to `icon` for `mode`, with its copies drawn for 150 % and
// 200 % ("@1.5x", "@2x"), so that a scaled desktop gets whole pixels rather than a blur.
void AddScaledFiles(QIcon& icon, const QString& base, QIcon::Mode mode);

// The program's own icon, for the windows and the desktop.
QIcon ProgramIcon();

// The windows' font: "MS Sans Serif" where the system has it, else a sans serif of close
// metrics, at a character height of `pixelSize` pixels.
QFont FormFont(int pixelSize);

// Fixes the font that `root` and every widget beneath it has now, in all its properties: the
// desktop's font, changed at run time, then finds nothing left to give them. Widgets under a
// style sheet would otherwise fall back to the desktop's font, as they inherit nothing.
// Call it once the window's fonts are as they should be, before its style sheets.
void PinFonts(QWidget& root);

// Draws the framed groups in and under `area` as the stored layouts do: the caption sits on
// the etched frame line, so the controls' stored positions inside a group keep clear of it.
// Set it after the window's font: a style sheet keeps the font its widgets had then.
void UseFramedGroupStyle(QWidget& area);

// Where the client area of a window of `clientSize` goes so that its frame (the client area
// plus `frame`) is centred on `target`, kept inside `area` as far as it fits.
QPoint CentredClientPos(QSize clientSize, QMargins frame, QRect target, QRect area);

// The first time `window` is shown, its frame is centred over the frame of `over`, or on
// the window's screen when `over` is null. Later showings leave it where it was last.
// Window managers add the frame only once the window is on the screen, so the frame is
// estimated from another window first and the window is put right once its own is known.
void CentreOnFirstShow(QWidget& window, QWidget* over = nullptr);

// Gives the keyboard back to the window that owns `dialog`, once the dialog has closed.
// Window managers pass it on by themselves, but not always when two windows close one
// right after the other, and a window without the keyboard takes no key until clicked.
void ReturnFocusToOwner(const QWidget& dialog);

}  // namespace qf580::ui
