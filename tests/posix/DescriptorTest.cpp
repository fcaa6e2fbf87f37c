// Owned descriptors and wake pipes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <thread>

#include "posix/Poll.h"
#include "posix/WakePipe.h"
#include "tests/posix/PosixTestSupport.h"

namespace qf580::posix {
namespace {

using namespace test;

// Assignment as a caller that cannot see both sides are one object would write it.
void MoveAssign(UniqueFd& to, UniqueFd& from) {
    to = std::move(from);
}

TEST(UniqueFd, ClosesWhatItHoldsOnceAndOnlyThat) {
    auto [read, write] = Pipe();
    const int fd = read.Get();
    {
        UniqueFd owner(read.Release());
        EXPECT_FALSE(read);
        EXPECT_EQ(read.Get(), -1);
        EXPECT_TRUE(owner);
        EXPECT_TRUE(IsOpen(fd));
    }
    EXPECT_FALSE(IsOpen(fd));
    EXPECT_TRUE(IsOpen(write.Get()));
}

TEST(UniqueFd, MovesHandOverAndAssignmentClosesTheOldOne) {
    auto [a, b] = Pipe();
    const int first = a.Get();
    const int second = b.Get();
    UniqueFd moved(std::move(a));
    EXPECT_FALSE(a);
    EXPECT_EQ(moved.Get(), first);
    moved = std::move(b);
    EXPECT_FALSE(IsOpen(first));
    EXPECT_TRUE(IsOpen(second));
    EXPECT_EQ(moved.Get(), second);
    MoveAssign(moved, moved);
    EXPECT_TRUE(IsOpen(second)) << "a move onto itself keeps the descriptor";
}

TEST(UniqueFd, ResetClosesOrKeeps) {
    auto [read, write] = Pipe();
    const int fd = read.Get();
    read.Reset(fd);
    EXPECT_TRUE(IsOpen(fd)) << "taking the descriptor it holds must not close it";
    read.Reset();
    EXPECT_FALSE(IsOpen(fd));
    EXPECT_FALSE(read);
}

TEST(WakePipe, BothEndsAreCloseOnExecAndNonBlocking) {
    const std::set<int> before = OpenDescriptors();
    const WakePipe wake;
    const std::set<int> after = OpenDescriptors();
    std::set<int> added;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                        std::inserter(added, added.end()));
    ASSERT_EQ(added.size(), 2u);
    EXPECT_TRUE(added.count(wake.ReadFd()));
    for (const int fd : added) {
        EXPECT_TRUE(IsCloseOnExec(fd)) << fd;
        EXPECT_TRUE(IsNonBlocking(fd)) << fd;
    }
}

TEST(WakePipe, WakesUntilDrainedAndNeverBlocksWhenFull) {
    const WakePipe wake;
    EXPECT_EQ(WaitFor(-1, 0, wake.ReadFd(), 0), Waited::TimedOut);
    wake.Wake();
    EXPECT_EQ(WaitFor(-1, 0, wake.ReadFd(), 0), Waited::Woken);
    EXPECT_EQ(WaitFor(-1, 0, wake.ReadFd(), 0), Waited::Woken) << "a wait does not drain it";
    wake.Drain();
    EXPECT_EQ(WaitFor(-1, 0, wake.ReadFd(), 0), Waited::TimedOut);
    // Far more than a pipe holds: a blocking write would hang here.
    for (int i = 0; i < 200000; ++i) {
        wake.Wake();
    }
    EXPECT_EQ(WaitFor(-1, 0, wake.ReadFd(), 0), Waited::Woken);
    wake.Drain();
    EXPECT_EQ(WaitFor(-1, 0, wake.ReadFd(), 0), Waited::TimedOut);
}

TEST(WakePipe, WakesAWaitOnAnotherThread) {
    const WakePipe wake;
    auto [read, write] = Pipe();
    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        wake.Wake();
    });
    EXPECT_EQ(WaitFor(read.Get(), POLLIN, wake.ReadFd(), Deadline::Never()), Waited::Woken);
    waker.join();
}

}  // namespace
}  // namespace qf580::posix
