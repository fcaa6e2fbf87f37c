// The in-process loopback front-ends: real sockets, a fresh model per connection, faults
// that are really silent or really close, and replies delayed as planned.
#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "sim/TcpDeviceServer.h"
#include "sim/UnixDeviceServer.h"
#include "tests/sim/SimClient.h"

namespace qf580::sim {
namespace {

using namespace test;
using namespace std::chrono_literals;

// A Unix socket path of this test process's own.
std::string SocketPath(const std::string& name) {
    return ::testing::TempDir() + "qf580-sim-" + name + "-" + std::to_string(::getpid()) + ".sock";
}

TEST(TcpDeviceServer, ServesAWholeTransferOnLoopback) {
    TcpDeviceServer server;
    ASSERT_NE(server.Port(), 0);
    EXPECT_EQ(server.Address(), "127.0.0.1");
    const auto steps = Exchange(Header(kSubLine), {Records(70, 1), Records(2, 3)});
    {
        Client client = Client::Tcp(server.Port());
        RunSteps(client, steps);
    }
    ASSERT_TRUE(server.WaitForConnectionsEnded(1, 5s));
    EXPECT_TRUE(server.Complete()) << server.State();
    const ReceivedData got = server.Received();
    EXPECT_EQ(got.bytes, Concat(steps));
    ASSERT_EQ(got.passes.size(), 2u);
    EXPECT_EQ(got.passes[0], Records(70, 1));
}

TEST(TcpDeviceServer, EachConnectionGetsAFreshModel) {
    TcpDeviceServer server;
    {
        Client first = Client::Tcp(server.Port());
        first.Send(B(":UP:EXEC\r\nU"));
        EXPECT_EQ(first.Receive(1), Bytes{0xAA});
    }
    ASSERT_TRUE(server.WaitForConnectionsEnded(1, 5s));
    EXPECT_EQ(server.State(), "waiting for the identification QUILLMAR");
    const auto steps = Exchange(Header(kMainLine), {Records(2)});
    {
        Client second = Client::Tcp(server.Port());
        RunSteps(second, steps);
    }
    ASSERT_TRUE(server.WaitForConnectionsEnded(2, 5s));
    EXPECT_TRUE(server.Complete()) << server.State();
    EXPECT_EQ(server.ConnectionsAccepted(), 2u);
    EXPECT_EQ(server.Received().bytes, Concat(steps));
}

TEST(TcpDeviceServer, SilenceKeepsTheConnectionOpenWithoutAnswering) {
    TcpDeviceServer server(FaultPlan{{Fault{FaultKind::Silence, ReplyPoint::HeaderSize}}, 0});
    Client client = Client::Tcp(server.Port());
    RunSteps(client, {{B(":UP:EXEC\r\nU"), {0xAA}}, {B("QUILLMAR\r\n"), B("QUILLMAR\r\n")}});
    client.Send({0x38});
    EXPECT_TRUE(client.Receive(1, 300ms).empty());
    EXPECT_FALSE(client.SawClose());
    // The device still takes what comes, it just never answers.
    client.Send(Header(kMainLine));
    EXPECT_TRUE(client.Receive(1, 200ms).empty());
    EXPECT_FALSE(client.SawClose());
    client.Close();
    ASSERT_TRUE(server.WaitForConnectionsEnded(1, 5s));
    EXPECT_EQ(server.State(), "silent from the header size echo on");
    EXPECT_EQ(server.Received().bytes.size(), 11u + 10u + 1u + 56u);
}

TEST(TcpDeviceServer, CloseFaultClosesTheSocket) {
    TcpDeviceServer server(FaultPlan{{Fault{FaultKind::Close, ReplyPoint::Ident}}, 0});
    Client client = Client::Tcp(server.Port());
    RunSteps(client, {{B(":UP:EXEC\r\nU"), {0xAA}}});
    client.Send(B("QUILLMAR\r\n"));
    EXPECT_TRUE(client.Receive(1).empty());
    EXPECT_TRUE(client.SawClose());
    ASSERT_TRUE(server.WaitForConnectionsEnded(1, 5s));
    EXPECT_EQ(server.State(), "closed the link at the identification echo");
}

// What the host wrote and the device's stack acknowledged, by the host's own count.
int Unacknowledged(const Client& client) {
    int queued = -1;
    ::ioctl(client.Fd(), SIOCOUTQ, &queued);
    return queued;
}

// A device gone in the middle of a write resets the connection and acknowledges nothing it
// didn't take, so the host can tell that those bytes were lost.
TEST(TcpDeviceServer, GoneMidWriteResetsWithoutAcknowledgingTheRest) {
    TcpDeviceServer server(FaultPlan{{Fault{FaultKind::Close, ReplyPoint::RecordAck, 1, 5}}, 0});
    const auto steps = Exchange(Header(kMainLine), {Records(10)});
    Client client = Client::Tcp(server.Port());
    // The handshake and records 0 and 1, answered; then the rest in one write.
    RunSteps(client, std::vector<Step>(steps.begin(), steps.begin() + 7));
    client.Send(Concat(std::vector<Step>(steps.begin() + 7, steps.end())));
    ASSERT_TRUE(server.WaitForConnectionsEnded(1, 5s));
    EXPECT_EQ(server.State(), "closed the link at the acknowledgement of record 5 of pass 1");

    pollfd p{client.Fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 2000), 1);
    std::uint8_t byte = 0;
    EXPECT_EQ(::recv(client.Fd(), &byte, 1, 0), -1);
    EXPECT_EQ(errno, ECONNRESET);
    EXPECT_GT(Unacknowledged(client), 0);
}

// One that took every byte closes as a device does after a finished exchange: an orderly
// close that acknowledges them all.
TEST(TcpDeviceServer, ClosingOnceEveryByteIsTakenIsOrderly) {
    const auto steps = Exchange(Header(kSubLine), {Records(70, 1), Records(3, 2)});
    TcpDeviceServer server(FaultPlan{{Fault::CloseAfter(Concat(steps).size())}, 0});
    Client client = Client::Tcp(server.Port());
    RunSteps(client, steps);
    ASSERT_TRUE(server.WaitForConnectionsEnded(1, 5s));
    EXPECT_TRUE(server.Complete()) << server.State();
    EXPECT_TRUE(client.Receive(1).empty());
    EXPECT_TRUE(client.SawClose());
    EXPECT_EQ(Unacknowledged(client), 0);
}

TEST(TcpDeviceServer, DelaysEveryReply) {
    TcpDeviceServer server(FaultPlan{{}, 150});
    Client client = Client::Tcp(server.Port());
    const auto begin = std::chrono::steady_clock::now();
    client.Send(B(":UP:EXEC\r\nU"));
    EXPECT_EQ(client.Receive(1), Bytes{0xAA});
    client.Send(B("QUILLMAR\r\n"));
    EXPECT_EQ(client.Receive(10), B("QUILLMAR\r\n"));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 300ms);
}

