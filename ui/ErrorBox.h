// The application's error box: errors that escape an event handler are shown there.
#pragma once

#include <QString>
#include <stdexcept>
#include <string>

namespace qf580::ui {

inline constexpr const char* kApplicationTitle = "KV6200 Flash ROM rewriteing tool";

// An error raised by an event handler for the error box; the message is UTF-8.
class AppError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// "." is appended unless the message is empty or ends with a character whose code is 0x2E
// or lower.
QString WithFinalPeriod(const QString& message);

// The modal box: the application title as caption, an error icon, OK.
void ShowApplicationError(const QString& message);

}  // namespace qf580::ui
