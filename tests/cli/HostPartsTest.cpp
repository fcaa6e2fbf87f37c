// The parts of the command-line host that need no process: device addresses, the shared disk
// question, the progress of several devices together, the summary table and the run's exit
// code.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

#include "cli/CheckReport.h"
#include "cli/DeviceAddress.h"
#include "cli/DeviceHost.h"
#include "cli/Reporter.h"
#include "cli/SharedQuestion.h"
#include "posix/UniqueFd.h"
#include "tests/support/WaitUntil.h"
#include "text/Escape.h"

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
        // Only the dotted numeric form: nothing that could carry a line of its own into the
        // output, no names, nothing the link would read as another host.
        {"127.0.0.1\nTransfer completed\n", nullptr},
        {"127.0.0.1 junk", nullptr},
        {" 127.0.0.1", nullptr},
        {"127.0.0.1\t", nullptr},
        {"localhost", nullptr},
        {"127.1", nullptr},
        {"2130706433", nullptr},
        {"010.0.0.1", nullptr},
        {"0x7f.0.0.1", nullptr},
        {"256.0.0.1", nullptr},
        {"1.2.3.4.5", nullptr},
        {"1.2.3.4:80:90", nullptr},
        {"0.0.0.0", nullptr},
        {"255.255.255.255", nullptr},
        {"0.0.0.1:9", "0.0.0.1:9"},
        {"255.255.255.254", "255.255.255.254:8023"},
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

TEST(EscapeControls, NothingThatActsOnATerminalGetsThrough) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"FW0001.q58 \xC3\xA9\xE6\x97\xA5", "FW0001.q58 \xC3\xA9\xE6\x97\xA5"},
        {"a\nTransfer completed\n", "a\\nTransfer completed\\n"},
        {"\x1b]0;title\x07\x1b[2J", "\\x1b]0;title\\x07\\x1b[2J"},
        {"\t\r\x7f", "\\t\\r\\x7f"},
        {"\xC2\x9B"
         "31m",
         "\\u009b31m"},  // C1 CSI written in UTF-8
        {"\x9B"
         "31m",
         "\\x9b31m"},                                      // and as a lone byte
        {"\xC2\xA0\xFF\xE0\x65", "\xC2\xA0\xFF\xE0\x65"},  // not UTF-8, no control
    };
    for (const auto& [in, shown] : cases) {
        EXPECT_EQ(EscapeControls(in), shown);
    }
}

// The file named is disk 1 only where the digit would take the place of a "1".
TEST(DiskOneNotice, NamesDiskOneWhereItIsNotTheFileNamed) {
    const struct {
        const char* path;
        const char* diskOne;  // nullptr: the file named is disk 1, nothing said
    } cases[] = {
        {"/tmp/fw/FW0001.q58", nullptr},
        {"FW1", nullptr},
        {"/tmp/fw/.q58", nullptr},
        {"/tmp/fw/release.q58", "/tmp/fw/releas1.q58"},
        {"/tmp/fw/FW0000.q58", "/tmp/fw/FW0001.q58"},
        {"rel.v2/FW", "rel.v2/F1"},
        {"/tmp/fw/ファームウェア一.q58", "/tmp/fw/ファームウェア1.q58"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const std::string notice = DiskOneNotice(c.path);
        if (c.diskOne == nullptr) {
            EXPECT_EQ(notice, "");
        } else {
            EXPECT_EQ(notice.rfind(std::string("qf580-flash: disk 1 of this set is ") + c.diskOne +
                                       ", not " + c.path + ": ",
                                   0),
                      0u)
                << notice;
        }
    }
    // A control character in the name reaches the terminal escaped.
    EXPECT_EQ(DiskOneNotice(std::string("/tmp/\x1b") + "b.q58").find('\x1b'), std::string::npos);
}

TEST(DeviceAddressText, OrderKeptAndADeviceNamedTwiceRefused) {
    const std::vector<DeviceAddress> devices =
        ParseDeviceAddresses({"127.0.0.1:9000", "127.0.0.1", "127.0.0.2"}, 9001);
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].Label(), "127.0.0.1:9000");
    EXPECT_EQ(devices[1].Label(), "127.0.0.1:9001");
    EXPECT_EQ(devices[2].Label(), "127.0.0.2:9001");
    // Named twice, with the default port or its own.
    const std::vector<std::vector<std::string>> twice = {
        {"127.0.0.1:8023", "127.0.0.1"},
        {"10.0.0.1:9000", "10.0.0.1:9000"},
    };
    for (const auto& texts : twice) {
        SCOPED_TRACE(texts[0] + " " + texts[1]);
        EXPECT_THROW(ParseDeviceAddresses(texts, 8023), std::invalid_argument);
    }
    // Look-alikes that are other devices stay apart.
    EXPECT_EQ(ParseDeviceAddresses({"127.0.0.1", "127.0.0.10", "127.0.0.1:8024", "10.0.0.1"}, 8023)
                  .size(),
              4u);
    // The text is quoted as it can be read, never as it would act on a terminal.
    try {
        ParseDeviceAddress("127.0.0.1\n\x1b[2J", 8023);
        ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_TRUE(std::string(e.what()).starts_with("--address 127.0.0.1\\n\\x1b[2J: "))
            << e.what();
    }
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
        // Answered even when the wait gives up, so that the askers end and the test can fail
        // instead of hanging.
        EXPECT_TRUE(
            test::WaitUntil([&] { return question.Waiting(2) == 3; }, std::chrono::seconds(10)));
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