TEST(TcpDeviceServer, PlanChangesApplyToLaterConnections) {
    TcpDeviceServer server;
    server.SetPlan(FaultPlan{{Fault{FaultKind::WrongByte, ReplyPoint::Sync, 1, 0, 0x41}}, 0});
    Client client = Client::Tcp(server.Port());
    client.Send(B(":UP:EXEC\r\nU"));
    EXPECT_EQ(client.Receive(1), Bytes{0x41});
}

TEST(TcpDeviceServer, RefusesEveryAddressButLoopback) {
    for (const std::string address :
         {"0.0.0.0", "192.168.0.1", "192.168.1.20", "::", "", "10.0.0.1"}) {
        EXPECT_THROW(TcpDeviceServer(FaultPlan{}, 0, address), std::invalid_argument) << address;
    }
    EXPECT_EQ(LoopbackBindAddress("localhost"), "127.0.0.1");
    TcpDeviceServer v6(FaultPlan{}, 0, "::1");
    EXPECT_EQ(v6.Address(), "::1");
    EXPECT_NE(v6.Port(), 0);
}

TEST(TcpDeviceServer, StopsPromptlyWhileAHostIsConnected) {
    auto server = std::make_unique<TcpDeviceServer>(
        FaultPlan{{Fault{FaultKind::Silence, ReplyPoint::Sync}}, 0});
    Client client = Client::Tcp(server->Port());
    client.Send(B(":UP:EXEC\r\nU"));
    const auto begin = std::chrono::steady_clock::now();
    server.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
    EXPECT_TRUE(client.Receive(1).empty());
    EXPECT_TRUE(client.SawClose());
}

