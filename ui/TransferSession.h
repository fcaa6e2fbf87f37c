// The worker's host on the GUI side: one TTrans at a time, whose status texts, disk question
// and end notice reach the GUI thread in the worker's order, and the wait that stops a worker
// while still serving it. The window listens to its signals; it knows nothing of threads.
#pragma once

#include <QObject>
#include <QString>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "attemptlog/AttemptLog.h"
#include "attemptlog/JournalSink.h"

#include "transfer/LinkSettings.h"
#include "transfer/Outcome.h"
#include "transfer/Progress.h"
#include "transfer/TransHost.h"
#include "transfer/Ttrans.h"
#include "transfer/UpdateDisk.h"
#include "ui/LatestProgress.h"

class QWidget;

namespace qf580::ui {

// Lives on the GUI thread and runs one worker at a time; several workers at once would each
// have a session of their own. The TransHost calls come from the worker's thread; everything
// else is called, and every signal emitted, on the GUI thread.
class TransferSession : public QObject, public TransHost {
    Q_OBJECT

  public:
    // `questionParent` owns the disk question's box; null gives a box of its own.
    explicit TransferSession(QWidget* questionParent = nullptr);
    // Stops and waits for a worker that still runs, as StopAndWait.
    ~TransferSession() override;

    // What the next worker is built with (time limits, USB driver); production defaults.
    void SetTransEnvironment(TransEnvironment env) { env_ = std::move(env); }

    // Disposes of the previous worker, waiting for a thread that is still returning, and
    // creates a running one for `file` that reads `settings` until its end. False, with
    // nothing done, while a transfer runs or a wait is in progress. Throws what creating
    // the worker throws; the session then has no worker.
    bool Start(ChosenFile file, const LinkSettings& settings);

    // From Start until the end notice has been delivered.
    bool Running() const { return running_; }
    // The worker of the latest transfer, kept after its end until the next Start or a stop.
    const TTrans* Worker() const { return worker_.get(); }

    // Requests a stop and waits for the worker's end while delivering its texts and keeping
    // its disk question answerable, then disposes of it. At once without a worker, and
    // when a wait is already running further out (that one finishes the job).
    void StopAndWait();

    // For Exit and the close event. True once no worker is left: the caller may go.
    // False when the caller must not go yet: while the disk question is open (a wait inside
    // the box's loop would keep its answer from the worker for ever), the stop is requested,
    // the question is answered Cancel and LeaveRequested follows; while a wait runs further
    // out, its caller goes when it is done.
    bool StopForLeaving();

    // TransHost.
    // While a worker exists: the settings its Start was given.
    const LinkSettings& Settings() const override { return *settings_; }
    void SetStatus(const std::string& text) override;
    bool AskInsertDisk(int diskNo) override;
    void ReportProgress(const TransferProgress& progress) override;
    void TransferEnded(Outcome outcome) override;

  signals:
    // A status text of the worker, in its order.
    void StatusChanged(const QString& text);
    // The worker's latest progress. Reports that come faster than the GUI thread takes them
    // are passed over for the latest; the last one always comes before Ended.
    void ProgressChanged(const qf580::TransferProgress& progress);
    // The worker's end notice, after its outcome's text; Running() is already false.
    void Ended(qf580::Outcome outcome);
    // A leave that StopForLeaving put off while the disk question was open: leave now.
    void LeaveRequested();

  private:
    bool AskOnGuiThread(int diskNo);
    // Each transfer's begin and end entries in the journal, as the command line sends them,
    // so that a service engineer finds later what went into which device.
    void JournalBegin(const ChosenFile& file, const LinkSettings& settings);
    void JournalEnd(Outcome outcome);

    QWidget* const questionParent_;
    TransEnvironment env_;
    const LinkSettings* settings_ = nullptr;  // set by Start, before the worker exists
    bool running_ = false;
    bool waiting_ = false;       // StopAndWait is serving the worker until its end
    int asking_ = 0;             // the disk question is being shown
    bool leavePending_ = false;  // StopForLeaving was put off by the open question
    LatestProgress latestProgress_;
    // Quiet when there is no journal: the window shows nothing of it.
    JournalSink journal_{"qf580-flashtool", {}};
    std::optional<AttemptLog> journalLog_;
    std::optional<AttemptLog::Attempt> attempt_;
    std::chrono::steady_clock::time_point started_;
    StreamCount sent_;  // the worker's latest, on the worker's thread
    // Last, so it goes first: the worker calls this session until its very last step.
    std::unique_ptr<TTrans> worker_;
};

}  // namespace qf580::ui
