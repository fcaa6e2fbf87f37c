// qf580-sim as a process: where it will listen, one connection with --once, its faults from
// the command line, its summary lines, its stop on SIGTERM, and --make-sample.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "tests/sim/SimClient.h"
#include "tests/support/ChildProcess.h"

namespace qf580::sim {
namespace {

using namespace test;
using qf580::test::ChildProcess;
namespace fs = std::filesystem;

// The simulator program with `args`.
std::vector<std::string> Sim(std::vector<std::string> args) {
    args.insert(args.begin(), QF580_SIM_PROGRAM);
    return args;
}

// Reads the startup line and gives the port it names.
std::uint16_t ListeningPort(ChildProcess& sim) {
    const auto line = sim.ReadLine();
    if (!line) {
        ADD_FAILURE() << "no startup line; stderr: " << sim.Errors();
        return 0;
    }
    std::smatch match;
    if (!std::regex_match(*line, match, std::regex(R"(listening on 127\.0\.0\.1:(\d+))"))) {
        ADD_FAILURE() << "startup line: " << *line;
        return 0;
    }
    return static_cast<std::uint16_t>(std::stoi(match[1]));
}

TEST(SimProgram, RefusesToListenBeyondLoopback) {
    for (const std::string address :
         {"0.0.0.0", "192.168.0.1", "192.168.10.20", "::", "10.1.1.1"}) {
        SCOPED_TRACE(address);
        ChildProcess sim(Sim({"--bind", address, "--port", "0"}));
        EXPECT_EQ(sim.Wait(), 2);
        EXPECT_FALSE(sim.ReadLine(200ms).has_value());
        EXPECT_NE(sim.Errors().find("refusing to listen on " + address), std::string::npos);
    }
}

TEST(SimProgram, RejectsMalformedOptionsAsUsageErrors) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--fault", "wrong"},
             {"--fault", "loud:sync"},
             {"--fault", "close:nowhere"},
             {"--fault", "close:sync:1:2"},
             {"--fault", "silence:ack:0:65"},
             {"--wrong-byte", "0x100"},
             {"--port", "70000"},
             {"--make-sample", "x", "--rom", "BOOT"},
             {"--make-sample", "x", "--disks", "3"},
         }) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        ChildProcess sim(Sim(args));
        EXPECT_EQ(sim.Wait(), 2);
        EXPECT_FALSE(sim.ReadLine(100ms).has_value());
    }
}

TEST(SimProgram, ServesOneCompleteTransferWithOnce) {
    ChildProcess sim(Sim({"--port", "0", "--once"}));
    const std::uint16_t port = ListeningPort(sim);
    ASSERT_NE(port, 0);
    {
        Client client = Client::Tcp(port);
        RunSteps(client, Exchange(Header(kSubLine), {Records(66, 2), Records(1)}));
    }
    const auto summary = sim.ReadLine();
    ASSERT_TRUE(summary.has_value());
    const std::size_t bytes =
        Concat(Exchange(Header(kSubLine), {Records(66, 2), Records(1)})).size();
    const std::size_t handshake =
        Concat(Exchange(Header(kSubLine), {})).size() - Header(kSubLine).size();
    EXPECT_EQ(*summary, "tcp: bytes " + std::to_string(bytes) + " (" + std::to_string(handshake) +
                            " of the handshake, " + std::to_string(bytes - handshake) +
                            " of the set), records 67, passes 2/2, complete");
    EXPECT_EQ(sim.Wait(), 0);
}

