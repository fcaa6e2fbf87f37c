#include "cli/Reporter.h"

#include <algorithm>

namespace qf580::cli {

namespace {

constexpr const char* kEraseLine = "\r\x1b[K";

}  // namespace

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

Reporter::Reporter(std::FILE* human, std::FILE* json, bool humanIsTerminal)
    : human_(human),
      json_(json),
      humanIsTerminal_(humanIsTerminal),
      start_(std::chrono::steady_clock::now()),
      line_(std::in_place, ProgressStyle::Off, human) {}

double Reporter::Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Reporter::WriteAbove(std::FILE* to, const std::string& text) {
    line_->Clear();
    if (question_) {
        // On a terminal the question's line is drawn again below; anywhere else the
        // question stays where it was, and the line starts on a line of its own.
        std::fputs(humanIsTerminal_ ? kEraseLine : "\n", human_);
    }
    if (to != human_) {
        std::fflush(human_);  // gone from the terminal before the text appears on the other
    }
    // A reader that has gone away is no reason to stop the transfers: the write just fails.
    const std::string whole = text + "\n";
    std::fwrite(whole.data(), 1, whole.size(), to);
    if (to != human_) {
        std::fflush(to);
    }
    if (question_) {
        std::fputs(question_->c_str(), human_);
    } else {
        line_->Restore();
    }
    std::fflush(human_);
}

void Reporter::Line(const std::string& text) {
    const std::lock_guard lock(mutex_);
    WriteAbove(human_, text);
}

void Reporter::Notice(const std::string& text) {
    const std::lock_guard lock(mutex_);
    WriteAbove(stderr, text);
}

void Reporter::Event(const std::string& object) {
    if (json_ == nullptr) {
        return;
    }
    const std::string line = object + "\n";
    const std::lock_guard lock(mutex_);
    std::fwrite(line.data(), 1, line.size(), json_);
    std::fflush(json_);
}

void Reporter::ShowProgress(ProgressStyle style, std::size_t devices) {
    const std::lock_guard lock(mutex_);
    // With several devices the line says so: its figures are theirs together.
    line_.emplace(style, human_, 0, devices > 1 ? std::to_string(devices) + " devices" : "");
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
}

void Reporter::FinishProgress() {
    const std::lock_guard lock(mutex_);
    line_->Finish();
}

void Reporter::OpenQuestion(const std::string& question) {
    const std::lock_guard lock(mutex_);
    line_->Clear();
    question_ = question;
    std::fputs(question.c_str(), human_);
    std::fflush(human_);
}

void Reporter::CloseQuestion(bool endLine) {
    const std::lock_guard lock(mutex_);
    if (endLine) {
        std::fputc('\n', human_);
    }
    question_.reset();
    line_->Restore();
    std::fflush(human_);
}

}  // namespace qf580::cli
