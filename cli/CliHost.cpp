#include "CliHost.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "Eintr.h"
#include "Poll.h"

#include "UpdateDisk.h"

namespace qf580::cli {

ParsedAnswer ParseAnswer(std::string line) {
    auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    line.erase(line.begin(), std::find_if_not(line.begin(), line.end(), blank));
    line.erase(std::find_if_not(line.rbegin(), line.rend(), blank).base(), line.end());
    std::transform(line.begin(), line.end(), line.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (line.empty() || line == "ok" || line == "y" || line == "yes") {
        return ParsedAnswer::Ok;
    }
    if (line == "cancel" || line == "c" || line == "n" || line == "no") {
        return ParsedAnswer::Cancel;
    }
    return ParsedAnswer::Unknown;
}

std::string CheckUpdateFile(const std::string& path) {
    DiskFile file;
    std::string why;
    if (file.Open(path, &why)) {
        return {};
    }
    return "cannot open " + path + ": " + why;
}

CliHost::CliHost(DiskAnswer answer, std::FILE* out, int answerFd, int wakeFd)
    : answer_(answer), out_(out), answerFd_(answerFd), wakeFd_(wakeFd) {}

void CliHost::WriteAboveProgress(std::FILE* to, const std::string& text) {
    std::lock_guard lock(outMutex_);
    progress_->Clear();
    if (to != out_) {
        std::fflush(out_);  // the line is gone before the text appears on the other stream
    }
    std::fputs(text.c_str(), to);
    std::fputc('\n', to);
    if (to != out_) {
        std::fflush(to);
    }
    if (!questionOpen_) {
        progress_->Restore();
    }
    std::fflush(out_);
}

void CliHost::WriteLine(const std::string& text) {
    WriteAboveProgress(out_, text);
}

void CliHost::Notice(const std::string& text) {
    WriteAboveProgress(stderr, text);
}

void CliHost::ReportProgress(const TransferProgress& progress) {
    std::lock_guard lock(outMutex_);
    progress_->Update(progress, ProgressLine::Clock::now());
}

void CliHost::SetStatus(const std::string& text) {
    WriteLine(text);
}

void CliHost::TransferEnded(Outcome outcome) {
    {
        std::lock_guard lock(outMutex_);
        progress_->Finish();
    }
    outcome_.store(outcome);
    ended_.store(true);
}

std::optional<Outcome> CliHost::EndedWith() const {
    if (!ended_.load()) {
        return std::nullopt;
    }
    return outcome_.load();
}

bool CliHost::WaitOrInterrupted(int ms) {
    posix::WaitFor(-1, 0, wakeFd_, ms);
    return interrupted_.load();
}

ParsedAnswer CliHost::ReadAnswer(bool& lineEnded) {
    lineEnded = false;
    std::string line;
    for (;;) {
        const posix::Waited waited =
            posix::WaitFor(answerFd_, POLLIN, wakeFd_, posix::Deadline::Never());
        if (waited == posix::Waited::Failed || interrupted_.load()) {
            return ParsedAnswer::Cancel;
        }
        if (waited != posix::Waited::Ready) {
            continue;
        }
        char c = 0;
        const ssize_t n = posix::RetryOnEintr([&] { return ::read(answerFd_, &c, 1); });
        if (n <= 0) {
            return ParsedAnswer::Cancel;  // end of input: nobody is there to insert a disk
        }
        if (c == '\n') {
            lineEnded = true;
            return ParseAnswer(line);
        }
        line.push_back(c);
    }
}

bool CliHost::AskInsertDisk(int diskNo) {
    const std::string question = "Insert Disk " + std::to_string(diskNo) + " [OK/cancel]: ";
    timesAsked_ = diskNo == lastAskedDisk_ ? timesAsked_ + 1 : 1;
    lastAskedDisk_ = diskNo;

    if (interrupted_.load()) {
        WriteLine(question + "cancel (stop requested)");
        return false;
    }
    switch (answer_) {
        case DiskAnswer::Cancel:
            WriteLine(question + "cancel");
            return false;
        case DiskAnswer::Ok:
            if (timesAsked_ > kOkTries) {
                WriteLine(question + "cancel (disk " + std::to_string(diskNo) +
                          " not found after " + std::to_string(kOkTries) + " tries)");
                return false;
            }
            if (timesAsked_ > 1 && WaitOrInterrupted(kOkPauseMs)) {
                WriteLine(question + "cancel (stop requested)");
                return false;
            }
            WriteLine(question + "OK");
            return true;
        case DiskAnswer::Ask:
            break;
    }

    const bool echoed = ::isatty(answerFd_) != 0;
    for (;;) {
        {
            std::lock_guard lock(outMutex_);
            progress_->Clear();
            questionOpen_ = true;
            std::fputs(question.c_str(), out_);
            std::fflush(out_);
        }
        bool lineEnded = false;
        const ParsedAnswer reply = ReadAnswer(lineEnded);
        {
            std::lock_guard lock(outMutex_);
            // A typed answer ends the line by its echo; piped answers, end of input and
            // interruptions don't.
            if (!echoed || !lineEnded) {
                std::fputc('\n', out_);
            }
            questionOpen_ = false;
            progress_->Restore();
            std::fflush(out_);
        }
        if (reply != ParsedAnswer::Unknown) {
            return reply == ParsedAnswer::Ok;
        }
    }
}

}  // namespace qf580::cli
