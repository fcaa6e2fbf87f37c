#include "cli/Reporter.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "cli/Say.h"

namespace qf580::cli {

TransferProgress SumOfProgress(const std::vector<TransferProgress>& devices) {
    // Every device of a run is sent the same set: the totals one of them has counted are
    // every device's, also of one that never got to count its disk 2.
    const auto counted = std::find_if(devices.begin(), devices.end(),
                                      [](const TransferProgress& d) { return d.totals.Known(); });
    TransferProgress sum;
    for (const TransferProgress& device : devices) {
        sum.sent.bytes += device.sent.bytes;
        sum.sent.records += device.sent.records;
    }
    if (counted != devices.end()) {
        const StreamCount each = counted->totals.all;
        const auto n = static_cast<std::uint64_t>(devices.size());
        // One pass stands for all of them: only the whole is shown.
        sum.totals.passCount = 1;
        sum.totals.all = {each.bytes * n, each.records * n};
        sum.totals.passes[0] = sum.totals.all;
    }
    return sum;
}

// The human stream as a FILE for the progress line, whose text gathers in memory until it is
// handed to the writer.
class Reporter::Composer {
  public:
    Composer() {
        const cookie_io_functions_t io{nullptr, &Composer::Write, nullptr, nullptr};
        file_ = ::fopencookie(this, "w", io);
        if (file_ == nullptr) {
            throw std::bad_alloc();
        }
        // Gathered whole up to each flush, so that the text goes out in pieces of lines
        // never.
        std::setvbuf(file_, nullptr, _IOFBF, BUFSIZ);
    }
    Composer(const Composer&) = delete;
    Composer& operator=(const Composer&) = delete;
    ~Composer() { std::fclose(file_); }

    std::FILE* File() const { return file_; }
    std::string Take() {
        std::fflush(file_);
        return std::exchange(text_, {});
    }

  private:
    static ssize_t Write(void* cookie, const char* data, std::size_t size) {
        static_cast<Composer*>(cookie)->text_.append(data, size);
        return static_cast<ssize_t>(size);
    }

    std::FILE* file_ = nullptr;
    std::string text_;
};

Reporter::Reporter(int humanFd, int jsonFd, bool humanIsTerminal)
    : humanFd_(humanFd),
      jsonFd_(jsonFd),
      humanIsTerminal_(humanIsTerminal),
      start_(std::chrono::steady_clock::now()),
      human_(std::make_unique<Composer>()),
      line_(std::in_place, ProgressStyle::Off, human_->File(), 0, std::string(), humanFd) {
    const auto failed = [this](int fd, int error) { WriteFailed(fd, error); };
    humanWriter_ = std::make_unique<OutputWriter>(failed);
    if (jsonFd_ >= 0) {
        jsonWriter_ = std::make_unique<OutputWriter>(failed);
    }
}

Reporter::~Reporter() = default;

double Reporter::Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Reporter::WriteFailed(int fd, int error) {
    outputFailed_.store(true);
    if (fd == STDERR_FILENO || failureSaid_.exchange(true)) {
        return;
    }
    const char* stream = fd == STDOUT_FILENO ? "standard output" : "the output";
    humanWriter_->Put(STDERR_FILENO, std::string("qf580-flash: ") + stream +
                                         " could not be written (" + std::strerror(error) +
                                         "); the record of this run is incomplete\n");
}

void Reporter::Send(bool onlyLatest) {
    std::string text = human_->Take();
    if (text.empty()) {
        return;
    }
    if (onlyLatest) {
        humanWriter_->PutLatest(humanFd_, "progress line", std::move(text));
    } else {
        humanWriter_->Put(humanFd_, std::move(text));
    }
}

void Reporter::WriteAbove(int toFd, const std::string& text) {
    std::FILE* const human = human_->File();
    line_->Clear();
    if (question_) {
        // On a terminal the question's line is drawn again below; anywhere else the
        // question stays where it was, and the line starts on a line of its own.
        std::fputs(humanIsTerminal_ ? kEraseLine : "\n", human);
    }
    if (toFd == humanFd_) {
        std::fputs(text.c_str(), human);
        std::fputc('\n', human);
    } else {
        // Gone from the terminal before the text appears on the other stream.
        Send();
        humanWriter_->Put(toFd, text + "\n");
    }
    if (question_) {
        std::fputs(question_->c_str(), human);
    } else {
        line_->Restore();
    }
    Send();
}

void Reporter::Line(const std::string& text) {
    const std::lock_guard lock(mutex_);
    WriteAbove(humanFd_, text);
}

void Reporter::Notice(const std::string& text) {
    const std::string line = ForPerson(text);
    const std::lock_guard lock(mutex_);
    WriteAbove(STDERR_FILENO, line);
}

void Reporter::Event(const JsonValue& event) {
    if (!jsonWriter_) {
        return;
    }
    std::string line = JsonText(event) + "\n";
    // When nobody reads, a device's progress events give way to its later ones; every other
    // event waits for its turn.
    if (event.value("event", "") == "progress") {
        jsonWriter_->PutLatest(jsonFd_, "progress " + event.value("device", ""), std::move(line));
    } else {
        jsonWriter_->Put(jsonFd_, std::move(line));
    }
}

bool Reporter::Drain(const std::function<bool()>& giveUp) {
    const bool human = humanWriter_->Drain(giveUp);
    const bool json = !jsonWriter_ || jsonWriter_->Drain(giveUp);
    return human && json;
}

void Reporter::ShowProgress(ProgressStyle style, std::size_t devices) {
    const std::lock_guard lock(mutex_);
    // With several devices the line says so: its figures are theirs together.
    line_.emplace(style, human_->File(), 0, devices > 1 ? std::to_string(devices) + " devices" : "",
                  humanFd_);
    latest_.assign(devices, TransferProgress{});
    lineShown_.store(style != ProgressStyle::Off);
}

void Reporter::Progress(std::size_t device, const TransferProgress& progress) {
    // Without a line nothing is shown: the workers' reports need not meet at the lock, which
    // every device would otherwise take at each acknowledgement.
    if (!lineShown_.load()) {
        return;
    }
    const std::lock_guard lock(mutex_);
    if (device >= latest_.size()) {
        return;
    }
    latest_[device] = progress;
    const TransferProgress shown = latest_.size() == 1 ? progress : SumOfProgress(latest_);
    // An open question keeps the terminal's last line; the line comes back once answered,
    // with what was reported meanwhile.
    if (question_) {
        line_->Keep(shown, ProgressLine::Clock::now());
    } else {
        line_->Update(shown, ProgressLine::Clock::now());
    }
    Send(true);
}

void Reporter::FinishProgress() {
    const std::lock_guard lock(mutex_);
    line_->Finish();
    Send();
}

void Reporter::OpenQuestion(const std::string& question) {
    const std::lock_guard lock(mutex_);
    line_->Clear();
    question_ = question;
    std::fputs(question.c_str(), human_->File());
    Send();
}

void Reporter::CloseQuestion(bool endLine) {
    const std::lock_guard lock(mutex_);
    if (endLine) {
        std::fputc('\n', human_->File());
    }
    question_.reset();
    line_->Restore();
    Send();
}

}  // namespace qf580::cli
