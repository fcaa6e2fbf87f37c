// The parts of the command-line host that need no process: device addresses, the shared disk
// question, progress from status texts, the summary table and the run's exit code.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "DeviceAddress.h"
#include "DeviceHost.h"
#include "SharedQuestion.h"
#include "StatusProgress.h"

namespace qf580::cli {
namespace {

TEST(DeviceAddressText, PortFromTheTextOrTheDefault) {
    struct Case {
        const char* text;
        const char* label;  // nullptr: refused
    };
    const std::vector<Case> cases = {
        {"127.0.0.1", "127.0.0.1:8023"},
        {"127.0.0.1:8024", "127.0.0.1:8024"},
        {"10.0.0.1:1", "10.0.0.1:1"},
        {"10.0.0.1:65535", "10.0.0.1:65535"},
        {"127.0.0.1:0", nullptr},
        {"127.0.0.1:65536", nullptr},
        {"127.0.0.1:", nullptr},
        {"127.0.0.1:80x", nullptr},
        {"127.0.0.1:+80", nullptr},
        {":8023", nullptr},
        {"", nullptr},
        {"::1:8023", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        if (c.label == nullptr) {
            EXPECT_THROW(ParseDeviceAddress(c.text, 8023), std::invalid_argument);
        } else {
            EXPECT_EQ(ParseDeviceAddress(c.text, 8023).Label(), c.label);
        }
    }
}

TEST(DeviceAddressText, OrderKeptAndADeviceNamedTwiceRefused) {
    const std::vector<DeviceAddress> devices =
        ParseDeviceAddresses({"127.0.0.1:9000", "127.0.0.1", "127.0.0.2"}, 9001);
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].Label(), "127.0.0.1:9000");
    EXPECT_EQ(devices[1].Label(), "127.0.0.1:9001");
    EXPECT_EQ(devices[2].Label(), "127.0.0.2:9001");
    EXPECT_THROW(ParseDeviceAddresses({"127.0.0.1:8023", "127.0.0.1"}, 8023),
                 std::invalid_argument);
}

// An operator whose answer the test gives, one question at a time, and who notices being
// asked twice at once.
class HeldOperator final : public DiskPrompt {
  public:
    bool AskInsertDisk(int diskNo) override {
        if (++onScreen_ > 1) {
            overlapped = true;
        }
        std::unique_lock lock(mutex_);
        asked_.push_back(diskNo);
        changed_.notify_all();
        changed_.wait(lock, [this] { return !answers_.empty(); });
        const bool answer = answers_.front();
        answers_.erase(answers_.begin());
        --onScreen_;
        return answer;
    }
    void Answer(bool answer) {
        const std::lock_guard lock(mutex_);
        answers_.push_back(answer);
        changed_.notify_all();
    }
    // Waits until `count` questions have been put.
    void WaitAsked(std::size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return asked_.size() >= count; });
    }
    std::vector<int> asked() {
        const std::lock_guard lock(mutex_);
        return asked_;
    }
    std::atomic<bool> overlapped{false};

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> asked_;
    std::vector<bool> answers_;
    std::atomic<int> onScreen_{0};
};

void WaitUntil(const std::function<bool()>& done) {
    while (!done()) {
        std::this_thread::yield();
    }
}

TEST(SharedQuestion, OneQuestionServesEveryDeviceWaitingForTheDisk) {
    for (const bool answer : {true, false}) {
        SCOPED_TRACE(answer);
        HeldOperator terminal;
        SharedQuestion question(terminal);
        auto first = std::async(std::launch::async, [&] { return question.Ask(2); });
        terminal.WaitAsked(1);
        std::vector<std::future<bool>> others;
        for (int i = 0; i < 3; ++i) {
            others.push_back(std::async(std::launch::async, [&] { return question.Ask(2); }));
        }
        WaitUntil([&] { return question.Waiting(2) == 3; });
        terminal.Answer(answer);
        EXPECT_EQ(first.get(), answer);
        for (auto& other : others) {
            EXPECT_EQ(other.get(), answer);
        }
        EXPECT_EQ(terminal.asked(), std::vector<int>{2});
        EXPECT_EQ(question.QuestionsPut(), 1);
        EXPECT_EQ(question.Waiting(2), 0);
    }
}

