// The application object, whose event loop catches errors that escape an event handler,
// shows them in the application's error box and goes on.
#pragma once

#include <QApplication>

namespace qf580::ui {

class TApplication : public QApplication {
  public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace qf580::ui
