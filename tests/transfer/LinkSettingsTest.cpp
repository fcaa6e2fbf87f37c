#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "transfer/LinkSettings.h"

using namespace qf580;

TEST(LinkSettings, DefaultsAreTheDevicesFactorySettings) {
    const LinkSettingsValues v = LinkSettings().Get();
    EXPECT_EQ(v.UseUSB, 0);
    EXPECT_EQ(v.IPAddress, "192.168.0.1");
    EXPECT_EQ(v.PortNo, 8023u);
    EXPECT_TRUE(v.FastTrans);
}

// A reader on another thread only ever sees an address that was written whole. The two
// threads overlap for certain: the writer goes on until the reader has seen both addresses
// many times, so a writer that finishes before the reader starts can't pass the test unread.
TEST(LinkSettings, ReaderNeverSeesAHalfWrittenAddress) {
    LinkSettings settings;
    const std::string a(200, 'a');
    const std::string b(3, 'b');
    constexpr int kEachSeen = 1000;
    std::atomic<bool> readerDone{false};
    std::atomic<int> writes{0};
    std::thread writer([&] {
        for (int i = 0; !readerDone.load(); ++i) {
            settings.SetIPAddress(i % 2 ? a : b);
            settings.SetFastTrans(i % 2 == 0);
            writes.fetch_add(1);
        }
    });
    int seenA = 0;
    int seenB = 0;
    int torn = 0;
    // Bounded, so that a writer that never gets to run fails the test instead of hanging it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while ((seenA < kEachSeen || seenB < kEachSeen) &&
           std::chrono::steady_clock::now() < deadline) {
        const std::string seen = settings.IPAddress();
        if (seen == a) {
            ++seenA;
        } else if (seen == b) {
            ++seenB;
        } else if (seen != "192.168.0.1") {
            ++torn;
        }
    }
    readerDone.store(true);
    writer.join();
    EXPECT_EQ(torn, 0);
    EXPECT_GE(seenA, kEachSeen);
    EXPECT_GE(seenB, kEachSeen);
    EXPECT_GT(writes.load(), 1);
}
