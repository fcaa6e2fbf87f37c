// The device link over TCP/IP, against real loopback peers on 127.0.0.1.
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "tests/link/LinkTestSupport.h"

namespace qf580::linktest {
namespace {

TEST(LinkTimeoutsTest, DefaultsAreTheProductionLimits) {
    const LinkTimeouts t;
    EXPECT_EQ(t.readinessMs, 5000);
    EXPECT_EQ(t.streamMs, 10000);
    EXPECT_EQ(t.usbCallMs, 10000);
}

class TcpLinkTest : public ::testing::Test {
  protected:
    void SetUp() override { settings.Set(TcpSettings(peer.Port())); }

    // Opens the link and accepts its connection on the peer.
    UniqueFd OpenAndAccept(DeviceLink& link) {
        EXPECT_EQ(link.OpenPort(), 1);
        UniqueFd conn = peer.Accept();
        EXPECT_TRUE(conn);
        return conn;
    }

    // Opens the link to `stuck`, a peer that reads nothing and holds little, and writes 8000
    // bytes of `fill`: most of them stay with the link. Gives the peer's end.
    UniqueFd OpenAndWriteUnread(DeviceLink& link, Peer& stuck, std::uint8_t fill) {
        EXPECT_EQ(link.OpenPort(), 1);
        UniqueFd conn = stuck.Accept();
        const Bytes out(8000, fill);
        EXPECT_EQ(link.SendData(out.data(), static_cast<int>(out.size())), 1);
        return conn;
    }

