#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "LinkSettings.h"

using namespace qf580;

TEST(LinkSettings, DefaultsAreTheDevicesFactorySettings) {
    const LinkSettingsValues v = LinkSettings().Get();
    EXPECT_EQ(v.UseUSB, 0);
    EXPECT_EQ(v.IPAddress, "192.168.0.1");
    EXPECT_EQ(v.PortNo, 8023u);
    EXPECT_TRUE(v.FastTrans);
}

// A reader on another thread only ever sees an address that was written whole.
TEST(LinkSettings, ReaderNeverSeesAHalfWrittenAddress) {
    LinkSettings settings;
    const std::string a(200, 'a');
    const std::string b(3, 'b');
    std::atomic<bool> done{false};
    std::atomic<bool> reading{false};
    std::thread writer([&] {
        // On a busy machine the writer could otherwise finish before the first read.
        while (!reading) {
            std::this_thread::yield();
        }
        for (int i = 0; i < 20000; ++i) {
            settings.SetIPAddress(i % 2 ? a : b);
            settings.SetFastTrans(i % 2 == 0);
        }
        done = true;
    });
    int reads = 0;
    reading = true;
    do {
        const std::string seen = settings.IPAddress();
        ASSERT_TRUE(seen == a || seen == b || seen == "192.168.0.1");
        ++reads;
    } while (!done);
    writer.join();
    EXPECT_GT(reads, 0);
}
