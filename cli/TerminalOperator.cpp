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

TerminalOperator::LineRead TerminalOperator::ReadRaw(std::string& line) {
    line.clear();
    for (;;) {
        const posix::Waited waited =
            posix::WaitFor(answerFd_, POLLIN, wakeFd_, posix::Deadline::Never());
        if (waited == posix::Waited::Failed || interrupted_.load()) {
            return LineRead::Interrupted;
        }
        if (waited != posix::Waited::Ready) {
            continue;
        }
        char c = 0;
        // A byte at a time: what follows the line (the next serial, a disk answer) stays in
        // the input for whoever reads next.
        const ssize_t n = posix::RetryOnEintr([&] { return ::read(answerFd_, &c, 1); });
        if (n <= 0) {
            return LineRead::EndOfInput;
        }
        if (c == '\n') {
            return LineRead::Line;
        }
        line.push_back(c);
    }
}

ParsedAnswer TerminalOperator::ReadAnswer(bool& lineEnded) {
    std::string line;
    const LineRead read = ReadRaw(line);
    lineEnded = read == LineRead::Line;
    // End of input: nobody is there to insert a disk.
    return lineEnded ? ParseAnswer(line) : ParsedAnswer::Cancel;
}

bool TerminalOperator::FromTerminal() const {
    return ::isatty(answerFd_) != 0;
}

TerminalOperator::LineRead TerminalOperator::ReadLine(const std::string& prompt,
                                                      std::string& line) {
    const bool echoed = FromTerminal();
    if (echoed) {
        reporter_.OpenQuestion(prompt);
    }
    const LineRead read = ReadRaw(line);
    if (echoed) {
        reporter_.CloseQuestion(read != LineRead::Line);
    }
    return read;
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
