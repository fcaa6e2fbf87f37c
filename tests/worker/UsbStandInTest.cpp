// The worker through the real driver binding: the simulator's stand-in librizedud.so, loaded
// at run time, talking to the device model behind a Unix socket.
#include <gtest/gtest.h>

#include <stdlib.h>

#include "sim/SampleSet.h"
#include "sim/UnixDeviceServer.h"
#include "tests/worker/WorkerSupport.h"

namespace qf580::test {
namespace {

using namespace std::chrono_literals;
using Sizes = std::vector<std::size_t>;

class UsbStandIn : public ::testing::Test {
  protected:
    void SetUp() override {
        // Read by the stand-in when the worker opens the device, long after this.
        ::setenv("QF580_SIM_SOCKET", socketPath.c_str(), 1);
        host.Settings().SetUseUSB(1);
    }
    void TearDown() override { ::unsetenv("QF580_SIM_SOCKET"); }

    TransEnvironment Env() const {
        TransEnvironment env;
        env.timeouts = ShortTimeouts();
        env.usb = LoadUsbDriverFrom(QF_STANDIN_DRIVER);
        return env;
    }

    TempDir tmp;
    std::string socketPath = tmp.dir() + "sim.sock";
    RecordingHost host{tmp.dir()};
};

TEST_F(UsbStandIn, FastTransferWritesAsTheDriverSeesThem) {
    const Bytes header = Header(kRomMain, 1);
    const std::vector<Bytes> records = PassRecords(65, 12, 255);
    tmp.Write("FW0001.q58", header + Join(records) + kEnd);
    sim::UnixDeviceServer device(socketPath);

    RunOne(host, Env());
    ASSERT_TRUE(device.WaitForConnectionsEnded(1, 5s));

    EXPECT_EQ(host.outcome(), "Transfer completed");
    const sim::ReceivedData received = device.Received();
    EXPECT_EQ(received.bytes, Handshake(header) + Join(records) + kEnd);
    EXPECT_EQ(received.writeSizes, (HandshakeWrites() + Sizes{512, 512, kFastBufferSize, 1}));
}

TEST_F(UsbStandIn, SampleSetOfTwoDisksAndTwoPasses) {
    sim::SampleOptions options;
    options.romType = kRomIrig;
    options.disks = 2;
    options.recordsPerPass = 150;
    const std::vector<std::string> paths = sim::WriteSampleSet(tmp.dir(), "FW0000.q58", options);
    ASSERT_EQ(paths.size(), 2u);
    sim::UnixDeviceServer device(socketPath);

    RunOne(host, Env());
    ASSERT_TRUE(device.WaitForConnectionsEnded(1, 5s));

    EXPECT_EQ(host.outcome(), "Transfer completed");
    EXPECT_TRUE(device.Complete()) << device.State();
    EXPECT_EQ(device.Received().passes.size(), 2u);
}

// A driver's call can't be cut short: the stop waits for the one in progress.
TEST_F(UsbStandIn, StopWhileTheDeviceIsSilentAbortsWhenTheCallReturns) {
    tmp.Write("FW0001.q58", Header(kRomMain, 1) + Join(PassRecords(3, 1)) + kEnd);
    sim::UnixDeviceServer device(socketPath,
                                 {{At(sim::FaultKind::Silence, sim::ReplyPoint::RecordAck)}, 0});
    TransEnvironment env = Env();
    env.timeouts.usbCallMs = 300;
    EXPECT_LT(StoppedAt(host, "Sending START record", std::move(env)), 1s);
    EXPECT_EQ(host.outcome(), "Aborted according to instruction received");
}

TEST_F(UsbStandIn, DeviceClosingAtAnAckEndsTheTransfer) {
    tmp.Write("FW0001.q58", Header(kRomMain, 1) + Join(PassRecords(70, 1)) + kEnd);
    sim::Fault fault;
    fault.kind = sim::FaultKind::Close;
    fault.at = sim::ReplyPoint::RecordAck;
    fault.recordIndex = 65;
    sim::UnixDeviceServer device(socketPath, sim::FaultPlan{{fault}, 0});

    RunOne(host, Env());

    EXPECT_EQ(host.outcome(), "Aborted due to communication error");
}

TEST_F(UsbStandIn, NoSimulatorRunningCannotOpenPort) {
    tmp.Write("FW0001.q58", Header(kRomMain, 1) + Record(2, 1) + kEnd);
    RunOne(host, Env());
    EXPECT_EQ(host.statuses(), Then(ToHandshake(), "Cannot open port"));
}

}  // namespace
}  // namespace qf580::test
