#include "cli/TerminalOperator.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "posix/Eintr.h"
#include "posix/Poll.h"

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

TerminalOperator::TerminalOperator(DiskAnswer answer, Reporter& reporter, int answerFd, int wakeFd)
    : answer_(answer), reporter_(reporter), answerFd_(answerFd), wakeFd_(wakeFd) {}

bool TerminalOperator::WaitOrInterrupted(int ms) {
    posix::WaitFor(-1, 0, wakeFd_, ms);
    return interrupted_.load();
}

ParsedAnswer TerminalOperator::ReadAnswer(bool& lineEnded) {
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

bool TerminalOperator::AskInsertDisk(int diskNo) {
    const std::string question = "Insert Disk " + std::to_string(diskNo) + " [OK/cancel]: ";
    timesAsked_ = diskNo == lastAskedDisk_ ? timesAsked_ + 1 : 1;
    lastAskedDisk_ = diskNo;

    if (interrupted_.load()) {
        reporter_.Line(question + "cancel (stop requested)");
        return false;
    }
    switch (answer_) {
        case DiskAnswer::Cancel:
            reporter_.Line(question + "cancel");
            return false;
        case DiskAnswer::Ok:
            if (timesAsked_ > kOkTries) {
                reporter_.Line(question + "cancel (disk " + std::to_string(diskNo) +
                               " not found after " + std::to_string(kOkTries) + " tries)");
                return false;
            }
            if (timesAsked_ > 1 && WaitOrInterrupted(kOkPauseMs)) {
                reporter_.Line(question + "cancel (stop requested)");
                return false;
            }
            reporter_.Line(question + "OK");
            return true;
        case DiskAnswer::Ask:
            break;
    }

    const bool echoed = ::isatty(answerFd_) != 0;
    for (;;) {
        reporter_.OpenQuestion(question);
        bool lineEnded = false;
        const ParsedAnswer reply = ReadAnswer(lineEnded);
        // A typed answer ends the line by its echo; piped answers, end of input and
        // interruptions don't.
        reporter_.CloseQuestion(!echoed || !lineEnded);
        if (reply != ParsedAnswer::Unknown) {
            return reply == ParsedAnswer::Ok;
        }
    }
}

}  // namespace qf580::cli
