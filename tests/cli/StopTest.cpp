// Ctrl+C at any moment of qf580-flash's life: before it runs, while it reads its arguments,
// before and during the transfer, and after it. Always a stop (exit code 10) or, once the
// transfer is through, a success; never death by the signal.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "sim/TcpDeviceServer.h"
#include "tests/cli/SignalMasks.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ShortTimeouts.h"
#include "tests/support/TempDir.h"
#include "tests/support/UpdateSet.h"
#include "tests/support/WaitUntil.h"
#include "transfer/UpdateDisk.h"

namespace qf580::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kStopped = 10;
const std::string kStoppedText = "Aborted according to instruction received";

std::vector<std::string> FlashArgs(const std::string& file, std::uint16_t port) {
    return {QF580_FLASH,    file,
            "--address",    "127.0.0.1",
            "--port",       std::to_string(port),
            "--timeout-ms", std::to_string(kShortTimeoutMs)};
}

// True once the process has SIGINT and SIGTERM blocked for its watcher, false when `limit`
// passed first (or it ended).
bool WaitForStopSignalsBlocked(pid_t pid, std::chrono::milliseconds limit) {
    return WaitUntil(
        [pid] {
            const unsigned long long blocked = SignalMask(pid, "SigBlk");
            return Has(blocked, SIGINT) && Has(blocked, SIGTERM);
        },
        limit);
}

class CliStop : public ::testing::Test {
  protected:
    // Two acknowledgement points after START, so a transfer takes a little while.
    std::string WriteSet() {
        return tmp.Write("FW0001.q58", Header(kRomMain, 1) + Join(PassRecords(130, 4)) + kEnd);
    }

    TempDir tmp;
};

// The moments before the program's first instruction belong to the system: the exec and the
// loader, which no program can act in (on a busy machine even a static C program that blocks
// SIGINT first thing dies of it in the first millisecond or two after it was started). So the
// moments are counted from when the program shows the stop signals blocked, which it does
// first thing, and spread over the whole of an undisturbed run and a little beyond its end.
TEST_F(CliStop, CtrlCAtAnyMomentIsAStopOrASuccess) {
    const std::string file = WriteSet();
    sim::TcpDeviceServer device;

    std::chrono::microseconds life{};
    {
        ChildProcess flash(FlashArgs(file, device.Port()));
        ASSERT_TRUE(WaitForStopSignalsBlocked(flash.Pid(), 10s));
        const auto begin = Clock::now();
        ASSERT_EQ(flash.Wait(), 0) << flash.out << flash.err;
        life = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begin);
    }

    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<long> moment(0, life.count() * 5 / 4);
    int stopped = 0;
    for (int run = 0; run < 50; ++run) {
        const std::chrono::microseconds delay(moment(random));
        SCOPED_TRACE("SIGINT " + std::to_string(delay.count()) + " us after the start");
        ChildProcess flash(FlashArgs(file, device.Port()));
        ASSERT_TRUE(WaitForStopSignalsBlocked(flash.Pid(), 10s));
        std::this_thread::sleep_for(delay);
        flash.Signal(SIGINT);
        const int code = flash.Wait();
        ASSERT_TRUE(code == kStopped || code == 0) << "exit code " << code << "\n" << flash.err;
        ASSERT_FALSE(flash.Lines().empty());
        EXPECT_EQ(flash.Lines().back(), code == 0 ? "Transfer completed" : kStoppedText);
        stopped += code == kStopped ? 1 : 0;
    }
    // Most moments fall inside the run; a test whose signals all came too late proves little.
    EXPECT_GT(stopped, 0);
}

// A stop that is waiting when the program starts (here: sent while SIGINT is blocked, which
// the program inherits, by a shell that then becomes the program) ends before the worker
// exists: the device is never contacted, and the exit code is that of a stop.
TEST_F(CliStop, AStopBeforeTheProgramRunsSendsNothing) {
    const std::string file = WriteSet();
    sim::TcpDeviceServer device;
    std::vector<std::string> args = {"/bin/sh", "-c", "kill -INT $$; exec \"$0\" \"$@\""};
    for (const std::string& arg : FlashArgs(file, device.Port())) {
        args.push_back(arg);
    }
    sigset_t interrupt;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    sigset_t saved;
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &interrupt, &saved), 0);
    std::optional<ChildProcess> flash;
    try {
        flash.emplace(args);
    } catch (...) {
        ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
        throw;
    }
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);

    EXPECT_EQ(flash->Wait(), kStopped) << flash->out << flash->err;
    EXPECT_EQ(flash->Lines(), std::vector<std::string>{kStoppedText});
    EXPECT_EQ(device.ConnectionsAccepted(), 0u);
}

// A silent device holds the wait for its reply 15 s at the production limits.
TEST_F(CliStop, CtrlCWhileTheDeviceIsSilentStopsAtOnce) {
    const std::string file = WriteSet();
    sim::TcpDeviceServer device(sim::FaultPlan{
        {sim::Fault{.kind = sim::FaultKind::Silence, .at = sim::ReplyPoint::RecordAck}}, 0});
    ChildProcess flash(
        {QF580_FLASH, file, "--address", "127.0.0.1", "--port", std::to_string(device.Port())});
    ASSERT_TRUE(flash.WaitForOutput("Sending START record\n", 10s)) << flash.out;
    flash.Signal(SIGINT);
    EXPECT_EQ(flash.Wait(1s), kStopped) << flash.err;
    EXPECT_EQ(flash.Lines().back(), kStoppedText);
}

}  // namespace
}  // namespace qf580::test
