// The link over USB against scripted driver tables.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/link/LinkTestSupport.h"

namespace qf580::linktest {
namespace {

struct UsbLink {
    UsbLink() : link(settings, ShortTimeouts(), usb.Driver()) { settings.Set(UsbSettings()); }
    LinkSettings settings;
    FakeUsb usb;
    DeviceLink link;
};

TEST(UsbLinkTest, OpenKeepsTheHandleAndPassesItToEveryCall) {
    UsbLink t;
    t.usb.s->openResult = 0x1234567;
    t.usb.s->reads = {{1, 1, 'q'}};
    ASSERT_EQ(t.link.OpenPort(), 1);
    EXPECT_EQ(t.link.UsbHandle(), 0x1234567);
    std::uint8_t buf[2];
    EXPECT_NE(t.link.RecvData(buf, 1), 0);
    EXPECT_NE(t.link.SendData("w", 1), 0);
    EXPECT_EQ(t.link.ClosePort(), 1);
    EXPECT_EQ(t.usb.s->readHandles, std::vector<std::int32_t>{0x1234567});
    ASSERT_EQ(t.usb.s->writes.size(), 1u);
    EXPECT_EQ(t.usb.s->writes[0].handle, 0x1234567);
    EXPECT_EQ(t.usb.s->closes, std::vector<std::int32_t>{0x1234567});
}

TEST(UsbLinkTest, FailedOrAbsentOpenClosesHandleZero) {
    for (const bool tried : {false, true}) {
        SCOPED_TRACE(tried ? "open failed" : "never opened");
        UsbLink t;
        t.usb.s->openResult = 0;
        if (tried) {
            EXPECT_EQ(t.link.OpenPort(), 0);
            EXPECT_EQ(t.link.UsbHandle(), 0);
            std::uint8_t b[2] = {0xAA, 0xAA};
            EXPECT_EQ(t.link.SendData("x", 1), 0);
            EXPECT_EQ(t.link.RecvData(b, 1), 0);
            EXPECT_EQ(b[0], 0);
            EXPECT_TRUE(t.usb.s->readHandles.empty());
            EXPECT_TRUE(t.usb.s->writes.empty());
        }
        EXPECT_EQ(t.link.ClosePort(), 1);
        EXPECT_EQ(t.usb.s->closes, std::vector<std::int32_t>{0});
    }
}

TEST(UsbLinkTest, ReceiveOfZeroOrLessSucceedsWithoutACall) {
    UsbLink t;
    ASSERT_EQ(t.link.OpenPort(), 1);
    for (const int len : {0, -1, -32768}) {
        std::uint8_t buf[2] = {0xAA, 0xBB};
        EXPECT_NE(t.link.RecvData(buf, len), 0);
        EXPECT_EQ(buf[0], 0);
        EXPECT_EQ(buf[1], 0xBB);
    }
    EXPECT_TRUE(t.usb.s->readHandles.empty());
}

TEST(UsbLinkTest, ReceiveAsksOneByteAtATimeWithTheCallLimitAndTerminates) {
    UsbLink t;
    t.usb.s->reads = {{1, 1, 'A'}, {1, 1, 'B'}, {1, 1, 'C'}};
    ASSERT_EQ(t.link.OpenPort(), 1);
    std::uint8_t buf[5];
    std::memset(buf, 0xAA, sizeof buf);
    EXPECT_NE(t.link.RecvData(buf, 3), 0);
    EXPECT_EQ(Bytes(buf, buf + 5), (Bytes{'A', 'B', 'C', 0, 0xAA}));
    EXPECT_EQ(t.usb.s->readWanted, (std::vector<std::int32_t>{1, 1, 1}));
    EXPECT_EQ(t.usb.s->readTimeouts, std::vector<std::int32_t>(3, ShortTimeouts().usbCallMs));
}

TEST(UsbLinkTest, ReceiveAdvancesOnlyByTheReportedCountAndEndsOnlyOnAFailedCall) {
    UsbLink t;
    // Successes without a byte are asked again; the driver's non-zero result is kept.
    t.usb.s->reads = {{1, 0, 'x'}, {1, 0, 'y'}, {1, 1, 'A'}, {1, 0, 'z'}, {9, 1, 'B'}};
    ASSERT_EQ(t.link.OpenPort(), 1);
    std::uint8_t buf[4];
    std::memset(buf, 0xAA, sizeof buf);
    EXPECT_EQ(t.link.RecvData(buf, 2), 9);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{'A', 'B', 0, 0xAA}));
    EXPECT_EQ(t.usb.s->readHandles.size(), 5u);

    t.usb.s->reads = {{1, 1, 'C'}, {1, 0, 'w'}, {0, 0, 0}};
    std::memset(buf, 0xAA, sizeof buf);
    EXPECT_EQ(t.link.RecvData(buf, 3), 0);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{'C', 0, 0xAA, 0xAA}));
}