TEST(UnixDeviceServer, EachFrameIsOneWrite) {
    const std::string path = SocketPath("test");
    UnixDeviceServer server(path);
    const auto steps = Exchange(Header(kMainLine), {Records(3)});
    {
        Client client = Client::Unix(path);
        RunSteps(client, steps, true);
        // Every write taken whole is confirmed, answered or not.
        EXPECT_EQ(client.Confirmations(static_cast<int>(steps.size())),
                  static_cast<int>(steps.size()));
    }
    ASSERT_TRUE(server.WaitForConnectionsEnded(1, 5s));
    EXPECT_TRUE(server.Complete()) << server.State();
    EXPECT_EQ(server.Received().writeSizes, WriteSizes(steps));
}

TEST(UnixDeviceServer, ReplacesAStaleSocketButNotALiveOne) {
    const std::string path = SocketPath("stale");
    {
        // A socket file that nobody listens on any more, as a killed simulator leaves it.
        posix::UniqueFd stale(::socket(AF_UNIX, SOCK_STREAM, 0));
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        ASSERT_EQ(::bind(stale.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    UnixDeviceServer server(path);
    EXPECT_THROW(UnixDeviceServer{path}, std::runtime_error);
    Client client = Client::Unix(path);
    client.SendFrame(B(":UP:EXEC\r\nU"));
    EXPECT_EQ(client.Receive(1), Bytes{0xAA});
}

TEST(UnixDeviceServer, AHostThatStopsListeningStillHasItsWritesTaken) {
    const std::string path = SocketPath("deaf");
    UnixDeviceServer server(path);
    const auto steps = Exchange(Header(kMainLine), {Records(3)});
    {
        // Writes everything and leaves without reading a confirmation or an answer.
        Client client = Client::Unix(path);
        for (const Step& step : steps) {
            client.SendFrame(step.write);
        }
    }
    ASSERT_TRUE(server.WaitForConnectionsEnded(1, 5s));
    EXPECT_EQ(server.Received().writeSizes, WriteSizes(steps));
}

TEST(UnixDeviceServer, AWriteTheDeviceHangsUpInIsNeverConfirmed) {
    const std::string path = SocketPath("hangup");
    for (const int closeAt : {10, 12}) {
        SCOPED_TRACE("hangs up after record " + std::to_string(closeAt));
        UnixDeviceServer server(
            path, FaultPlan{{Fault{FaultKind::Close, ReplyPoint::RecordAck, 1, closeAt, 0}}, 0});
        Client client = Client::Unix(path);
        auto steps = Exchange(Header(kMainLine), {});
        const auto records = Records(13);
        steps.push_back({records[0], {'Y'}});
        steps.push_back({records[1], {'Y'}});
        RunSteps(client, steps, true);
        ASSERT_EQ(client.Confirmations(static_cast<int>(steps.size())),
                  static_cast<int>(steps.size()));
        // Records 2 to 12 in one write: a hang-up after its last record comes once the
        // device took all of it.
        client.SendFrame(Join(std::vector<Bytes>(records.begin() + 2, records.end())));
        EXPECT_TRUE(client.Receive(1).empty());
        EXPECT_TRUE(client.SawClose());
        EXPECT_EQ(client.Confirmations(static_cast<int>(steps.size()) + 1),
                  static_cast<int>(steps.size()) + (closeAt == 12 ? 1 : 0));
    }
}

TEST(DeviceServer, HangsUpOnceCompleteWhenAskedTo) {
    FaultPlan plan;
    plan.closeWhenComplete = true;
    const auto steps = Exchange(Header(kSubLine), {Records(2), Records(2)});
    {
        TcpDeviceServer server(plan);
        Client client = Client::Tcp(server.Port());
        RunSteps(client, steps);
        EXPECT_TRUE(client.Receive(1).empty());
        EXPECT_TRUE(client.SawClose());
        ASSERT_TRUE(server.WaitForConnectionsEnded(1, 5s));
        EXPECT_TRUE(server.Complete()) << server.State();
    }
    const std::string path = SocketPath("done");
    UnixDeviceServer server(path, plan);
    Client client = Client::Unix(path);
    RunSteps(client, steps, true);
    EXPECT_TRUE(client.Receive(1).empty());
    EXPECT_TRUE(client.SawClose());
    EXPECT_EQ(client.Confirmations(static_cast<int>(steps.size())), static_cast<int>(steps.size()))
        << "the END record was taken before the device hung up";
    EXPECT_TRUE(server.Complete()) << server.State();
}

}  // namespace
}  // namespace qf580::sim
