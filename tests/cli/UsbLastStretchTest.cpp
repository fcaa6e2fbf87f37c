// qf580-flash over the stand-in USB driver when the device hangs up in the last stretch of a
// set: after its last acknowledgement the host sends the rest of the records and the END
// record with no answer to wait for, so only the driver's writes can tell it that the device
// is gone. A write succeeds once the device has taken it, as a USB bulk write does.
#include <stdlib.h>

#include <gtest/gtest.h>

#include "sim/UnixDeviceServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ShortTimeouts.h"
#include "tests/support/TempDir.h"
#include "tests/support/UpdateSet.h"
#include "transfer/UpdateDisk.h"

namespace qf580::test {
namespace {

using namespace std::chrono_literals;

// A SUB set: two passes of START and 79 more records; the last acknowledgement of each pass
// is at record 65, so the last stretch of the set is records 66 to 79 of pass 2 and END.
constexpr int kLastRecord = 79;
constexpr int kLastAck = 65;
constexpr int kCommunicationError = 20;

class UsbLastStretch : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        pass1 = PassRecords(kLastRecord, 1);
        pass2 = PassRecords(kLastRecord, 200);
        file =
            tmp.Write("FW0001.q58", Header(kRomSub, 1) + Join(pass1) + kEnd + Join(pass2) + kEnd);
        // The stand-in, loaded by the child, finds the device through this.
        ::setenv("QF580_SIM_SOCKET", socket.c_str(), 1);
    }
    void TearDown() override { ::unsetenv("QF580_SIM_SOCKET"); }

    ChildProcess Flash() const {
        return ChildProcess({QF580_FLASH, "--usb", "--usb-driver", QF_STANDIN_DRIVER,
                             GetParam() ? "--fast" : "--no-fast", "--timeout-ms",
                             std::to_string(kShortTimeoutMs), file});
    }
    Bytes Everything() const {
        return Handshake(Header(kRomSub, 1)) + Join(pass1) + kEnd + Join(pass2) + kEnd;
    }

    TempDir tmp;
    std::string socket = tmp.dir() + "usb.sock";
    std::vector<Bytes> pass1;
    std::vector<Bytes> pass2;
    std::string file;
};

TEST_P(UsbLastStretch, DeviceHangingUpAtAnyRecordIsACommunicationError) {
    for (int index = kLastAck + 1; index <= kLastRecord; ++index) {
        SCOPED_TRACE("hangs up after record " + std::to_string(index) + " of pass 2");
        sim::Fault hangUp;
        hangUp.kind = sim::FaultKind::Close;
        hangUp.at = sim::ReplyPoint::RecordAck;
        hangUp.pass = 2;
        hangUp.recordIndex = index;
        sim::UnixDeviceServer device(socket, sim::FaultPlan{{hangUp}, 0});

        ChildProcess flash = Flash();
        EXPECT_EQ(flash.Wait(), kCommunicationError) << flash.out << flash.err;
        ASSERT_FALSE(flash.Lines().empty());
        EXPECT_EQ(flash.Lines().back(), "Aborted due to communication error");
        ASSERT_TRUE(device.WaitForConnectionsEnded(1, 5s));
        EXPECT_FALSE(device.Complete()) << device.State();
    }
}

TEST_P(UsbLastStretch, DeviceHangingUpOnceItHasEverythingIsASuccess) {
    sim::FaultPlan plan;
    plan.closeWhenComplete = true;
    sim::UnixDeviceServer device(socket, plan);

    ChildProcess flash = Flash();
    EXPECT_EQ(flash.Wait(), 0) << flash.out << flash.err;
    ASSERT_FALSE(flash.Lines().empty());
    EXPECT_EQ(flash.Lines().back(), "Transfer completed");
    ASSERT_TRUE(device.WaitForConnectionsEnded(1, 5s));
    EXPECT_TRUE(device.Complete()) << device.State();
    EXPECT_EQ(device.Received().bytes, Everything());
}

TEST_P(UsbLastStretch, ADeviceThatStaysGivesTheSameBytes) {
    sim::UnixDeviceServer device(socket);
    ChildProcess flash = Flash();
    EXPECT_EQ(flash.Wait(), 0) << flash.out << flash.err;
    ASSERT_TRUE(device.WaitForConnectionsEnded(1, 5s));
    EXPECT_TRUE(device.Complete()) << device.State();
    EXPECT_EQ(device.Received().bytes, Everything());
}

INSTANTIATE_TEST_SUITE_P(FastTransfer, UsbLastStretch, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "On" : "Off"; });

}  // namespace
}  // namespace qf580::test