TEST(SimProgram, FaultOptionsShapeTheDevice) {
    struct Case {
        std::vector<std::string> args;
        std::size_t failingStep;  // the step of the exchange whose reply differs
        Bytes reply;              // what comes instead
        bool closes;
        std::string summary;
    };
    const std::vector<Case> cases{
        {{"--fault", "wrong:sync", "--wrong-byte", "0x55"},
         1,
         {0x55},
         false,
         "stopped: answered 0x55 at the synchronisation reply"},
        {{"--fault", "close:header"},
         4,
         {},
         true,
         "stopped: closed the link at the header acknowledgement"},
        {{"--fault", "silence:ack:1:65"},
         70,
         {},
         false,
         "stopped: silent from the acknowledgement of record 65 of pass 1 on"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.summary);
        std::vector<std::string> args{"--port", "0", "--once"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ChildProcess sim(Sim(args));
        const std::uint16_t port = ListeningPort(sim);
        ASSERT_NE(port, 0);
        const auto steps = Exchange(Header(kMainLine), {Records(70)});
        {
            Client client = Client::Tcp(port);
            RunSteps(client, std::vector<Step>(steps.begin(), steps.begin() + c.failingStep));
            client.Send(steps[c.failingStep].write);
            EXPECT_EQ(client.Receive(1, 300ms), c.reply);
            EXPECT_EQ(client.SawClose(), c.closes);
        }
        const auto summary = sim.ReadLine();
        ASSERT_TRUE(summary.has_value());
        EXPECT_TRUE(summary->ends_with(c.summary)) << *summary;
        EXPECT_EQ(sim.Wait(), 1);
    }
}

TEST(SimProgram, DelaysRepliesAsAsked) {
    ChildProcess sim(Sim({"--port", "0", "--once", "--delay-ms", "200"}));
    const std::uint16_t port = ListeningPort(sim);
    ASSERT_NE(port, 0);
    Client client = Client::Tcp(port);
    const auto begin = std::chrono::steady_clock::now();
    client.Send(B(":UP:EXEC\r\nU"));
    EXPECT_EQ(client.Receive(1), Bytes{0xAA});
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 200ms);
}

TEST(SimProgram, EndsCleanlyOnSigterm) {
    ChildProcess sim(Sim({"--port", "0"}));
    const std::uint16_t port = ListeningPort(sim);
    ASSERT_NE(port, 0);
    {
        Client client = Client::Tcp(port);
        client.Send(B(":UP:EXEC\r\nU"));
        EXPECT_EQ(client.Receive(1), Bytes{0xAA});
    }
    const auto summary = sim.ReadLine();
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(*summary,
              "tcp: bytes 11 (11 of the handshake, 0 of the set), records 0, passes 0/0, stopped: "
              "waiting for the identification "
              "QUILLMAR");
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(), 0);
}

// A simulator that says nothing more after its startup line keeps its output open: every read
// of the runner must still give up at its limit rather than poll on past it.
TEST(SimProgram, ReadsOfASilentSimulatorGiveUpAtTheirLimit) {
    ChildProcess sim(Sim({"--port", "0"}));
    ASSERT_NE(ListeningPort(sim), 0);
    EXPECT_EQ(sim.ReadLine(std::chrono::milliseconds(100)), std::nullopt);
    EXPECT_FALSE(sim.WaitForOutput("never said", std::chrono::milliseconds(100)));
    EXPECT_FALSE(sim.WaitUntil([] { return false; }, std::chrono::milliseconds(100)));
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(), 0);
}

TEST(SimProgram, MakesASampleSetAndExits) {
    const fs::path dir =
        fs::path(testing::TempDir()) / ("qf580-sim-sample-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    ChildProcess sim(Sim({"--make-sample", dir.string(), "--rom", "IRIG", "--disks", "2",
                          "--records", "12", "--name", "ROM00.q58"}));
    EXPECT_EQ(sim.ReadLine(), (dir / "ROM01.q58").string());
    EXPECT_EQ(sim.ReadLine(), (dir / "ROM02.q58").string());
    EXPECT_EQ(sim.Wait(), 0);
    ASSERT_TRUE(fs::exists(dir / "ROM01.q58"));
    ASSERT_TRUE(fs::exists(dir / "ROM02.q58"));
    std::ifstream disk2(dir / "ROM02.q58", std::ios::binary);
    std::string line;
    std::getline(disk2, line);
    EXPECT_EQ(line + "\n", kIrigLine);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace qf580::sim