    Peer peer;
    LinkSettings settings;
};

TEST_F(TcpLinkTest, ReceiveOfTenThatGetsFourThenSilenceFailsAfterBothWaits) {
    DeviceLink link(settings, ShortTimeouts());
    UniqueFd conn = OpenAndAccept(link);
    PeerSend(conn.Get(), {1, 2, 3, 4});
    std::uint8_t buf[11];
    std::fill(std::begin(buf), std::end(buf), 0xEE);

    const auto start = Clock::now();
    EXPECT_EQ(link.RecvData(buf, 10), 0);
    const long took = MsSince(start);

    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(buf[4], 0);
    EXPECT_EQ(buf[5], 0xEE) << "nothing may be written past the terminating 0 byte";
    // The missing fifth byte costs the readiness wait plus the stream's read limit.
    const LinkTimeouts t = ShortTimeouts();
    EXPECT_GE(took, t.readinessMs + t.streamMs - 20);
    EXPECT_LT(took, t.readinessMs + t.streamMs + 1000);
}

TEST_F(TcpLinkTest, ReceiveOfZeroOrLessSucceedsAtOnceAndTerminates) {
    DeviceLink link(settings, ShortTimeouts());
    for (const bool open : {false, true}) {
        SCOPED_TRACE(open ? "open" : "not open");
        UniqueFd conn;
        if (open) {
            conn = OpenAndAccept(link);
        }
        for (const int len : {0, -1, -1000}) {
            std::uint8_t buf[2] = {0xAA, 0xBB};
            const auto start = Clock::now();
            EXPECT_NE(link.RecvData(buf, len), 0) << len;
            EXPECT_LT(MsSince(start), ShortTimeouts().readinessMs / 2);
            EXPECT_EQ(buf[0], 0);
            EXPECT_EQ(buf[1], 0xBB);
        }
    }
    EXPECT_EQ(link.ClosePort(), 1);
}

TEST_F(TcpLinkTest, FullReceiveIsFollowedByAZeroByte) {
    for (const int n : {1, 10}) {
        SCOPED_TRACE(n);
        DeviceLink link(settings, ShortTimeouts());
        UniqueFd conn = OpenAndAccept(link);
        Bytes sent;
        for (int i = 0; i < n; ++i) {
            sent.push_back(static_cast<std::uint8_t>(0xA0 + i));
        }
        sent.push_back(0x55);  // one more than asked: must stay unread
        PeerSend(conn.Get(), sent);
        std::uint8_t buf[16];
        std::fill(std::begin(buf), std::end(buf), 0xEE);
        EXPECT_NE(link.RecvData(buf, n), 0);
        EXPECT_EQ(Bytes(buf, buf + n), Bytes(sent.begin(), sent.begin() + n));
        EXPECT_EQ(buf[n], 0);
        EXPECT_EQ(buf[n + 1], 0xEE);
        // The extra byte is the next receive's.
        EXPECT_NE(link.RecvData(buf, 1), 0);
        EXPECT_EQ(buf[0], 0x55);
        EXPECT_EQ(link.ClosePort(), 1);
    }
}

TEST_F(TcpLinkTest, ByteArrivingAfterAReceiveGaveUpStaysOutOfItsBuffer) {
    DeviceLink link(settings, ShortTimeouts());
    UniqueFd conn = OpenAndAccept(link);
    std::uint8_t buf[2] = {0xEE, 0xEE};
    EXPECT_EQ(link.RecvData(buf, 1), 0);
    EXPECT_EQ(buf[0], 0);

    PeerSend(conn.Get(), {0x42});
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(buf[1], 0xEE);

    // The late byte is not lost either: a new receive is what takes it.
    std::uint8_t next[2] = {0xEE, 0xEE};
    EXPECT_NE(link.RecvData(next, 1), 0);
    EXPECT_EQ(next[0], 0x42);
}

// A signal cuts a waiting receive short even under a handler that asks for calls to be
// restarted. Signals coming faster than the stream's slices must not stretch the wait: the
// deadline holds. (The signals stop 2 s past it, so that a wait they did stretch still ends.)
TEST_F(TcpLinkTest, SignalsDuringAReceiveDoNotStretchItsLimit) {
    struct sigaction handler {};
    handler.sa_handler = [](int) {};
    handler.sa_flags = SA_RESTART;
    struct sigaction before {};
    ASSERT_EQ(::sigaction(SIGUSR1, &handler, &before), 0);
    DeviceLink link(settings, ShortTimeouts());
    UniqueFd conn = OpenAndAccept(link);
    const LinkTimeouts t = ShortTimeouts();
    const pthread_t reader = ::pthread_self();
    const auto start = Clock::now();
    std::atomic<bool> ended{false};
    std::thread storm([&] {
        while (!ended.load() && MsSince(start) < t.readinessMs + t.streamMs + 2000) {
            ::pthread_kill(reader, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    std::uint8_t buf[2] = {0xEE, 0xEE};
    EXPECT_EQ(link.RecvData(buf, 1), 0);
    const long took = MsSince(start);
    ended.store(true);
    storm.join();
    ::sigaction(SIGUSR1, &before, nullptr);
    EXPECT_LT(took, t.readinessMs + t.streamMs + 1000);
}

TEST_F(TcpLinkTest, OpenFailsWithoutAnErrorEscaping) {
    const std::uint16_t unused = UnusedPort();
    const struct {
        const char* why;
        std::string address;
        std::uint32_t port;
    } cases[] = {
        {"empty address", "", peer.Port()},
        {"host name", "localhost", peer.Port()},
        {"not an address", "not.an.address", peer.Port()},
        {"too many parts", "127.0.0.1.1", peer.Port()},
        {"embedded zero", std::string("127.0.0.1\0x", 11), peer.Port()},
        {"broadcast", "255.255.255.255", peer.Port()},
        {"nothing listens", "127.0.0.1", unused},
        {"port 0", "127.0.0.1", 0},
        {"low 16 bits 0", "127.0.0.1", 65536},
        {"low 16 bits 0, high bits set", "127.0.0.1", 0xFFFF0000u},
        // Above 65535 is a typing error, never the port of the low 16 bits.
        {"73559", "127.0.0.1", 73559},
        {"the peer's port plus 65536", "127.0.0.1", 65536u + peer.Port()},
        {"the peer's port, high bits set", "127.0.0.1", 0xABCD0000u | peer.Port()},
        {"all bits set", "127.0.0.1", 0xFFFFFFFFu},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        settings.Set(TcpSettings(c.port, c.address));
        DeviceLink link(settings, ShortTimeouts());
        int opened = -1;
        EXPECT_NO_THROW(opened = link.OpenPort());
        EXPECT_EQ(opened, 0);
        EXPECT_FALSE(peer.Accept(0)) << "no connection may reach the peer";
        // Nothing is open, so nothing goes out or comes in, and the close is harmless.
        const std::uint8_t out[1] = {1};
        EXPECT_EQ(link.SendData(out, 1), 0);
        std::uint8_t buf[2] = {0xEE, 0xEE};
        EXPECT_EQ(link.RecvData(buf, 1), 0);
        EXPECT_EQ(buf[0], 0);
        EXPECT_EQ(link.ClosePort(), 1);
    }
}

TEST_F(TcpLinkTest, AddressFormsOfTheStandardConversionReachThePeer) {
    const struct {
        std::string address;
        std::uint32_t port;
    } cases[] = {
        {"127.0.0.1", peer.Port()},
        {"127.1", peer.Port()},
        {"2130706433", peer.Port()},
        {"0x7f000001", peer.Port()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address + " " + std::to_string(c.port));
        settings.Set(TcpSettings(c.port, c.address));
        DeviceLink link(settings, ShortTimeouts());
        UniqueFd conn = OpenAndAccept(link);
        const std::uint8_t out[3] = {9, 8, 7};
        EXPECT_EQ(link.SendData(out, 3), 1);
        EXPECT_EQ(PeerRead(conn.Get(), 3), (Bytes{9, 8, 7}));
        EXPECT_EQ(link.ClosePort(), 1);
        EXPECT_TRUE(PeerSeesClose(conn.Get()));
    }
}

TEST_F(TcpLinkTest, CloseWithoutOpenReleasesNothingAndTheNextOpenConnects) {
    DeviceLink link(settings, ShortTimeouts());
    EXPECT_EQ(link.ClosePort(), 1);
    EXPECT_EQ(link.ClosePort(), 1);
    UniqueFd conn = OpenAndAccept(link);
    const std::uint8_t out[1] = {0x33};
    EXPECT_EQ(link.SendData(out, 1), 1);
    EXPECT_EQ(PeerRead(conn.Get(), 1), Bytes{0x33});
}

TEST_F(TcpLinkTest, StreamIsReleasedOnceAndAThirdTransferConnectsNormally) {
    DeviceLink link(settings, ShortTimeouts());
    {
        // First transfer: open, talk, close.
        UniqueFd conn = OpenAndAccept(link);
        const std::uint8_t out[2] = {1, 2};
        EXPECT_EQ(link.SendData(out, 2), 1);
        EXPECT_EQ(PeerRead(conn.Get(), 2), (Bytes{1, 2}));
        EXPECT_EQ(link.ClosePort(), 1);
        EXPECT_TRUE(PeerSeesClose(conn.Get()));
    }
    // Second transfer ends before it opens the link.
    EXPECT_EQ(link.ClosePort(), 1);
    const std::uint8_t out[1] = {5};
    EXPECT_EQ(link.SendData(out, 1), 0) << "a closed link must not write anywhere";
    {
        // Third transfer: a fresh connection that works both ways.
        UniqueFd conn = OpenAndAccept(link);
        EXPECT_EQ(link.SendData(out, 1), 1);
        EXPECT_EQ(PeerRead(conn.Get(), 1), Bytes{5});
        PeerSend(conn.Get(), {0x77});
        std::uint8_t buf[2];
        EXPECT_NE(link.RecvData(buf, 1), 0);
        EXPECT_EQ(buf[0], 0x77);
        EXPECT_EQ(link.ClosePort(), 1);
    }
}

TEST_F(TcpLinkTest, OpeningAgainClosesTheEarlierConnection) {
    DeviceLink link(settings, ShortTimeouts());
    UniqueFd first = OpenAndAccept(link);
    UniqueFd second = OpenAndAccept(link);
    EXPECT_TRUE(PeerSeesClose(first.Get()));
    const std::uint8_t out[1] = {6};
    EXPECT_EQ(link.SendData(out, 1), 1);
    EXPECT_EQ(PeerRead(second.Get(), 1), Bytes{6});
}

TEST_F(TcpLinkTest, DeviceClosingDuringSendsFailsTheSendWithoutSigpipe) {
    // The default action of SIGPIPE ends the process, which would end this test too.
    std::signal(SIGPIPE, SIG_DFL);
    DeviceLink link(settings, ShortTimeouts());
    UniqueFd conn = OpenAndAccept(link);
    // Reset rather than a polite close, so that the link's next writes meet a dead peer.
    const linger abort{1, 0};
    ::setsockopt(conn.Get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    conn.Reset();

    const Bytes big(32768, 0x5A);
    int result = 1;
    for (int i = 0; i < 20 && result != 0; ++i) {
        result = link.SendData(big.data(), static_cast<int>(big.size()));
    }
    EXPECT_EQ(result, 0);
    std::uint8_t buf[2] = {0xEE, 0xEE};
    EXPECT_EQ(link.RecvData(buf, 1), 0);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(link.ClosePort(), 1);
}

TEST_F(TcpLinkTest, DeviceClosingDuringAReceiveFailsItAtOnce) {
    // Long limits: the failure must come from the close, not from a time limit.
    DeviceLink link(settings, LinkTimeouts{3000, 4000, 150});
    UniqueFd conn = OpenAndAccept(link);
    PeerSend(conn.Get(), {0x11, 0x22});
    conn.Reset();
    std::uint8_t buf[11];
    std::fill(std::begin(buf), std::end(buf), 0xEE);
    const auto start = Clock::now();
    EXPECT_EQ(link.RecvData(buf, 10), 0);
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_EQ(buf[0], 0x11);
    EXPECT_EQ(buf[1], 0x22);
    EXPECT_EQ(buf[2], 0);
    // And so does every later receive.
    const auto again = Clock::now();
    EXPECT_EQ(link.RecvData(buf, 1), 0);
    EXPECT_LT(MsSince(again), 1000);
}

TEST_F(TcpLinkTest, WriteToAPeerThatStopsReadingGivesUpAtItsLimit) {
    Peer slow(4096);
    settings.Set(TcpSettings(slow.Port()));
    const LinkTimeouts t = ShortTimeouts();
    DeviceLink link(settings, t);
    ASSERT_EQ(link.OpenPort(), 1);
    UniqueFd conn = slow.Accept();
    ASSERT_TRUE(conn);

    const Bytes big(32768, 0xC3);
    int result = 1;
    long longest = 0;
    for (int i = 0; i < 2000 && result != 0; ++i) {
        const auto start = Clock::now();
        result = link.SendData(big.data(), static_cast<int>(big.size()));
        longest = std::max(longest, MsSince(start));
    }
    EXPECT_EQ(result, 0) << "the connection never filled up";
    EXPECT_LT(longest, t.streamMs + 1000) << "a write waited past its limit";
    EXPECT_EQ(link.ClosePort(), 1);
}

TEST_F(TcpLinkTest, SendOfNothingOrOfANegativeLength) {
    DeviceLink link(settings, ShortTimeouts());
    const std::uint8_t out[1] = {1};
    EXPECT_EQ(link.SendData(out, 0), 0) << "nothing is open";
    UniqueFd conn = OpenAndAccept(link);
    EXPECT_EQ(link.SendData(out, 0), 1);
    EXPECT_EQ(link.SendData(nullptr, 0), 1);
    EXPECT_EQ(link.SendData(out, -1), 0);
    EXPECT_EQ(link.SendData(nullptr, 1), 0);
    EXPECT_TRUE(PeerRead(conn.Get(), 1, 100).empty());
}

TEST_F(TcpLinkTest, SwitchingToUsbAfterATcpOpenKeepsToTcpUntilTheClose) {
    FakeUsb usb;
    DeviceLink link(settings, ShortTimeouts(), usb.Driver());
    UniqueFd conn = OpenAndAccept(link);
    settings.SetUseUSB(1);

    const std::uint8_t out[2] = {0xAB, 0xCD};
    EXPECT_EQ(link.SendData(out, 2), 1);
    EXPECT_EQ(PeerRead(conn.Get(), 2), (Bytes{0xAB, 0xCD}));
    PeerSend(conn.Get(), {0x01});
    std::uint8_t buf[2];
    EXPECT_NE(link.RecvData(buf, 1), 0);
    EXPECT_EQ(buf[0], 0x01);
    EXPECT_EQ(link.ClosePort(), 1);
    EXPECT_TRUE(PeerSeesClose(conn.Get()));

    EXPECT_EQ(usb.s->opens, 0);
    EXPECT_TRUE(usb.s->writes.empty());
    EXPECT_TRUE(usb.s->readHandles.empty());
    EXPECT_TRUE(usb.s->closes.empty());
    // With nothing open any more, the settings pick the transport again.
    EXPECT_EQ(link.ClosePort(), 1);
    EXPECT_EQ(usb.s->closes, std::vector<std::int32_t>{0});
}

// The last bytes of a transfer get no answer, so only the connection can tell that they
// arrived: the device has acknowledged them.
TEST_F(TcpLinkTest, DeliveryIsConfirmedOnceThePeerHasEveryByte) {
    for (const bool peerCloses : {false, true}) {
        SCOPED_TRACE(peerCloses ? "peer then closes normally" : "peer stays");
        // Long limits: the answer must come from the peer, not from a time limit.
        DeviceLink link(settings, LinkTimeouts{3000, 4000, 150});
        UniqueFd conn = OpenAndAccept(link);
        const Bytes out(3000, 0x21);
        ASSERT_EQ(link.SendData(out.data(), static_cast<int>(out.size())), 1);
        EXPECT_EQ(PeerRead(conn.Get(), out.size()), out);
        if (peerCloses) {
            conn.Reset();
        }
        const auto start = Clock::now();
        EXPECT_EQ(link.ConfirmDelivery(), 1);
        EXPECT_LT(MsSince(start), 2000);
        EXPECT_EQ(link.ClosePort(), 1);
    }
}

TEST_F(TcpLinkTest, BytesThePeerNeverTakesAreNotConfirmedAndTheWaitSleeps) {
    // A peer that reads nothing and holds little: most of the write stays with the link.
    Peer stuck(1);
    settings.Set(TcpSettings(stuck.Port()));
    const LinkTimeouts t = ShortTimeouts();
    DeviceLink link(settings, t);
    const UniqueFd conn = OpenAndWriteUnread(link, stuck, 0x3C);
    ASSERT_TRUE(conn);

    timespec cpuBefore{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuBefore);
    const auto start = Clock::now();
    EXPECT_EQ(link.ConfirmDelivery(), 0);
    const long took = MsSince(start);
    timespec cpuAfter{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuAfter);
    const double cpuMs =
        (cpuAfter.tv_sec - cpuBefore.tv_sec) * 1e3 + (cpuAfter.tv_nsec - cpuBefore.tv_nsec) / 1e6;

    // The write's limit, not less and not much more.
    EXPECT_GE(took, t.streamMs - 20);
    EXPECT_LT(took, t.streamMs + 1000);
    EXPECT_LT(cpuMs, took / 4.0) << "the wait must sleep, not spin";
    EXPECT_EQ(link.ClosePort(), 1);
}

TEST_F(TcpLinkTest, AResetWithBytesUnacknowledgedFailsTheConfirmationAtOnce) {
    Peer stuck(1);
    settings.Set(TcpSettings(stuck.Port()));
    DeviceLink link(settings, LinkTimeouts{3000, 4000, 150});
    UniqueFd conn = OpenAndWriteUnread(link, stuck, 0x4B);
    ASSERT_TRUE(conn);
    const linger abort{1, 0};
    ::setsockopt(conn.Get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    conn.Reset();

    const auto start = Clock::now();
    EXPECT_EQ(link.ConfirmDelivery(), 0);
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_EQ(link.ClosePort(), 1);
}

TEST_F(TcpLinkTest, NothingToConfirmWithoutAConnection) {
    DeviceLink link(settings, ShortTimeouts());
    EXPECT_EQ(link.ConfirmDelivery(), 0) << "never opened";
    UniqueFd conn = OpenAndAccept(link);
    EXPECT_EQ(link.ClosePort(), 1);
    EXPECT_EQ(link.ConfirmDelivery(), 0) << "closed";
}

}  // namespace
}  // namespace qf580::linktest