// A device's progress, sent of a total (0: not known yet).
TransferProgress Sent(std::uint64_t bytes, std::uint64_t total) {
    TransferProgress p;
    p.sent = {bytes, bytes / 10};
    if (total > 0) {
        p.totals.passCount = 1;
        p.totals.all = {total, total / 10};
        p.totals.passes[0] = p.totals.all;
    }
    return p;
}

TEST(SeveralDevicesProgress, SummedWithTheSetsTotalsOnceAnyDeviceHasCountedThem) {
    const TransferProgress both = SumOfProgress({Sent(100, 1000), Sent(300, 1000)});
    EXPECT_EQ(both.sent, (StreamCount{400, 40}));
    EXPECT_EQ(both.totals.all, (StreamCount{2000, 200}));
    EXPECT_EQ(both.Percent(), 20);

    // A device that never counted disk 2 (silent before it got there) sends the same set.
    const TransferProgress oneCounted = SumOfProgress({Sent(100, 0), Sent(300, 1000)});
    EXPECT_EQ(oneCounted.sent.bytes, 400u);
    EXPECT_EQ(oneCounted.totals.all.bytes, 2000u);

    EXPECT_FALSE(SumOfProgress({Sent(100, 0), Sent(300, 0)}).totals.Known());
    EXPECT_EQ(SumOfProgress({Sent(100, 0), Sent(300, 0)}).Percent(), std::nullopt);
    EXPECT_EQ(SumOfProgress({Sent(1000, 1000), Sent(1000, 1000)}).Percent(), 100);
    EXPECT_FALSE(SumOfProgress({}).totals.Known());
}

// What a reporter wrote to its human stream, once its writer has caught up.
class Captured {
  public:
    Captured() : fd_(::memfd_create("human", MFD_CLOEXEC)) {}
    int Fd() const { return fd_.Get(); }
    std::string Text(Reporter& reporter) const {
        EXPECT_TRUE(reporter.Drain());
        std::string text(static_cast<std::size_t>(::lseek(fd_.Get(), 0, SEEK_END)), '\0');
        EXPECT_EQ(::pread(fd_.Get(), text.data(), text.size(), 0),
                  static_cast<ssize_t>(text.size()));
        return text;
    }

  private:
    posix::UniqueFd fd_;
};

