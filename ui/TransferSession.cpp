#include "ui/TransferSession.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>

#include "attemptlog/OutcomeCode.h"
#include "ui/Prompts.h"

namespace qf580::ui {

TransferSession::TransferSession(QWidget* questionParent) : questionParent_(questionParent) {}

TransferSession::~TransferSession() {
    StopAndWait();
}

bool TransferSession::Start(ChosenFile file, const LinkSettings& settings) {
    if (running_ || waiting_) {
        return false;
    }
    // The previous worker has delivered its end notice, so this join does not wait on us,
    // only on a thread that has not quite returned.
    worker_.reset();
    settings_ = &settings;
    running_ = true;
    JournalBegin(file, settings);
    try {
        worker_ = std::make_unique<TTrans>(*this, std::move(file), env_);
    } catch (...) {
        // No worker will ever send the end notice.
        running_ = false;
        attempt_.reset();
        throw;
    }
    return true;
}

void TransferSession::StopAndWait() {
    if (!worker_ || waiting_) {
        return;
    }
    worker_->Terminate();
    // The end notice is the worker's last queued call; until it has been delivered the worker
    // may still need us for its status texts or its disk question, so a plain join could wait
    // for ever. processEvents, unlike exec, also serves a loop that the application was
    // already told to leave.
    waiting_ = true;
    QEventLoop loop;
    for (;;) {
        // A wait that runs inside the delivery of a queued call (the Exit put off by the disk
        // question is one) is not woken by calls that were queued before it began: deliver
        // ours first, then sleep only until the worker queues something new.
        QCoreApplication::sendPostedEvents(this);
        if (!running_) {
            break;
        }
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    }
    waiting_ = false;
    worker_->WaitFor();
    worker_.reset();
}

bool TransferSession::StopForLeaving() {
    if (waiting_) {
        return false;
    }
    if (asking_ > 0) {
        leavePending_ = true;
        if (worker_) {
            worker_->Terminate();
        }
        Prompts::CancelQuestions();
        return false;
    }
    StopAndWait();
    return true;
}

void TransferSession::SetStatus(const std::string& text) {
    QMetaObject::invokeMethod(
        this, [this, text = QString::fromStdString(text)] { emit StatusChanged(text); },
        Qt::QueuedConnection);
}

bool TransferSession::AskInsertDisk(int diskNo) {
    if (QThread::currentThread() == thread()) {
        // A blocking queued call to our own thread would never return.
        return AskOnGuiThread(diskNo);
    }
    bool ok = false;
    QMetaObject::invokeMethod(
        this, [this, diskNo, &ok] { ok = AskOnGuiThread(diskNo); }, Qt::BlockingQueuedConnection);
    return ok;
}

bool TransferSession::AskOnGuiThread(int diskNo) {
    struct Showing {
        int& count;
        explicit Showing(int& c) : count(c) { ++count; }
        ~Showing() { --count; }
    } showing(asking_);
    const bool ok = Prompts::InformationOkCancel(questionParent_, QStringLiteral("情報"),
                                                 QStringLiteral("Insert Disk %1").arg(diskNo));
    // The operator who asked to leave while the question was open has answered it: Cancel,
    // whatever the box says, so that no further disk is asked for on the way out.
    const bool leaving = leavePending_;
    if (leavePending_ && asking_ == 1) {
        // The leave that came while the box was open goes on once the worker has its answer.
        leavePending_ = false;
        QMetaObject::invokeMethod(
            this, [this] { emit LeaveRequested(); }, Qt::QueuedConnection);
    }
    return ok && !leaving;
}

void TransferSession::ReportProgress(const TransferProgress& progress) {
    sent_ = progress.sent;
    if (latestProgress_.Put(progress)) {
        QMetaObject::invokeMethod(
            this, [this] { emit ProgressChanged(latestProgress_.Take()); }, Qt::QueuedConnection);
    }
}

void TransferSession::TransferEnded(Outcome outcome) {
    JournalEnd(outcome);
    QMetaObject::invokeMethod(
        this,
        [this, outcome] {
            running_ = false;
            emit Ended(outcome);
        },
        Qt::QueuedConnection);
}

void TransferSession::JournalBegin(const ChosenFile& file, const LinkSettings& settings) {
    AttemptContext context;
    context.host = HostName();
    context.station = context.host;
    context.toolName = "qf580-flashtool";
    context.version = QF580_VERSION;
    // The folder keeps its slash: together they are the path as the operator chose it.
    context.file = file.dir + file.name;
    const std::string device = settings.UseUSB() != 0
                                   ? std::string("USB")
                                   : settings.IPAddress() + ":" + std::to_string(settings.PortNo());
    journalLog_.emplace(nullptr, &journal_, std::move(context), nullptr);
    attempt_ = journalLog_->Begin(device, std::nullopt);
    started_ = std::chrono::steady_clock::now();
    sent_ = {};
}

void TransferSession::JournalEnd(Outcome outcome) {
    if (!attempt_) {
        return;
    }
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - started_;
    journalLog_->End(*attempt_, outcome, OutcomeCode(outcome), sent_, seconds.count(), {});
    attempt_.reset();
}

}  // namespace qf580::ui
