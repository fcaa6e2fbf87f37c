#include "TerminalOperator.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

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

TerminalOperator::TerminalOperator(DiskAnswer answer, std::FILE* out, int answerFd, int wakeFd)
    : answer_(answer), out_(out), answerFd_(answerFd), wakeFd_(wakeFd) {}

void TerminalOperator::WriteLine(const std::string& text) {
    std::fputs(text.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

bool TerminalOperator::WaitOrInterrupted(int ms) {
    if (wakeFd_ < 0) {
        ::poll(nullptr, 0, ms);
        return interrupted_.load();
    }
    pollfd wake{wakeFd_, POLLIN, 0};
    ::poll(&wake, 1, ms);
    return interrupted_.load();
}

ParsedAnswer TerminalOperator::ReadAnswer(bool& lineEnded) {
    lineEnded = false;
    std::string line;
    for (;;) {
        pollfd fds[2] = {{answerFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        const nfds_t count = wakeFd_ >= 0 ? 2 : 1;
        if (::poll(fds, count, -1) < 0 && errno != EINTR) {
            return ParsedAnswer::Cancel;
        }
        if (interrupted_.load()) {
            return ParsedAnswer::Cancel;
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == 0) {
            continue;
        }
        char c = 0;
        const ssize_t n = ::read(answerFd_, &c, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
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
        std::fputs(question.c_str(), out_);
        std::fflush(out_);
        bool lineEnded = false;
        const ParsedAnswer reply = ReadAnswer(lineEnded);
        // A typed answer ends the line by its echo; piped answers, end of input and
        // interruptions don't.
        if (!echoed || !lineEnded) {
            std::fputc('\n', out_);
            std::fflush(out_);
        }
        if (reply != ParsedAnswer::Unknown) {
            return reply == ParsedAnswer::Ok;
        }
    }
}

}  // namespace qf580::cli