TEST(ReporterQuestion, AnotherDevicesLineGoesAboveTheOpenQuestion) {
    struct Case {
        bool terminal;
        bool echoed;  // the answer's echo ended the question's line
        const char* expected;
    };
    const std::vector<Case> cases = {
        {false, false, "Q? \n[b] Sending Header\nQ? \n[a] after\n"},
        {true, false, "Q? \r\x1b[K[b] Sending Header\nQ? \n[a] after\n"},
        {true, true, "Q? \r\x1b[K[b] Sending Header\nQ? [a] after\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.terminal ? "terminal" : "pipe") + (c.echoed ? ", echoed" : ""));
        Captured human;
        Reporter reporter(human.Fd(), -1, c.terminal);
        reporter.OpenQuestion("Q? ");
        reporter.Line("[b] Sending Header");
        reporter.CloseQuestion(!c.echoed);
        reporter.Line("[a] after");
        EXPECT_EQ(human.Text(reporter), c.expected);
    }
}

TEST(ReporterQuestion, TheProgressLineWaitsForTheAnswer) {
    Captured human;
    Reporter reporter(human.Fd(), -1, true);
    reporter.ShowProgress(ProgressStyle::Live, 2);
    reporter.Progress(0, Sent(0, 0));
    const std::string before = human.Text(reporter);
    EXPECT_NE(before.find("2 devices    ?%  0 B of ?"), std::string::npos) << before;
    reporter.OpenQuestion("Q? ");
    const std::size_t asked = human.Text(reporter).size();
    reporter.Progress(1, Sent(500, 1000));
    EXPECT_EQ(human.Text(reporter).size(), asked) << "nothing drawn over the question";
    reporter.CloseQuestion(false);
    // Back with what came meanwhile, not as it was before the question.
    EXPECT_TRUE(
        human.Text(reporter).ends_with("2 devices   25%  500 B of 2.0 kB  -- B/s  --:-- left"))
        << human.Text(reporter);
}

// Three devices of four done and the fourth silent: the line after the last "Transfer
// completed" says so, however soon after a redraw the last of them came.
TEST(ReporterQuestion, TheLineAfterAStatusLineHasTheLatestFigures) {
    Captured human;
    Reporter reporter(human.Fd(), -1, true);
    reporter.ShowProgress(ProgressStyle::Live, 2);
    reporter.Progress(0, Sent(0, 1000));
    reporter.Progress(1, Sent(0, 1000));
    reporter.Progress(0, Sent(1000, 1000));
    reporter.Line("[a] Transfer completed");
    EXPECT_TRUE(
        human.Text(reporter).ends_with("[a] Transfer completed\n\r\x1b[K2 devices   50%  1.0 kB "
                                       "of 2.0 kB  -- B/s  --:-- left"))
        << human.Text(reporter);
}

// Reports reach the stream only through a line that is shown: none before the style is set
// or with Off, however many come, while the status lines go on; with a line, the reports of
// every device together, up to 100%.
TEST(ReporterProgress, ReportsReachTheStreamOnlyThroughAShownLine) {
    const std::string status = "[a] Sending Header\n";
    for (const std::optional<ProgressStyle> style :
         {std::optional<ProgressStyle>(), std::optional(ProgressStyle::Off),
          std::optional(ProgressStyle::Lines)}) {
        SCOPED_TRACE(style ? static_cast<int>(*style) : -1);
        Captured human;
        Reporter reporter(human.Fd(), -1, false);
        if (style) {
            reporter.ShowProgress(*style, 2);
        }
        reporter.Line("[a] Sending Header");
        for (std::uint64_t sent = 0; sent <= 1000; sent += 250) {
            reporter.Progress(0, Sent(sent, 1000));
            reporter.Progress(1, Sent(sent, 1000));
        }
        const std::string text = human.Text(reporter);
        if (style == ProgressStyle::Lines) {
            EXPECT_TRUE(text.starts_with(status + "2 devices    0%")) << text;
            EXPECT_NE(text.find("\n2 devices  100%  2.0 kB of 2.0 kB"), std::string::npos) << text;
        } else {
            EXPECT_EQ(text, status);
        }
    }
}

TEST(RunResults, ExitCodeIsThatOfTheFirstDeviceThatDidNotComplete) {
    auto result = [](const char* device, Outcome outcome) {
        return DeviceResult{device, outcome, 1.5, StreamCount{100, 3}};
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
        {"127.0.0.1:8023", Outcome::Completed, 1.25, StreamCount{4194360, 8000}},
        {"127.0.0.1:8024", Outcome::HeaderSizeFailure, 0.5, StreamCount{0, 0}},
        {"127.0.0.1:8025", Outcome::Aborted, 2, StreamCount{312, 4}},
    };
    EXPECT_EQ(
        SummaryTable(results),
        "device          outcome                                    exit       bytes   seconds\n"
        "127.0.0.1:8023  Transfer completed                            0     4194360     1.250\n"
        "127.0.0.1:8024  Heder size communication failure             15           0     0.500\n"
        "127.0.0.1:8025  Aborted according to instruction received    10         312     2.000\n");
}

}  // namespace
}  // namespace qf580::cli
