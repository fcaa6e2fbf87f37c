// qf580-bench-window: one transfer through the program's own windows, for the benchmark's
// GUI row. It builds the windows as the program does, opens the set through File > Open's
// handler (the file dialog answered in place of the operator), points the link at 127.0.0.1,
// presses Start and follows the status line until the worker's end notice has been applied.
// The window is shown, so every status text really reaches the label.
//
// Usage: qf580-bench-window --port N [--times FILE] SET   (QT_QPA_PLATFORM=offscreen)
// --times writes "WALL CPU" in seconds from Start to the applied end notice: the transfer
// without the toolkit's start-up. Exit code 0 when the status line ends "Transfer completed".
#include <sys/resource.h>

#include <QString>
#include <QTimer>
#include <QTranslator>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ui/Prompts.h"
#include "ui/Startup.h"
#include "ui/TApplication.h"

namespace {

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](timeval t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
    qf580::ui::TApplication app(argc, argv);
    QTranslator qtTexts;
    qf580::ui::SetUpApplication(app, qtTexts);

    int port = 0;
    std::string times;
    QString set;
    const QStringList args = QApplication::arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--port") && i + 1 < args.size()) {
            port = args[++i].toInt();
        } else if (args[i] == QLatin1String("--times") && i + 1 < args.size()) {
            times = args[++i].toStdString();
        } else if (set.isEmpty() && !args[i].startsWith(QLatin1Char('-'))) {
            set = args[i];
        } else {
            port = 0;
            break;
        }
    }
    if (set.isEmpty() || port <= 0 || port > 65535) {
        std::fputs("usage: qf580-bench-window --port N [--times FILE] SET\n", stderr);
        return 2;
    }

    qf580::ui::Prompts::SetResponder([&set](const qf580::ui::PromptRequest& request) {
        qf580::ui::PromptAnswer answer;
        answer.path = set;
        answer.ok = false;  // no disk question is expected: a one-disk set
        if (request.kind != qf580::ui::PromptRequest::Kind::OpenFile) {
            std::fprintf(stderr, "qf580-bench-window: unexpected box: %s\n",
                         request.text.toUtf8().constData());
        }
        return answer;
    });

    qf580::ui::ProgramWindows windows;
    qf580::ui::TSDIAppForm& form = windows.SDIAppForm();
    qf580::LinkSettingsValues values = windows.FM_TransSetup().Settings().Get();
    values.UseUSB = 0;
    values.IPAddress = "127.0.0.1";
    values.PortNo = static_cast<std::uint32_t>(port);
    windows.FM_TransSetup().Settings().Set(values);
    form.show();
    form.OpenItemClick();

    QString last;
    QObject::connect(&form, &qf580::ui::TSDIAppForm::StatusShown,
                     [&last](const QString& text) { last = text; });
    QObject::connect(&form.Session(), &qf580::ui::TransferSession::Ended, &app, &QApplication::quit,
                     Qt::QueuedConnection);

    std::chrono::steady_clock::time_point start;
    double cpuStart = 0;
    QTimer::singleShot(0, &form, [&] {
        start = std::chrono::steady_clock::now();
        cpuStart = CpuSeconds();
        form.StartBttnClick();
    });
    app.exec();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuStart;

    const bool completed = last == QLatin1String("Transfer completed");
    if (!completed) {
        std::fprintf(stderr, "qf580-bench-window: %s\n", last.toUtf8().constData());
    } else if (!times.empty()) {
        if (std::FILE* f = std::fopen(times.c_str(), "w")) {
            std::fprintf(f, "%.6f %.6f\n", wall, cpu);
            std::fclose(f);
        }
    }
    return completed ? 0 : 1;
}
