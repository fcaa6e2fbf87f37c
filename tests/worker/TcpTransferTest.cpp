// The worker with its real TCP/IP link, against the device model on a loopback socket.
#include <gtest/gtest.h>

#include "TcpDeviceServer.h"
#include "WorkerSupport.h"

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

TEST_F(TcpTransfer, RefusedFileNeverConnects) {
    Bytes disk = Header(kRomMain, 1) + Record(2, 1) + kEnd;
    disk[0] = 'X';
    tmp.Write("FW0001.q58", disk);
    TcpDeviceServer device;
    RunOne(host, Env(device.Port()));
    EXPECT_EQ(host.statuses(), (Statuses{"Invalid ROM Type"}));
    EXPECT_EQ(device.ConnectionsAccepted(), 0u);
}

}  // namespace
}  // namespace qf580::test