TEST(SharedQuestion, AskingAfterTheAnswerPutsTheQuestionAgain) {
    HeldOperator terminal;
    SharedQuestion question(terminal);
    terminal.Answer(true);
    terminal.Answer(false);
    EXPECT_TRUE(question.Ask(2));
    EXPECT_FALSE(question.Ask(2));
    EXPECT_EQ(terminal.asked(), (std::vector<int>{2, 2}));
}

TEST(SharedQuestion, OtherDisksWaitTheirTurnOnTheTerminal) {
    HeldOperator terminal;
    SharedQuestion question(terminal);
    auto disk2 = std::async(std::launch::async, [&] { return question.Ask(2); });
    terminal.WaitAsked(1);
    auto disk1 = std::async(std::launch::async, [&] { return question.Ask(1); });
    // The question for disk 1 is its own, but only once disk 2's has been answered.
    EXPECT_EQ(disk1.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    terminal.Answer(true);
    terminal.Answer(false);
    EXPECT_TRUE(disk2.get());
    EXPECT_FALSE(disk1.get());
    EXPECT_EQ(terminal.asked(), (std::vector<int>{2, 1}));
    EXPECT_FALSE(terminal.overlapped.load());
}

// A SUB ROM summary: pass 1 of START (4 bytes) and 66 records of 10 bytes, pass 2 of START
// (6 bytes) and 2 records of 8 bytes.
SetSummary TwoPassSummary(bool emptyFirstPass = false) {
    SetSummary s;
    s.romType = kRomSub;
    PassContents pass1;
    if (!emptyFirstPass) {
        pass1.recordLengths.push_back(4);
        pass1.recordLengths.insert(pass1.recordLengths.end(), 66, 10);
    }
    pass1.ended = true;
    PassContents pass2;
    pass2.recordLengths = {6, 8, 8};
    pass2.ended = true;
    s.passes = {pass1, pass2};
    return s;
}

struct Step {
    std::string status;
    bool completed;
    bool moves;
    ProgressValue after;
};

void Walk(StatusProgress& progress, const std::vector<Step>& steps) {
    for (const Step& step : steps) {
        SCOPED_TRACE(step.status + (step.completed ? " (completed)" : ""));
        EXPECT_EQ(progress.Take(step.status, step.completed), step.moves);
        EXPECT_EQ(progress.Value().bytesSent, step.after.bytesSent);
        EXPECT_EQ(progress.Value().bytesTotal, step.after.bytesTotal);
        EXPECT_EQ(progress.Value().recordsSent, step.after.recordsSent);
    }
}

TEST(StatusProgress, BytesUpToEachAcknowledgementPoint) {
    const std::uint64_t pass1 = 4 + 66 * 10 + 1;
    const std::uint64_t total = 56 + pass1 + 6 + 16 + 1;
    StatusProgress progress(std::make_shared<SetSummary>(TwoPassSummary()));
    Walk(progress, {
                       {"Searching for KV6200", false, false, {0, total, 0}},
                       {"Sending Header", false, false, {0, total, 0}},
                       {"Sending START record", false, true, {56 + 4, total, 1}},
                       {"Sending (1) Record", false, true, {56 + 4 + 10, total, 2}},
                       {"Sending (65) Record", false, true, {56 + 4 + 650, total, 66}},
                       {"Sending START record", false, true, {56 + pass1 + 6, total, 68}},
                       {"Sending (1) Record", false, true, {56 + pass1 + 14, total, 69}},
                       {"Incorrect Check Sum", false, false, {56 + pass1 + 14, total, 69}},
                       {"", true, true, {total, total, 70}},
                   });
}

TEST(StatusProgress, APassOfOnlyItsEndShowsNoStart) {
    const std::uint64_t total = 56 + 1 + 6 + 16 + 1;
    StatusProgress progress(std::make_shared<SetSummary>(TwoPassSummary(true)));
    Walk(progress, {
                       {"Sending START record", false, true, {56 + 1 + 6, total, 1}},
                       {"Sending (1) Record", false, true, {56 + 1 + 14, total, 2}},
                   });
}

TEST(StatusProgress, WithoutASummaryOnlyRecordsAreKnown) {
    StatusProgress progress(nullptr);
    Walk(progress, {
                       {"Sending (1) Record", false, false, {std::nullopt, std::nullopt, 0}},
                       {"Sending START record", false, true, {std::nullopt, std::nullopt, 1}},
                       {"Sending (1) Record", false, true, {std::nullopt, std::nullopt, 2}},
                       {"Sending (x) Record", false, false, {std::nullopt, std::nullopt, 2}},
                       {"Sending START record", false, true, {std::nullopt, std::nullopt, 3}},
                       {"", true, false, {std::nullopt, std::nullopt, 3}},
                   });
}

TEST(StatusProgress, TotalsLearntWhenTheMissingDiskCame) {
    const std::uint64_t total = 56 + 4 + 66 * 10 + 1 + 6 + 16 + 1;
    StatusProgress progress(nullptr);
    Walk(progress, {
                       {"Sending START record", false, true, {std::nullopt, std::nullopt, 1}},
                       {"Sending (1) Record", false, true, {std::nullopt, std::nullopt, 2}},
                   });
    EXPECT_FALSE(progress.Knows());
    EXPECT_TRUE(progress.Learn(std::make_shared<SetSummary>(TwoPassSummary())));
    EXPECT_EQ(progress.Value(), (ProgressValue{56 + 4 + 10, total, 2}));
    EXPECT_FALSE(progress.Learn(std::make_shared<SetSummary>(TwoPassSummary(true))))
        << "the first summary stays";
    Walk(progress, {{"Sending (65) Record", false, true, {56 + 4 + 650, total, 66}},
                    {"", true, true, {total, total, 70}}});
}

TEST(RunResults, ExitCodeIsThatOfTheFirstDeviceThatDidNotComplete) {
    auto result = [](const char* device, Outcome outcome) {
        return DeviceResult{device, outcome, 1.5, ProgressValue{100, 200, 3}};
    };
    EXPECT_EQ(RunExitCode({result("a", Outcome::Completed), result("b", Outcome::Completed)}), 0);
    EXPECT_EQ(RunExitCode({result("a", Outcome::Completed), result("b", Outcome::CommError),
                           result("c", Outcome::Aborted)}),
              20);
    EXPECT_EQ(RunExitCode({result("a", Outcome::Aborted), result("b", Outcome::CommError)}), 10);
    EXPECT_EQ(RunExitCode({}), 0);
}

TEST(RunResults, SummaryTableHasARowPerDeviceInOrder) {
    std::vector<DeviceResult> results = {
        {"127.0.0.1:8023", Outcome::Completed, 1.25, ProgressValue{4194360, 4194360, 8000}},
        {"127.0.0.1:8024", Outcome::HeaderSizeFailure, 0.5, ProgressValue{0, 4194360, 0}},
        {"127.0.0.1:8025", Outcome::Aborted, 2, ProgressValue{std::nullopt, std::nullopt, 4}},
    };
    EXPECT_EQ(
        SummaryTable(results),
        "device          outcome                                    exit       bytes   seconds\n"
        "127.0.0.1:8023  Transfer completed                            0     4194360     1.250\n"
        "127.0.0.1:8024  Heder size communication failure             15           0     0.500\n"
        "127.0.0.1:8025  Aborted according to instruction received    10           -     2.000\n");
}

}  // namespace
}  // namespace qf580::cli
