// Binding the driver library at run time.
#include <gtest/gtest.h>

#include <optional>

#include "tests/link/LinkTestSupport.h"

namespace qf580::linktest {
namespace {

void ExpectHarmlessAbsentTable(UsbDriver d) {
    ASSERT_TRUE(d.OpenDevice && d.CloseDevice && d.ReadDevice && d.WriteDevice);
    EXPECT_EQ(d.OpenDevice(), 0);
    d.CloseDevice(0);
    std::uint8_t b = 0;
    std::int32_t count = 1;
    EXPECT_EQ(d.ReadDevice(0, &b, 1, &count, 10), 0);
    EXPECT_EQ(count, 0);
    count = 1;
    EXPECT_EQ(d.WriteDevice(0, &b, 1, &count, 10), 0);

    LinkSettings settings;
    settings.Set(UsbSettings());
    DeviceLink link(settings, ShortTimeouts(), std::move(d));
    EXPECT_EQ(link.OpenPort(), 0);
    EXPECT_EQ(link.ClosePort(), 1);
}

TEST(UsbDriverLoadTest, MissingLibraryGivesAHarmlessTable) {
    ExpectHarmlessAbsentTable(LoadUsbDriverFrom("/nonexistent/folder/librizedud.so"));
    ExpectHarmlessAbsentTable(LoadUsbDriverFrom("no-such-library-anywhere.so"));
    ExpectHarmlessAbsentTable(AbsentUsbDriver());
}

TEST(UsbDriverLoadTest, LibraryWithoutACallIsNotBoundAtAll) {
    // The partial library would open handle 42; none of its calls may be reached.
    ExpectHarmlessAbsentTable(LoadUsbDriverFrom(LINK_FAKE_DRIVER_PARTIAL));
}

TEST(UsbDriverLoadTest, FullLibraryBindsAndCallsThrough) {
    std::optional<UsbDriver> original = LoadUsbDriverFrom(LINK_FAKE_DRIVER);
    // The library stays loaded while a copy lives, even after the first table is gone.
    UsbDriver d = *original;
    original.reset();
    EXPECT_EQ(d.OpenDevice(), 42);
    EXPECT_EQ(d.CloseDevice(42), 1);
    EXPECT_EQ(d.CloseDevice(0), 0);

    LinkSettings settings;
    settings.Set(UsbSettings());
    DeviceLink link(settings, ShortTimeouts(), std::move(d));
    ASSERT_EQ(link.OpenPort(), 1);
    EXPECT_EQ(link.UsbHandle(), 42);
    EXPECT_EQ(link.SendData("hello", 5), 1);
    std::uint8_t buf[7] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    EXPECT_NE(link.RecvData(buf, 5), 0);
    EXPECT_EQ(Bytes(buf, buf + 7), (Bytes{'h', 'e', 'l', 'l', 'o', 0, 0xAA}));
    // The echo is drained: the library's failed read fails the receive.
    EXPECT_EQ(link.RecvData(buf, 1), 0);
    EXPECT_EQ(link.ClosePort(), 1);
}

}  // namespace
}  // namespace qf580::linktest
