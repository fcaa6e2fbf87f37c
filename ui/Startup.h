// Start-up and the orderly end: the application's title and texts, the program's three
// windows in their order, and the stop of a running worker before any of them goes away.
#pragma once

#include <QApplication>
#include <QTranslator>
#include <memory>

#include "ui/About.h"
#include "ui/SDIMain.h"
#include "ui/Transsetup.h"

namespace qf580::ui {

inline constexpr const char* kDesktopFileName = "qf580-flashtool";

// The application title (the name the desktop lists the program under), its icon and
// desktop entry, and Qt's own Japanese texts through `qtTexts`, which must outlive `app`'s
// use, with the Japanese locale for the toolkit's sizes, dates and file types; tooltips in
// the windows' font. Sets no display name: the toolkit would append it to every window
// caption.
void SetUpApplication(QApplication& app, QTranslator& qtTexts);

// SDIAppForm, AboutBox and FM_TransSetup, created in this order; the dialogs hidden and
// owned by the main window. All three live as long as this object.
class ProgramWindows {
  public:
    ProgramWindows();
    ProgramWindows(const ProgramWindows&) = delete;
    ProgramWindows& operator=(const ProgramWindows&) = delete;
    // Stops and waits for a worker that still runs before any window is destroyed.
    ~ProgramWindows();

    TSDIAppForm& SDIAppForm() const { return *SDIAppForm_; }
    TAboutBox& AboutBox() const { return *AboutBox_; }
    TFM_TransSetup& FM_TransSetup() const { return *FM_TransSetup_; }

  private:
    std::unique_ptr<TSDIAppForm> SDIAppForm_;
    TAboutBox* AboutBox_ = nullptr;            // child of SDIAppForm_
    TFM_TransSetup* FM_TransSetup_ = nullptr;  // child of SDIAppForm_
};

// Shows the main window, runs the event loop until it closes, ends in order. Always 0.
int RunProgram(QApplication& app);

}  // namespace qf580::ui
