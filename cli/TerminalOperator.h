// The operator at the terminal: puts "Insert Disk N" and takes the answer from a file
// descriptor (the terminal) or gives a fixed answer. The devices of a run share one, through
// their shared question.
#pragma once

#include <atomic>
#include <string>

#include "cli/Reporter.h"
#include "transfer/UpdateDisk.h"

namespace qf580::cli {

enum class DiskAnswer { Ask, Ok, Cancel };

// "OK", "ok", "y", "yes" or an empty line answer OK; "cancel", "c", "n", "no" answer Cancel.
// Surrounding blanks and a carriage return are ignored.
enum class ParsedAnswer { Ok, Cancel, Unknown };
ParsedAnswer ParseAnswer(std::string line);

class TerminalOperator final : public DiskPrompt {
  public:
    // The question and its answer go to `reporter`'s lines; `answerFd` is read for the
    // operator's answers; `wakeFd` becomes readable once the run is interrupted (-1: never).
    TerminalOperator(DiskAnswer answer, Reporter& reporter, int answerFd, int wakeFd);

    bool AskInsertDisk(int diskNo) override;

    // One line from the operator (a station's serial, the operator's badge), with `prompt`
    // before it on a terminal; a pipe has no one to prompt.
    // The line comes without its line end.
    enum class LineRead { Line, EndOfInput, Interrupted };
    LineRead ReadLine(const std::string& prompt, std::string& line);
    bool FromTerminal() const;

    // A stop was requested: any open or later question is answered with Cancel.
    void Interrupt() { interrupted_.store(true); }

    // With a fixed answer of OK, the same disk is tried this many times, a pause apart,
    // before the question is given up with Cancel: a file that doesn't turn up must not
    // keep the program asking for ever.
    static constexpr int kOkTries = 3;
    static constexpr int kOkPauseMs = 1000;

  private:
    // One line from answerFd, the one reader of the operator's input.
    LineRead ReadRaw(std::string& line);
    // One line from answerFd; Cancel on end of input or on an interruption.
    ParsedAnswer ReadAnswer(bool& lineEnded);
    bool WaitOrInterrupted(int ms);

    const DiskAnswer answer_;
    Reporter& reporter_;
    const int answerFd_;
    const int wakeFd_;
    std::atomic<bool> interrupted_{false};
    int lastAskedDisk_ = 0;  // one question at a time: the asking thread only
    int timesAsked_ = 0;
};

}  // namespace qf580::cli
