// The benchmark's yardstick, bench/baseline_sender.c, against the device model: it must do
// exactly the work the worker does, or the benchmark compares different things. The same set
// sent by qf580-flash and by qf580-baseline reaches the device as the same bytes, and both
// complete; a set the baseline cannot send whole is refused, never sent in part.
#include <gtest/gtest.h>

#include <fstream>

#include "sim/TcpDeviceServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/worker/WorkerSupport.h"

namespace qf580::test {
namespace {

using namespace std::chrono_literals;
using sim::TcpDeviceServer;

struct SentBy {
    int exitCode;
    Bytes bytes;
    bool complete;
    std::vector<std::vector<Bytes>> passes;
};

SentBy Send(std::vector<std::string> args, sim::FaultPlan plan = {}) {
    TcpDeviceServer device(std::move(plan));
    args.insert(args.end(), {"--port", std::to_string(device.Port())});
    ChildProcess program(args);
    const int code = program.Wait(10s);
    EXPECT_TRUE(device.WaitForConnectionsEnded(1, 5s)) << program.err;
    return {code, device.Received().bytes, device.Complete(), device.Received().passes};
}

TEST(Baseline, SendsTheBytesTheCommandLineSends) {
    struct Case {
        const char* name;
        int romType;
        std::vector<std::vector<Bytes>> passes;
    };
    std::vector<Bytes> mixed;  // every record size, across three acknowledgement points
    for (int i = 0; i <= 200; ++i) {
        mixed.push_back(Record(1 + (i * 37) % 255, static_cast<unsigned>(i)));
    }
    const std::vector<Case> cases{
        {"MAIN, mixed sizes", kRomMain, {mixed}},
        {"SUB, two passes", kRomSub, {PassRecords(70, 1), PassRecords(2, 9, 255)}},
        {"IRIG, a pass of START only", kRomIrig, {PassRecords(0, 3), PassRecords(65, 4)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir tmp;
        Bytes disk = Header(c.romType, 1);
        for (const auto& pass : c.passes) {
            disk = disk + Join(pass) + kEnd;
        }
        const std::string file = tmp.Write("FW0001.q58", disk);
        const std::string times = tmp.dir() + "times";

        const SentBy flash = Send({QF580_FLASH, file, "--address", "127.0.0.1", "--timeout-ms",
                                   "2000", "--disk-answer", "cancel"});
        const SentBy baseline = Send({QF580_BASELINE, "--times", times, file});
        EXPECT_EQ(flash.exitCode, 0);
        EXPECT_EQ(baseline.exitCode, 0);
        EXPECT_TRUE(flash.complete);
        EXPECT_TRUE(baseline.complete);
        EXPECT_EQ(baseline.passes, c.passes);
        EXPECT_EQ(baseline.bytes, flash.bytes);

        double wall = -1;
        double cpu = -1;
        std::ifstream(times) >> wall >> cpu;
        EXPECT_GT(wall, 0.0);
        EXPECT_GE(cpu, 0.0);
    }
}

// Where the device answers "N" instead of "Y", both stop: so both wait for an answer at the
// same records and have sent the same bytes by then.
TEST(Baseline, WaitsForTheAcknowledgementsTheCommandLineWaitsFor) {
    TempDir tmp;
    const std::string file =
        tmp.Write("FW0001.q58", Header(kRomSub, 1) + Join(PassRecords(140, 1)) + kEnd +
                                    Join(PassRecords(70, 2)) + kEnd);
    for (const auto& [pass, index] :
         {std::pair{1, 0}, {1, 1}, {1, 65}, {1, 129}, {2, 0}, {2, 65}}) {
        SCOPED_TRACE("pass " + std::to_string(pass) + ", record " + std::to_string(index));
        sim::FaultPlan plan;
        plan.faults.push_back(
            At(sim::FaultKind::WrongByte, sim::ReplyPoint::RecordAck, index, pass));
        const SentBy flash = Send({QF580_FLASH, file, "--address", "127.0.0.1", "--timeout-ms",
                                   "2000", "--disk-answer", "cancel"},
                                  plan);
        const SentBy baseline = Send({QF580_BASELINE, file}, plan);
        EXPECT_EQ(flash.exitCode, 20);
        EXPECT_EQ(baseline.exitCode, 1);
        EXPECT_EQ(baseline.bytes, flash.bytes);
    }
}

TEST(Baseline, RefusesASetItCannotSendWhole) {
    std::vector<Bytes> records = PassRecords(5, 2);
    const Bytes header = Header(kRomMain, 1);
    Bytes unknownRom = header + Join(records) + kEnd;
    unknownRom[0] = 'X';
    struct Case {
        const char* name;
        Bytes disk;
        bool connects;  // a set found short only while it is sent
    };
    const std::vector<Case> cases{
        {"unknown ROM type", unknownRom, false},
        {"shorter than a header", Bytes(header.begin(), header.begin() + 40), false},
        {"no END record", header + Join(records), true},
        {"cut inside a record", header + Join(records) + Bytes{0x03, 0x01}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir tmp;
        const std::string file = tmp.Write("FW0001.q58", c.disk);
        TcpDeviceServer device;
        ChildProcess baseline({QF580_BASELINE, file, "--port", std::to_string(device.Port())});
        EXPECT_EQ(baseline.Wait(), 1);
        EXPECT_FALSE(baseline.err.empty());
        if (c.connects) {
            ASSERT_TRUE(device.WaitForConnectionsEnded(1, 5s));
            EXPECT_FALSE(device.Complete());
        } else {
            EXPECT_EQ(device.ConnectionsAccepted(), 0u);
        }
    }
}

}  // namespace
}  // namespace qf580::test
