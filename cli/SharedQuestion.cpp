#include "cli/SharedQuestion.h"

namespace qf580::cli {

bool SharedQuestion::Ask(int diskNo) {
    std::unique_lock lock(mutex_);
    if (const auto open = open_.find(diskNo); open != open_.end()) {
        const std::shared_ptr<Round> round = open->second;
        ++round->waiting;
        answered_.wait(lock, [&round] { return round->answered; });
        return round->answer;
    }
    const auto round = std::make_shared<Round>();
    open_[diskNo] = round;
    lock.unlock();

    bool answer = false;
    try {
        const std::lock_guard one(asking_);
        answer = operator_.AskInsertDisk(diskNo);
    } catch (...) {
        answer = false;  // nobody can answer: the devices waiting must not wait for ever
    }

    lock.lock();
    ++put_;
    round->answer = answer;
    round->answered = true;
    open_.erase(diskNo);
    answered_.notify_all();
    return answer;
}

int SharedQuestion::Waiting(int diskNo) const {
    const std::lock_guard lock(mutex_);
    const auto open = open_.find(diskNo);
    return open == open_.end() ? 0 : open->second->waiting;
}

int SharedQuestion::QuestionsPut() const {
    const std::lock_guard lock(mutex_);
    return put_;
}

}  // namespace qf580::cli
