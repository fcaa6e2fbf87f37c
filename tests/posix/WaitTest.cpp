// Waits with a deadline and a wake-up, and the one retry after EINTR.
#include <pthread.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <thread>

#include "posix/Eintr.h"
#include "posix/Poll.h"
#include "tests/posix/PosixTestSupport.h"

namespace qf580::posix {
namespace {

using namespace test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(Deadline, CountsDownInWholeMillisecondsRoundedUp) {
    EXPECT_EQ(Deadline::Never().MsLeft(), -1);
    EXPECT_FALSE(Deadline::Never().Passed());
    EXPECT_EQ(Deadline::In(-5).MsLeft(), -1) << "a negative time is no limit";
    EXPECT_EQ(Deadline::In(0).MsLeft(), 0);
    EXPECT_TRUE(Deadline::In(0).Passed());
    const Deadline later = Deadline::In(1000);
    EXPECT_FALSE(later.Passed());
    EXPECT_GT(later.MsLeft(), 900);
    EXPECT_LE(later.MsLeft(), 1000);
}

TEST(WaitFor, TellsReadyWokenTimedOutAndFailedApart) {
    auto [read, write] = Pipe();
    auto [wakeRead, wakeWrite] = Pipe();
    EXPECT_EQ(WaitFor(read.Get(), POLLIN, wakeRead.Get(), 0), Waited::TimedOut);
    ASSERT_EQ(::write(write.Get(), "x", 1), 1);
    EXPECT_EQ(WaitFor(read.Get(), POLLIN, wakeRead.Get(), 0), Waited::Ready);
    EXPECT_EQ(WaitFor(read.Get(), POLLIN, -1, 0), Waited::Ready);
    ASSERT_EQ(::write(wakeWrite.Get(), "x", 1), 1);
    EXPECT_EQ(WaitFor(read.Get(), POLLIN, wakeRead.Get(), 0), Waited::Woken)
        << "the wake-up wins over a ready descriptor";
    EXPECT_EQ(WaitFor(-1, 0, wakeRead.Get(), 0), Waited::Woken);

    // A hang-up of the other end is something for a reader to see.
    auto [lonely, gone] = Pipe();
    gone.Reset();
    EXPECT_EQ(WaitFor(lonely.Get(), POLLIN, -1, 1000), Waited::Ready);

    const int closed = lonely.Get();
    lonely.Reset();
    EXPECT_EQ(WaitFor(closed, POLLIN, -1, 1000), Waited::Failed);
    EXPECT_EQ(WaitFor(read.Get(), POLLIN, closed, 1000), Waited::Failed);
}

TEST(WaitFor, KeepsToItsTimeLimit) {
    auto [read, write] = Pipe();
    for (const int ms : {0, 30, 80}) {
        SCOPED_TRACE(ms);
        const auto begin = Clock::now();
        EXPECT_EQ(WaitFor(read.Get(), POLLIN, -1, ms), Waited::TimedOut);
        EXPECT_GE(Clock::now() - begin, std::chrono::milliseconds(ms));
        const auto sleepBegin = Clock::now();
        EXPECT_EQ(WaitFor(-1, 0, -1, ms), Waited::TimedOut) << "nothing to wait for: a sleep";
        EXPECT_GE(Clock::now() - sleepBegin, std::chrono::milliseconds(ms));
    }
}

// Signals of a handler installed without SA_RESTART, so that they interrupt system calls.
class Interrupted : public testing::Test {
  protected:
    void SetUp() override {
        struct sigaction action {};
        action.sa_handler = [](int) { ++delivered; };
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous_), 0);
        delivered = 0;
    }
    void TearDown() override { ::sigaction(SIGUSR1, &previous_, nullptr); }

    // Sends SIGUSR1 to the calling thread after `delay`, then runs `after`.
    std::thread SignalLater(std::chrono::milliseconds delay, std::function<void()> after = {}) {
        const pthread_t target = ::pthread_self();
        return std::thread([target, delay, after] {
            std::this_thread::sleep_for(delay);
            ::pthread_kill(target, SIGUSR1);
            if (after) {
                std::this_thread::sleep_for(50ms);
                after();
            }
        });
    }

    static inline std::atomic<int> delivered{0};

  private:
    struct sigaction previous_ {};
};

TEST_F(Interrupted, ASignalDoesNotCutAWaitShort) {
    auto [read, write] = Pipe();
    const auto begin = Clock::now();
    std::thread signaller = SignalLater(20ms);
    EXPECT_EQ(WaitFor(read.Get(), POLLIN, -1, 300), Waited::TimedOut);
    EXPECT_GE(Clock::now() - begin, 300ms) << "the wait went on for the time that was left";
    signaller.join();
    EXPECT_EQ(delivered.load(), 1);

    const int fd = write.Get();
    signaller = SignalLater(20ms, [fd] { ASSERT_EQ(::write(fd, "x", 1), 1); });
    EXPECT_EQ(WaitFor(read.Get(), POLLIN, -1, Deadline::Never()), Waited::Ready);
    signaller.join();
    EXPECT_EQ(delivered.load(), 2);
}

TEST_F(Interrupted, RetryOnEintrMakesAnInterruptedCallAgain) {
    auto [read, write] = Pipe();
    const int fd = write.Get();
    std::thread signaller = SignalLater(20ms, [fd] { ASSERT_EQ(::write(fd, "y", 1), 1); });
    char byte = 0;
    // A blocking read: the signal interrupts it, the retry gets the byte.
    ASSERT_EQ(::fcntl(read.Get(), F_SETFL, 0), 0);
    EXPECT_EQ(RetryOnEintr([&] { return ::read(read.Get(), &byte, 1); }), 1);
    EXPECT_EQ(byte, 'y');
    signaller.join();
    EXPECT_EQ(delivered.load(), 1);
}

TEST(RetryOnEintr, RepeatsOnlyInterruptedCalls) {
    int calls = 0;
    EXPECT_EQ(RetryOnEintr([&] {
                  errno = EINTR;
                  return ++calls < 3 ? -1 : 7;
              }),
              7);
    EXPECT_EQ(calls, 3);

    calls = 0;
    EXPECT_EQ(RetryOnEintr([&] {
                  ++calls;
                  errno = EBADF;
                  return -1L;
              }),
              -1L);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(errno, EBADF);
}

}  // namespace
}  // namespace qf580::posix
