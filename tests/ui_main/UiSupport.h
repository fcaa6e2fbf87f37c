// What the main window's tests share: answering the modal boxes, finding controls, update
// files on disk and waiting for the event loop.
#pragma once

#include <gtest/gtest.h>

#include "tests/support/StatusTexts.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitUntil.h"

#include <stdlib.h>

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "transfer/LinkSettings.h"
#include "transfer/Ttrans.h"
#include "ui/Prompts.h"
#include "ui/SDIMain.h"

// Readable failure messages.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace qf580::test {

// A window's worker pointed at a device simulated on this machine, never at the device's own
// address, keeping the rest of `values` (fast transfer and the like).
inline LinkSettingsValues AtLoopback(LinkSettingsValues values, std::uint16_t port) {
    values.UseUSB = 0;
    values.IPAddress = "127.0.0.1";
    values.PortNo = port;
    return values;
}

// Limits short enough that a transfer that goes wrong ends in seconds, long enough for a
// loaded machine running the window's tests in parallel.
inline TransEnvironment WindowTestLimits() {
    TransEnvironment env;
    env.timeouts = LinkTimeouts{2000, 2000, 500};
    return env;
}

// Answers every prompt in place of the operator while it lives: the queued file choices
// (nullopt = Cancel), `onQuestion` for OK/Cancel boxes (an unexpected question fails the
// test and gets Cancel, so a disk prompt can't repeat forever); records each request.
class Operator {
  public:
    Operator() {
        ui::Prompts::SetResponder([this](const ui::PromptRequest& r) { return Answer(r); });
    }
    Operator(const Operator&) = delete;
    Operator& operator=(const Operator&) = delete;
    ~Operator() { ui::Prompts::SetResponder({}); }

    std::deque<std::optional<QString>> files;
    std::function<bool(const ui::PromptRequest&)> onQuestion;
    std::vector<ui::PromptRequest> requests;

    int Count(ui::PromptRequest::Kind kind) const {
        int n = 0;
        for (const auto& r : requests) {
            n += r.kind == kind ? 1 : 0;
        }
        return n;
    }

  private:
    ui::PromptAnswer Answer(const ui::PromptRequest& r) {
        requests.push_back(r);
        ui::PromptAnswer answer;
        if (r.kind == ui::PromptRequest::Kind::OpenFile) {
            EXPECT_FALSE(files.empty()) << "unexpected file-open dialog";
            if (!files.empty()) {
                answer.path = files.front();
                files.pop_front();
            }
        } else if (r.kind == ui::PromptRequest::Kind::OkCancel) {
            if (onQuestion) {
                answer.ok = onQuestion(r);
            } else {
                ADD_FAILURE() << "unexpected question: " << r.text.toStdString();
                answer.ok = false;
            }
        }
        return answer;
    }
};

template <typename T = QWidget>
T* Find(const QObject& root, const char* name) {
    T* found = root.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
}

// The preview's lines, one per paragraph.
inline QStringList MemoLines(const QWidget& form) {
    const auto* memo = form.findChild<const QPlainTextEdit*>(QStringLiteral("HeaderMemo"));
    return memo ? memo->toPlainText().split(QLatin1Char('\n')) : QStringList();
}

inline QStringList ToQt(const Statuses& texts) {
    QStringList list;
    for (const std::string& text : texts) {
        list << QString::fromStdString(text);
    }
    return list;
}

// The step of a wait on the GUI thread: what the test waits for comes through the event loop
// (the worker's queued changes, a dialog's showing, a deferred delete), so run it; then sleep
// a little, as QTest::qWaitFor does, so that the wait leaves the worker a core.
inline bool RunEvents(std::chrono::milliseconds left) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, static_cast<int>(left.count()));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QTest::qSleep(static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), 10)));
    return true;
}

// Runs the event loop until `done` holds or `ms` have passed. A wait in these tests without
// the event loop would never see the worker's changes: use this one, not the plain one.
inline bool WaitUntil(const std::function<bool()>& done, int ms = 5000) {
    return WaitUntil(done, std::chrono::milliseconds(ms), RunEvents);
}

// Shows the window and makes it the active one, so key presses and shortcuts reach it.
inline void ShowActive(QWidget& window) {
    window.show();
    window.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
}

}  // namespace qf580::test
