// The stop signals taken as data: blocked in every thread, read from a signalfd.
#include <pthread.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <thread>

#include "posix/Poll.h"
#include "posix/StopSignals.h"
#include "tests/posix/PosixTestSupport.h"

namespace qf580::posix {
namespace {

using namespace test;

bool Blocked(int signal) {
    sigset_t mask;
    sigemptyset(&mask);
    EXPECT_EQ(::pthread_sigmask(SIG_BLOCK, nullptr, &mask), 0);
    return sigismember(&mask, signal) == 1;
}

// Each test leaves the thread's mask as it found it.
class StopSignals : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, nullptr, &saved_), 0); }
    void TearDown() override { ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

  private:
    sigset_t saved_{};
};

// A signal ignored at the start (nohup, a background job) stays out of the set, so that it
// is neither blocked nor taken as a stop request.
TEST_F(StopSignals, TheSetIsInterruptTerminateAndHangUpLessTheIgnoredOnes) {
    for (const int ignored : {0, SIGHUP, SIGINT}) {
        SCOPED_TRACE(ignored);
        struct sigaction saved {};
        if (ignored != 0) {
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            ASSERT_EQ(::sigaction(ignored, &ignore, &saved), 0);
        }
        const sigset_t set = StopSignalSet();
        if (ignored != 0) {
            ::sigaction(ignored, &saved, nullptr);
        }
        for (int signal = 1; signal < SIGRTMIN; ++signal) {
            EXPECT_EQ(
                sigismember(&set, signal) == 1,
                signal != ignored && (signal == SIGINT || signal == SIGTERM || signal == SIGHUP))
                << signal;
        }
    }
}

TEST_F(StopSignals, BlockedHereAndInEveryThreadStartedAfterwards) {
    ASSERT_FALSE(Blocked(SIGINT));
    EXPECT_EQ(BlockStopSignals(), 0);
    EXPECT_TRUE(Blocked(SIGINT));
    EXPECT_TRUE(Blocked(SIGTERM));
    EXPECT_FALSE(Blocked(SIGUSR1));
    bool inThread = false;
    std::thread([&] { inThread = Blocked(SIGINT) && Blocked(SIGTERM); }).join();
    EXPECT_TRUE(inThread);
}

TEST_F(StopSignals, ComeOutOfTheDescriptorOneByOne) {
    StopSignalFd signals;
    EXPECT_TRUE(Blocked(SIGINT)) << "the descriptor blocks them itself";
    EXPECT_TRUE(IsCloseOnExec(signals.Get()));
    EXPECT_EQ(signals.Take(), 0) << "nothing has come";
    EXPECT_EQ(WaitFor(signals.Get(), POLLIN, -1, 0), Waited::TimedOut);

    ASSERT_EQ(::pthread_kill(::pthread_self(), SIGTERM), 0);
    ASSERT_EQ(::pthread_kill(::pthread_self(), SIGINT), 0);
    EXPECT_EQ(WaitFor(signals.Get(), POLLIN, -1, 1000), Waited::Ready);
    // Standard signals come out lowest number first.
    EXPECT_EQ(signals.Take(), SIGINT);
    EXPECT_EQ(signals.Take(), SIGTERM);
    EXPECT_EQ(signals.Take(), 0);
}

TEST_F(StopSignals, ASignalThatCameBeforeTheDescriptorIsNotLost) {
    ASSERT_EQ(BlockStopSignals(), 0);
    ASSERT_EQ(::pthread_kill(::pthread_self(), SIGINT), 0);
    StopSignalFd signals;
    EXPECT_EQ(signals.Take(), SIGINT);
}

}  // namespace
}  // namespace qf580::posix
