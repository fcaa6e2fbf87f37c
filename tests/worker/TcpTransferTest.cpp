// The worker with its real TCP/IP link, against the device model on a loopback socket.
#include <gtest/gtest.h>

#include "sim/TcpDeviceServer.h"
#include "tests/worker/WorkerSupport.h"

namespace qf580::test {
namespace {

using namespace std::chrono_literals;
using sim::Fault;
using sim::FaultKind;
using sim::FaultPlan;
using sim::ReplyPoint;
using sim::TcpDeviceServer;

class TcpTransfer : public ::testing::Test {
  protected:
    TransEnvironment Env(std::uint16_t port) {
        host.Settings().SetUseUSB(0);
        host.Settings().SetIPAddress("127.0.0.1");
        host.Settings().SetPortNo(port);
        TransEnvironment env;
        env.timeouts = ShortTimeouts();
        return env;
    }

    TempDir tmp;
    RecordingHost host{tmp.dir()};
};

TEST_F(TcpTransfer, WorkedExampleWithFastTransferOnAndOff) {
    const Bytes header = Header(kRomMain, 1);
    const Bytes body = Bytes{0x01, 0x12, 0x34, 0x46} + Bytes{0x02, 0x01, 0x02, 0x03, 0x04, 0x0A};
    tmp.Write("FW0001.q58", header + body + kEnd);
    for (bool fast : {true, false}) {
        SCOPED_TRACE(fast ? "fast" : "not fast");
        host.Settings().SetFastTrans(fast);
        TcpDeviceServer device;
        RunOne(host, Env(device.Port()));
        ASSERT_TRUE(device.WaitForConnectionsEnded(1, 5s));
        EXPECT_EQ(device.Received().bytes, Handshake(header) + body + kEnd);
        EXPECT_EQ(host.statuses(), TransferTexts({1}));
        EXPECT_TRUE(device.Complete()) << device.State();
    }
}

TEST_F(TcpTransfer, TwoPassesAcrossTwoDisks) {
    const std::vector<Bytes> pass1 = PassRecords(150, 1, 255);
    const std::vector<Bytes> pass2 = PassRecords(66, 2, 30);
    // Disk 1 ends after record 100 of pass 1.
    tmp.Write("FW0001.q58",
              Header(kRomSub, 1) + Join(std::vector<Bytes>(pass1.begin(), pass1.begin() + 101)));
    tmp.Write("FW0002.q58", Header(kRomSub, 2) +
                                Join(std::vector<Bytes>(pass1.begin() + 101, pass1.end())) + kEnd +
                                Join(pass2) + kEnd);
    TcpDeviceServer device;
    RunOne(host, Env(device.Port()));
    ASSERT_TRUE(device.WaitForConnectionsEnded(1, 5s));

    EXPECT_EQ(host.outcome(), "Transfer completed");
    EXPECT_EQ(device.Received().bytes,
              Handshake(Header(kRomSub, 1)) + Join(pass1) + kEnd + Join(pass2) + kEnd);
    EXPECT_TRUE(device.Complete()) << device.State();
}

struct TcpFailure {
    const char* name;
    Fault fault;
    const char* outcome;
};

void PrintTo(const TcpFailure& c, std::ostream* os) {
    *os << c.name;
}

class TcpFailures : public TcpTransfer, public ::testing::WithParamInterface<TcpFailure> {};

TEST_P(TcpFailures, EndWithTheirTextThenANewTransferConnectsAfresh) {
    const std::vector<Bytes> records = PassRecords(70, 4);
    tmp.Write("FW0001.q58", Header(kRomMain, 1) + Join(records) + kEnd);
    {
        TcpDeviceServer device(FaultPlan{{GetParam().fault}, 0});
        RunOne(host, Env(device.Port()));
        ASSERT_TRUE(device.WaitForConnectionsEnded(1, 5s));
        EXPECT_EQ(host.outcome(), GetParam().outcome);
    }
    TcpDeviceServer device;
    RunOne(host, Env(device.Port()));
    ASSERT_TRUE(device.WaitForConnectionsEnded(1, 5s));
    EXPECT_EQ(host.outcome(), "Transfer completed");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TcpFailures,
    ::testing::Values(TcpFailure{"SyncWrong", At(FaultKind::WrongByte, ReplyPoint::Sync),
                                 "Communication setup failure"},
                      TcpFailure{"SyncSilence", At(FaultKind::Silence, ReplyPoint::Sync),
                                 "Aborted due to communication error"},
                      TcpFailure{"IdentClosed", At(FaultKind::Close, ReplyPoint::Ident),
                                 "Couldn't receive QUILLMAR character string"},
                      TcpFailure{"HeaderSizeWrong",
                                 At(FaultKind::WrongByte, ReplyPoint::HeaderSize),
                                 "Heder size communication failure"},
                      TcpFailure{"HeaderAckClosed", At(FaultKind::Close, ReplyPoint::HeaderAck),
                                 "Aborted due to communication error"},
                      TcpFailure{"HeaderAckWrong", At(FaultKind::WrongByte, ReplyPoint::HeaderAck),
                                 "Header transfer error"},
                      TcpFailure{"Ack65Silence", At(FaultKind::Silence, ReplyPoint::RecordAck, 65),
                                 "Aborted due to communication error"},
                      TcpFailure{"Ack1Closed", At(FaultKind::Close, ReplyPoint::RecordAck, 1),
                                 "Aborted due to communication error"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TcpTransfer, NothingListeningCannotOpenPort) {
    std::uint16_t port = 0;
    {
        TcpDeviceServer closedSoon;  // a port that was free a moment ago
        port = closedSoon.Port();
    }
    tmp.Write("FW0001.q58", Header(kRomMain, 1) + Record(2, 1) + kEnd);
    RunOne(host, Env(port));
    EXPECT_EQ(host.statuses(), Then(ToHandshake(), "Cannot open port"));
}

// A silent device holds the wait for its reply 15 s at the production limits.
TEST_F(TcpTransfer, StopWhileTheDeviceIsSilentAbortsWithinASecond) {
    tmp.Write("FW0001.q58", Header(kRomMain, 1) + Join(PassRecords(3, 1)) + kEnd);
    TcpDeviceServer device(FaultPlan{{At(FaultKind::Silence, ReplyPoint::RecordAck)}, 0});
    TransEnvironment env = Env(device.Port());
    env.timeouts = LinkTimeouts{};
    EXPECT_LT(StoppedAt(host, "Sending START record", std::move(env)), 1s);
    EXPECT_EQ(host.outcome(), "Aborted according to instruction received");
}

TEST_F(TcpTransfer, RefusedFileNeverConnects) {
    Bytes disk = Header(kRomMain, 1) + Record(2, 1) + kEnd;
    disk[0] = 'X';
    tmp.Write("FW0001.q58", disk);
    TcpDeviceServer device;
    RunOne(host, Env(device.Port()));
    EXPECT_EQ(host.statuses(), (Statuses{"Invalid ROM Type"}));
    EXPECT_EQ(device.ConnectionsAccepted(), 0u);
}

// After the last periodic acknowledgement the rest of the pass and the END byte get no
// answer. A device gone anywhere in that stretch must not be reported as a success; one that
// took every byte and then closed is one.
class LastStretch : public TcpTransfer {
  protected:
    // A SUB set whose pass 2 holds records 0 to 80: acknowledged last at 65, so 66 to 80
    // and the END byte make up the stretch.
    void SetUp() override {
        pass1 = PassRecords(3, 1);
        pass2 = PassRecords(80, 2, 4);
        tmp.Write("FW0001.q58", Header(kRomSub, 1) + Join(pass1) + kEnd + Join(pass2) + kEnd);
        everything = Handshake(Header(kRomSub, 1)) + Join(pass1) + kEnd + Join(pass2) + kEnd;
        const std::vector<Bytes> stretch(pass2.begin() + 66, pass2.end());
        stretchLength = Join(stretch).size() + 1;
    }

    std::string Run(bool fast, const Fault& fault) {
        host.Settings().SetFastTrans(fast);
        TcpDeviceServer device(FaultPlan{{fault}, 0});
        RunOne(host, Env(device.Port()));
        EXPECT_TRUE(device.WaitForConnectionsEnded(1, 5s));
        const Statuses statuses = host.statuses();
        EXPECT_GE(statuses.size(), 2u);
        if (statuses.size() >= 2) {
            EXPECT_EQ(statuses[statuses.size() - 2], "Sending (65) Record")
                << "the stretch after the last acknowledgement was reached";
        }
        state = device.State();
        // 100% only with "Transfer completed": never for a device gone in the stretch.
        const std::vector<RecordingHost::ProgressAt> reports = host.progress();
        EXPECT_FALSE(reports.empty());
        const bool completed = host.outcome() == "Transfer completed";
        for (std::size_t k = 0; k < reports.size(); ++k) {
            const bool last = k + 1 == reports.size();
            EXPECT_EQ(reports[k].progress.Percent() == 100, completed && last) << "report " << k;
        }
        return host.outcome();
    }

    std::vector<Bytes> pass1;
    std::vector<Bytes> pass2;
    Bytes everything;
    std::size_t stretchLength = 0;
    std::string state;
};

TEST_F(LastStretch, DeviceClosingAfterAnyRecordIsACommunicationError) {
    for (const bool fast : {true, false}) {
        for (int index = 66; index <= 80; ++index) {
            SCOPED_TRACE(std::string(fast ? "fast, " : "not fast, ") + "closed after record " +
                         std::to_string(index));
            EXPECT_EQ(Run(fast, At(FaultKind::Close, ReplyPoint::RecordAck, index, 2)),
                      "Aborted due to communication error");
            EXPECT_EQ(state, "closed the link at the acknowledgement of record " +
                                 std::to_string(index) + " of pass 2");
        }
    }
}

TEST_F(LastStretch, DeviceClosingInsideARecordOrBeforeTheEndByteIsACommunicationError) {
    const std::size_t total = everything.size();
    const std::size_t start = total - stretchLength;
    // The first byte of the stretch, inside its first record, half way, inside the last
    // record, and all but the END byte.
    for (const std::size_t taken :
         {start, start + 1, start + stretchLength / 2, total - 3, total - 1}) {
        for (const bool fast : {true, false}) {
            SCOPED_TRACE(std::string(fast ? "fast, " : "not fast, ") + "closed after " +
                         std::to_string(taken) + " of " + std::to_string(total) + " bytes");
            EXPECT_EQ(Run(fast, Fault::CloseAfter(taken)), "Aborted due to communication error");
            EXPECT_EQ(state, "closed the link after " + std::to_string(taken) + " bytes");
        }
    }
}

TEST_F(LastStretch, DeviceClosingOnceItHasEveryByteIsStillASuccess) {
    for (const bool fast : {true, false}) {
        SCOPED_TRACE(fast ? "fast" : "not fast");
        EXPECT_EQ(Run(fast, Fault::CloseAfter(everything.size())), "Transfer completed");
        EXPECT_EQ(state, "complete");
    }
}

}  // namespace
}  // namespace qf580::test
