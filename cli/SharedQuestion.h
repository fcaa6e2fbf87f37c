// The disk question put once for every device that waits for the same disk: with several
// devices at once, the operator inserts disk 2 once and the answer serves them all.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include "transfer/UpdateDisk.h"

namespace qf580::cli {

class SharedQuestion {
  public:
    // `operatorPrompt` puts the question to the operator; it is called by one thread at a
    // time, however many devices ask.
    explicit SharedQuestion(DiskPrompt& operatorPrompt) : operator_(operatorPrompt) {}

    // Called on a device's worker thread. A device that asks while the question for the same
    // disk is open waits for that question's answer; one that asks after it was answered
    // (the disk it was told is there is still missing) opens a new question.
    bool Ask(int diskNo);

    // How many questions were put to the operator, over all disks.
    int QuestionsPut() const;
    // How many devices wait for the answer to the open question for `diskNo`, besides the one
    // that put it.
    int Waiting(int diskNo) const;

  private:
    struct Round {
        bool answered = false;
        bool answer = false;
        int waiting = 0;
    };

    DiskPrompt& operator_;
    mutable std::mutex mutex_;
    std::condition_variable answered_;
    // The open question of each disk; a round leaves the map once answered.
    std::map<int, std::shared_ptr<Round>> open_;
    // Held while a question is on the terminal: one question at a time.
    std::mutex asking_;
    int put_ = 0;
};

}  // namespace qf580::cli
