// What the program's surroundings may do to it: a reader that never reads, output that cannot
// be written, stop signals a shell ignores, a connect nobody answers, too few descriptors,
// names made to act on a terminal. None of them may hold or spoil a transfer.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "sim/TcpDeviceServer.h"
#include "tests/cli/DeviceLabel.h"
#include "tests/cli/SignalMasks.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/UpdateSet.h"
#include "tests/support/WaitUntil.h"
#include "transfer/UpdateDisk.h"

namespace qf580::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using sim::TcpDeviceServer;

constexpr int kOutputIncomplete = 3;

class Surroundings : public ::testing::Test {
  protected:
    Surroundings() {
        file = tmp.Write("FW0001.q58", Header(kRomMain, 1) + Join(PassRecords(600, 7)) + kEnd);
    }

    // `devices` simulated devices, and the program's arguments that name them all.
    std::vector<std::string> Devices(std::size_t devices, std::vector<std::string> args) {
        for (std::size_t i = 0; i < devices; ++i) {
            servers.push_back(std::make_unique<TcpDeviceServer>());
            args.push_back("--address");
            args.push_back(Label(*servers.back()));
        }
        args.push_back(file);
        return args;
    }

    bool AllComplete(std::chrono::milliseconds limit) const {
        return WaitUntil(
            [this] {
                for (const auto& server : servers) {
                    if (!server->Complete()) {
                        return false;
                    }
                }
                return true;
            },
            limit);
    }

    // The program through a shell, its arguments after `script` as "$0" "$@".
    static std::vector<std::string> Shell(const std::string& script,
                                          std::vector<std::string> args) {
        args.insert(args.begin(), {"/bin/bash", "-c", script});
        return args;
    }

    TempDir tmp;
    std::string file;
    std::vector<std::unique_ptr<TcpDeviceServer>> servers;
};

// A FIFO whose reader never reads, with a pipe of one page: every device still gets the whole
// set, and once they all have, SIGINT ends the program within a second.
TEST_F(Surroundings, AReaderThatNeverReadsHoldsNoTransfer) {
    // A status line every 64 records: some 300 of them, more than the pipe takes.
    file = tmp.Write("big/FW0001.q58", Header(kRomMain, 1) + Join(PassRecords(20000, 7)) + kEnd);
    for (const std::size_t devices : {1u, 8u}) {
        for (const bool json : {true, false}) {
            SCOPED_TRACE(std::to_string(devices) + (json ? " devices, --json" : " devices"));
            servers.clear();
            const std::string fifo =
                tmp.path() + "/out" + std::to_string(devices) + (json ? "j" : "h");
            ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
            const posix::UniqueFd reader(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
            ASSERT_TRUE(reader);
            ASSERT_EQ(::fcntl(reader.Get(), F_SETPIPE_SZ, 4096), 4096);
            std::vector<std::string> args = Devices(devices, {QF580_FLASH});
            if (json) {
                args.insert(args.begin() + 1, "--json");
            }
            ChildProcess flash(Shell("exec \"$0\" \"$@\" > " + fifo, args));
            EXPECT_TRUE(AllComplete(20s));
            const auto stopped = Clock::now();
            flash.Signal(SIGINT);
            EXPECT_EQ(flash.Wait(5s), kOutputIncomplete) << flash.err;
            EXPECT_LT(Clock::now() - stopped, 1500ms);
        }
    }
}

// Output that cannot be written: every device completes, standard error says so once, and
// the exit code tells that the record is incomplete.
TEST_F(Surroundings, OutputThatCannotBeWrittenStopsNothing) {
    // Lines for a while and more than a pipe holds: head goes away before the last of them.
    file = tmp.Write("big/FW0001.q58", Header(kRomMain, 1) + Join(PassRecords(20000, 7)) + kEnd);
    const std::vector<std::string> scripts = {
        "exec \"$0\" \"$@\" > /dev/full",
        "exec \"$0\" \"$@\" >&-",
        "\"$0\" \"$@\" | head -n 1 > /dev/null; exit ${PIPESTATUS[0]}",
    };
    for (const std::string& script : scripts) {
        for (const bool json : {true, false}) {
            SCOPED_TRACE(script + (json ? " --json" : ""));
            servers.clear();
            std::vector<std::string> args = Devices(4, {QF580_FLASH});
            if (json) {
                args.insert(args.begin() + 1, "--json");
            }
            ChildProcess flash(Shell(script, args));
            const int code = flash.Wait();
            EXPECT_TRUE(AllComplete(1s));
            EXPECT_EQ(code, kOutputIncomplete) << flash.err;
            const std::string said = "standard output could not be written";
            const std::size_t at = flash.err.find(said);
            EXPECT_NE(at, std::string::npos) << flash.err;
            EXPECT_EQ(flash.err.find(said, at + 1), std::string::npos) << "said once";
        }
    }
}

// SIGINT ignored in a background job, SIGHUP under nohup: the transfer goes on.
TEST_F(Surroundings, StopSignalsIgnoredAtTheStartStayIgnored) {
    for (const int signal : {SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        servers.clear();
        const std::string name = signal == SIGINT ? "INT" : "HUP";
        ChildProcess flash(
            Shell("trap '' " + name + "; exec \"$0\" \"$@\"", Devices(1, {QF580_FLASH})));
        // Sent once the program has the others blocked: a blocked signal would be queued.
        // While it starts a thread the C library blocks every signal for a moment, so the
        // mask is looked at until it settles; one that keeps the signal blocked never does.
        ASSERT_TRUE(WaitUntil(
            [&] {
                std::ifstream comm("/proc/" + std::to_string(flash.Pid()) + "/comm");
                std::string name;
                std::getline(comm, name);
                const auto blocked = SignalMask(flash.Pid(), "SigBlk");
                return name == "qf580-flash" && Has(blocked, SIGTERM) && !Has(blocked, signal);
            },
            10s));
        EXPECT_TRUE(Has(SignalMask(flash.Pid(), "SigIgn"), signal));
        flash.Signal(signal);
        EXPECT_EQ(flash.Wait(), 0) << flash.out << flash.err;
        EXPECT_TRUE(servers[0]->Complete());
    }
}

// A listener whose accept queue is full: its host answers no SYN, so a connect waits for the
// system's own limit (minutes) unless a stop or --timeout-ms ends it.
TEST_F(Surroundings, AConnectNobodyAnswersEndsOnAStopOrItsLimit) {
    const posix::UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(::listen(listener.Get(), 0), 0);
    ASSERT_EQ(::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &size), 0);
    std::vector<posix::UniqueFd> fillers;
    for (int i = 0; i < 3; ++i) {
        fillers.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        ::connect(fillers.back().Get(), reinterpret_cast<sockaddr*>(&address), size);
    }
    std::this_thread::sleep_for(100ms);
    const std::string target = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));

    ChildProcess stopped({QF580_FLASH, "--address", target, file});
    ASSERT_TRUE(stopped.WaitForOutput("Searching for KV6200\n", 10s));
    std::this_thread::sleep_for(300ms);
    const auto signalled = Clock::now();
    stopped.Signal(SIGINT);
    EXPECT_EQ(stopped.Wait(5s), 10) << stopped.out << stopped.err;
    EXPECT_LT(Clock::now() - signalled, 1s);
    EXPECT_EQ(stopped.Lines().back(), "Aborted according to instruction received");

    const auto started = Clock::now();
    ChildProcess limited({QF580_FLASH, "--timeout-ms", "300", "--address", target, file});
    EXPECT_EQ(limited.Wait(10s), 12) << limited.out << limited.err;
    EXPECT_LT(Clock::now() - started, 3s);
}