TEST(UsbLinkTest, ACountOutsideOneByteFailsRatherThanOverrunning) {
    for (const std::int32_t count : {2, 1 << 30, -1, -(1 << 30)}) {
        SCOPED_TRACE(count);
        UsbLink t;
        t.usb.s->reads = {{1, 1, 'A'}, {1, count, 'B'}, {1, 1, 'C'}};
        ASSERT_EQ(t.link.OpenPort(), 1);
        std::uint8_t buf[5];
        std::memset(buf, 0xAA, sizeof buf);
        EXPECT_EQ(t.link.RecvData(buf, 3), 0);
        // The faulty call's byte is covered by the closing 0; nothing past it is touched.
        EXPECT_EQ(Bytes(buf, buf + 5), (Bytes{'A', 0, 0xAA, 0xAA, 0xAA}));
        EXPECT_EQ(t.usb.s->readHandles.size(), 2u);
    }
}

TEST(UsbLinkTest, WriteSucceedsOnlyWhenTheCountMatches) {
    struct Case {
        std::int32_t result;
        std::int32_t delta;
        int expected;
    };
    const Case cases[] = {{1, 0, 1}, {5, 0, 5}, {0, 0, 0}, {1, -1, 0}, {1, 1, 0}, {1, -4, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.result) + "/" + std::to_string(c.delta));
        UsbLink t;
        t.usb.s->writeResult = c.result;
        t.usb.s->writeCountDelta = c.delta;
        ASSERT_EQ(t.link.OpenPort(), 1);
        const Bytes data{1, 2, 3, 4};
        EXPECT_EQ(t.link.SendData(data.data(), 4), c.expected);
        ASSERT_EQ(t.usb.s->writes.size(), 1u);
        EXPECT_EQ(t.usb.s->writes[0].data, data);
        EXPECT_EQ(t.usb.s->writes[0].presetCount, 4);
        EXPECT_EQ(t.usb.s->writes[0].timeoutMs, ShortTimeouts().usbCallMs);
    }
}

TEST(UsbLinkTest, AFullBatchGoesOutInOneCall) {
    UsbLink t;
    ASSERT_EQ(t.link.OpenPort(), 1);
    const Bytes batch(32768, 0x7E);
    EXPECT_EQ(t.link.SendData(batch.data(), 32768), 1);
    ASSERT_EQ(t.usb.s->writes.size(), 1u);
    EXPECT_EQ(t.usb.s->writes[0].data, batch);
}

TEST(UsbLinkTest, DriverExceptionsBecomeFailures) {
    UsbLink t;
    t.usb.s->throwing = true;
    EXPECT_EQ(t.link.OpenPort(), 0);
    EXPECT_EQ(t.link.ClosePort(), 1);

    UsbLink u;
    ASSERT_EQ(u.link.OpenPort(), 1);
    u.usb.s->throwing = true;
    std::uint8_t buf[2] = {0xAA, 0xAA};
    EXPECT_EQ(u.link.RecvData(buf, 1), 0);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(u.link.SendData("x", 1), 0);
    EXPECT_EQ(u.link.ClosePort(), 1);
    EXPECT_EQ(u.usb.s->closes, std::vector<std::int32_t>{7});
}

TEST(UsbLinkTest, SwitchingToTcpAfterAUsbOpenKeepsToUsbUpToItsClose) {
    Peer peer;
    UsbLink t;
    t.usb.s->reads = {{1, 1, 'r'}};
    ASSERT_EQ(t.link.OpenPort(), 1);
    LinkSettingsValues tcp = TcpSettings(peer.Port());
    t.settings.Set(tcp);
    EXPECT_EQ(t.link.SendData("s", 1), 1);
    std::uint8_t buf[2];
    EXPECT_NE(t.link.RecvData(buf, 1), 0);
    EXPECT_EQ(buf[0], 'r');
    EXPECT_EQ(t.link.ClosePort(), 1);
    EXPECT_EQ(t.usb.s->writes.size(), 1u);
    EXPECT_EQ(t.usb.s->readHandles.size(), 1u);
    EXPECT_EQ(t.usb.s->closes, std::vector<std::int32_t>{7});
    EXPECT_FALSE(peer.Accept(50));
}

// A write's success is the driver's word that the device took the bytes: confirming asks the
// driver nothing more, and sends nothing.
TEST(UsbLinkTest, DeliveryIsTheDriversWordWhileTheDeviceIsOpen) {
    UsbLink t;
    EXPECT_EQ(t.link.ConfirmDelivery(), 0) << "never opened";
    ASSERT_EQ(t.link.OpenPort(), 1);
    EXPECT_NE(t.link.SendData("w", 1), 0);
    EXPECT_EQ(t.link.ConfirmDelivery(), 1);
    EXPECT_EQ(t.usb.s->writes.size(), 1u);
    EXPECT_TRUE(t.usb.s->readHandles.empty());
    EXPECT_EQ(t.link.ClosePort(), 1);
    EXPECT_EQ(t.link.ConfirmDelivery(), 0) << "closed";
}

}  // namespace
}  // namespace qf580::linktest