// Eight devices under a limit of 20 open files: refused before any is contacted when the hard
// limit allows no more, flashed when the soft limit could be raised.
TEST_F(Surroundings, TheOpenFileLimitIsCheckedFirst) {
    for (const char* limit : {"-n 20", "-Sn 20"}) {
        SCOPED_TRACE(limit);
        servers.clear();
        ChildProcess flash(Shell(std::string("ulimit ") + limit + "; exec \"$0\" \"$@\"",
                                 Devices(8, {QF580_FLASH})));
        const int code = flash.Wait();
        std::size_t contacted = 0;
        for (const auto& server : servers) {
            contacted += server->ConnectionsAccepted();
        }
        if (std::string(limit) == "-n 20") {
            EXPECT_EQ(code, 2);
            EXPECT_EQ(contacted, 0u);
            EXPECT_NE(flash.err.find("8 devices at once need about"), std::string::npos)
                << flash.err;
            EXPECT_NE(flash.err.find("the limit is 20"), std::string::npos) << flash.err;
        } else {
            EXPECT_EQ(code, 0) << flash.err;
            EXPECT_TRUE(AllComplete(1s));
        }
    }
}

// A folder named to clear the screen and fake a line: shown escaped, never as it would act.
TEST_F(Surroundings, NamesReachTheTerminalEscaped) {
    const std::string folder = "a\x1b[2Jb\nTransfer completed";
    const std::string path =
        tmp.Write(folder + "/FW0001.q58", Header(kRomMain, 1) + Join(PassRecords(3, 7)) + kEnd);
    ChildProcess check({QF580_FLASH, "--check", path});
    EXPECT_EQ(check.Wait(), 0) << check.err;
    EXPECT_EQ(check.out.find('\x1b'), std::string::npos) << check.out;
    EXPECT_NE(check.out.find("a\\x1b[2Jb\\nTransfer completed/FW0001.q58"), std::string::npos)
        << check.out;
}

}  // namespace
}  // namespace qf580::test
