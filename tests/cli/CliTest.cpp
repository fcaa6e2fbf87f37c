// qf580-flash as a process against the device model on a loopback socket: what it prints,
// how it answers the disk question, how it stops, and its exit codes.
#include <gtest/gtest.h>

#include <set>

#include "ExitCodes.h"
#include "Process.h"
#include "TcpDeviceServer.h"
#include "TerminalOperator.h"
#include "WorkerSupport.h"

namespace qf580::test {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
using sim::Fault;
using sim::FaultKind;
using sim::FaultPlan;
using sim::ReplyPoint;
using sim::TcpDeviceServer;

const Lines kWorkedExample = {"Searching for KV6200", "Sending Header", "Sending START record",
                              "Sending (1) Record", "Transfer completed"};

class Cli : public ::testing::Test {
  protected:
    // The chosen file is disk 1 itself, as an operator would pick it.
    std::string WriteDisk1(const Bytes& bytes) { return tmp.Write("FW0001.q58", bytes); }
    std::string WriteWorkedExample() {
        return WriteDisk1(Header(kRomMain, 1) + Bytes{0x01, 0x12, 0x34, 0x46} +
                          Bytes{0x02, 0x01, 0x02, 0x03, 0x04, 0x0A} + kEnd);
    }
    // Disk 1 ends in the middle of the pass; disk 2 is written by the test when it wants.
    std::string WriteTwoDiskSet() {
        records = PassRecords(80, 6);
        disk2 = Header(kRomMain, 2) +
                Join(std::vector<Bytes>(records.begin() + 50, records.end())) + kEnd;
        return WriteDisk1(Header(kRomMain, 1) +
                          Join(std::vector<Bytes>(records.begin(), records.begin() + 50)));
    }
    void WriteDisk2() { tmp.Write("FW0002.q58", disk2); }

    static std::vector<std::string> Args(const std::string& file, std::uint16_t port,
                                         std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {QF580_FLASH,    file,     "--address",
                                         "127.0.0.1",    "--port", std::to_string(port),
                                         "--timeout-ms", "300"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    TempDir tmp;
    std::vector<Bytes> records;
    Bytes disk2;
};

TEST_F(Cli, PrintsEachStatusOnItsOwnLineAndExitsZero) {
    const std::string file = WriteWorkedExample();
    for (const char* fast : {"--fast", "--no-fast"}) {
        SCOPED_TRACE(fast);
        TcpDeviceServer device;
        Process flash(Args(file, device.port(), {fast}));
        EXPECT_EQ(flash.Wait(), 0) << flash.err;
        EXPECT_EQ(flash.Lines(), kWorkedExample);
        ASSERT_TRUE(device.WaitForConnectionsEnded(1, 5s));
        const Bytes expected = Handshake(Header(kRomMain, 1)) + Bytes{0x01, 0x12, 0x34, 0x46} +
                               Bytes{0x02, 0x01, 0x02, 0x03, 0x04, 0x0A} + kEnd;
        EXPECT_EQ(device.received().bytes, expected);
    }
}

struct ExitCase {
    const char* name;
    std::optional<Fault> fault;
    std::function<Bytes()> disk1;
    std::string outcome;
    int code;
};

Bytes GoodSet() {
    return Header(kRomMain, 1) + Join(PassRecords(3, 1)) + kEnd;
}

void PrintTo(const ExitCase& c, std::ostream* os) {
    *os << c.name;
}

class CliExit : public Cli, public ::testing::WithParamInterface<ExitCase> {};

// The codes are the documented ones, spelled out here so that a change of the table shows.
TEST_P(CliExit, OutcomeIsTheLastLineAndGivesItsCode) {
    const ExitCase& c = GetParam();
    const std::string file = WriteDisk1(c.disk1());
    FaultPlan plan;
    if (c.fault) {
        plan.faults.push_back(*c.fault);
    }
    TcpDeviceServer device(plan);
    Process flash(Args(file, device.port(), {"--disk-answer", "cancel"}));
    EXPECT_EQ(flash.Wait(), c.code) << flash.out << flash.err;
    ASSERT_FALSE(flash.Lines().empty());
    EXPECT_EQ(flash.Lines().back(), c.outcome);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, CliExit,
    ::testing::Values(ExitCase{"Completed", std::nullopt, GoodSet, "Transfer completed", 0},
                      ExitCase{"InvalidRomType", std::nullopt,
                               [] {
                                   Bytes d = GoodSet();
                                   d[0] = 'q';
                                   return d;
                               },
                               "Invalid ROM Type", 11},
                      ExitCase{"SyncWrong", At(FaultKind::WrongByte, ReplyPoint::Sync), GoodSet,
                               "Communication setup failure", 13},
                      ExitCase{"IdentWrong", At(FaultKind::WrongByte, ReplyPoint::Ident), GoodSet,
                               "Couldn't receive QUILLMAR character string", 14},
                      ExitCase{"HeaderSizeWrong", At(FaultKind::WrongByte, ReplyPoint::HeaderSize),
                               GoodSet, "Heder size communication failure", 15},
                      ExitCase{"ShortHeader", std::nullopt,
                               [] {
                                   Bytes h = Header(kRomMain, 1);
                                   h[48] = '1';
                                   h[49] = ' ';
                                   return Bytes(h.begin(), h.begin() + 50);
                               },
                               "Incorrect input file", 16},
                      ExitCase{"HeaderAckWrong", At(FaultKind::WrongByte, ReplyPoint::HeaderAck),
                               GoodSet, "Header transfer error", 17},
                      ExitCase{"MissingDisk2Cancelled", std::nullopt,
                               [] { return Header(kRomMain, 1) + Record(2, 1); },
                               "Aborted according to instruction received", 10},
                      ExitCase{"BadChecksum", std::nullopt,
                               [] {
                                   Bytes d = GoodSet();
                                   d[d.size() - 2] ^= 0x10;
                                   return d;
                               },
                               "Incorrect Check Sum", 19},
                      ExitCase{"AckClosed", At(FaultKind::Close, ReplyPoint::RecordAck, 1), GoodSet,
                               "Aborted due to communication error", 20}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Cli, NoEndRecordOnDisk2) {
    WriteTwoDiskSet();
    disk2.pop_back();  // without its END
    WriteDisk2();
    TcpDeviceServer device;
    Process flash(Args(tmp.dir() + "FW0001.q58", device.port()));
    EXPECT_EQ(flash.Wait(), 18) << flash.err;
    EXPECT_EQ(flash.Lines().back(), "No END record");
}

TEST_F(Cli, NothingListeningCannotOpenPort) {
    const std::string file = WriteWorkedExample();
    std::uint16_t port = 0;
    {
        TcpDeviceServer gone;
        port = gone.port();
    }
    Process flash(Args(file, port));
    EXPECT_EQ(flash.Wait(), 12) << flash.err;
    EXPECT_EQ(flash.Lines(), (Lines{"Searching for KV6200", "Cannot open port"}));
}

TEST_F(Cli, DiskAnswerCancel) {
    const std::string file = WriteTwoDiskSet();
    TcpDeviceServer device;
    Process flash(Args(file, device.port(), {"--disk-answer", "cancel"}));
    EXPECT_EQ(flash.Wait(), 10) << flash.err;
    const Lines lines = flash.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Insert Disk 2 [OK/cancel]: cancel");
    EXPECT_EQ(lines.back(), "Aborted according to instruction received");
}

TEST_F(Cli, DiskAnswerOkGivesUpWhenTheDiskNeverComes) {
    const std::string file = WriteTwoDiskSet();
    TcpDeviceServer device;
    Process flash(Args(file, device.port(), {"--disk-answer", "ok"}));
    EXPECT_EQ(flash.Wait(), 10) << flash.err;
    const Lines lines = flash.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Insert Disk 2 [OK/cancel]: OK"),
              cli::TerminalOperator::kOkTries);
    EXPECT_EQ(lines.back(), "Aborted according to instruction received");
}

TEST_F(Cli, DiskAnswerOkFindsADiskThatIsThere) {
    const std::string file = WriteTwoDiskSet();
    WriteDisk2();
    TcpDeviceServer device;
    Process flash(Args(file, device.port(), {"--disk-answer", "ok"}));
    EXPECT_EQ(flash.Wait(), 0) << flash.err;
    EXPECT_EQ(flash.out.find("Insert Disk"), std::string::npos) << "no question asked";
}

TEST_F(Cli, AskedOnTheTerminalInsertedThenOk) {
    const std::string file = WriteTwoDiskSet();
    TcpDeviceServer device;
    Process flash(Args(file, device.port()));
    ASSERT_TRUE(flash.WaitForOutput("Insert Disk 2 [OK/cancel]: ", 10s)) << flash.out;
    // A reply it doesn't understand is asked again.
    flash.Write("maybe\n");
    ASSERT_TRUE(flash.WaitForOutput("]: \nInsert Disk 2 [OK/cancel]: ", 10s)) << flash.out;
    WriteDisk2();
    flash.Write("OK\n");
    EXPECT_EQ(flash.Wait(), 0) << flash.out << flash.err;
    EXPECT_EQ(flash.Lines().back(), "Transfer completed");
    ASSERT_TRUE(device.WaitForConnectionsEnded(1, 5s));
    EXPECT_EQ(device.received().bytes, Handshake(Header(kRomMain, 1)) + Join(records) + kEnd);
}

TEST_F(Cli, EndOfInputCancelsTheQuestion) {
    const std::string file = WriteTwoDiskSet();
    TcpDeviceServer device;
    Process flash(Args(file, device.port()));
    flash.CloseInput();
    EXPECT_EQ(flash.Wait(), 10) << flash.err;
    EXPECT_EQ(flash.Lines().back(), "Aborted according to instruction received");
}

TEST_F(Cli, InterruptWhileTheQuestionIsOpenCancelsIt) {
    const std::string file = WriteTwoDiskSet();
    TcpDeviceServer device;
    Process flash(Args(file, device.port()));
    ASSERT_TRUE(flash.WaitForOutput("Insert Disk 2 [OK/cancel]: ", 10s)) << flash.out;
    flash.Signal(SIGINT);
    EXPECT_EQ(flash.Wait(5s), 10) << flash.err;
    EXPECT_EQ(flash.Lines().back(), "Aborted according to instruction received");
}

class CliSignal : public Cli, public ::testing::WithParamInterface<int> {};

TEST_P(CliSignal, StopsTheTransferBetweenRecords) {
    const std::string file = WriteDisk1(Header(kRomMain, 1) + Join(PassRecords(400, 3)) + kEnd);
    // Slow replies keep the transfer going long enough to be interrupted.
    TcpDeviceServer device(FaultPlan{{}, 150});
    Process flash(Args(file, device.port(), {"--no-fast"}));
    ASSERT_TRUE(flash.WaitForOutput("Sending (1) Record\n", 10s)) << flash.out;
    flash.Signal(GetParam());
    EXPECT_EQ(flash.Wait(10s), 10) << flash.err;
    EXPECT_EQ(flash.Lines().back(), "Aborted according to instruction received");
    EXPECT_NE(flash.err.find("stop requested"), std::string::npos);
    ASSERT_TRUE(device.WaitForConnectionsEnded(1, 5s));
    EXPECT_FALSE(device.complete());
}

INSTANTIATE_TEST_SUITE_P(Signals, CliSignal, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto& info) { return info.param == SIGINT ? "Int" : "Term"; });

TEST_F(Cli, UsageErrorsExitTwo) {
    const std::string file = WriteWorkedExample();
    const std::vector<std::vector<std::string>> cases = {
        {QF580_FLASH},
        {QF580_FLASH, file},  // neither an address nor USB: there is no default address
        {QF580_FLASH, file, "--address", "127.0.0.1", "--usb"},
        {QF580_FLASH, file, "--usb", "--port", "8023"},
        {QF580_FLASH, file, "--address", "127.0.0.1", "--port", "70000"},
        {QF580_FLASH, file, "--address", "127.0.0.1", "--disk-answer", "maybe"},
        {QF580_FLASH, tmp.dir() + "missing.q58", "--usb"},
        {QF580_FLASH, file, "--address", "127.0.0.1", "--bogus"},
    };
    for (const auto& args : cases) {
        std::string line;
        for (const auto& a : args) {
            line += a + " ";
        }
        SCOPED_TRACE(line);
        Process flash(args);
        EXPECT_EQ(flash.Wait(), 2);
        EXPECT_TRUE(flash.out.find("Searching") == std::string::npos) << "no transfer begun";
    }
}

TEST_F(Cli, HelpListsTheExitCodes) {
    Process flash({QF580_FLASH, "--help"});
    EXPECT_EQ(flash.Wait(), 0);
    // Scripts read this table: its text stays exactly as it is.
    const std::string table =
        "Exit codes:\n"
        "    0  Transfer completed\n"
        "   10  Aborted according to instruction received\n"
        "   11  Invalid ROM Type\n"
        "   12  Cannot open port\n"
        "   13  Communication setup failure\n"
        "   14  Couldn't receive QUILLMAR character string\n"
        "   15  Heder size communication failure\n"
        "   16  Incorrect input file\n"
        "   17  Header transfer error\n"
        "   18  No END record\n"
        "   19  Incorrect Check Sum\n"
        "   20  Aborted due to communication error\n"
        "    1  internal error (no outcome reached)\n"
        "    2  usage error\n"
        "  130  second Ctrl+C: left without waiting for the transfer to end\n";
    EXPECT_NE(flash.out.find(table), std::string::npos) << flash.out;
    EXPECT_EQ(cli::ExitCodeTable(), table);
    EXPECT_NE(flash.out.find("--timeout-ms"), std::string::npos);
}

// The simulator program as the device, as an operator would try the tool out.
class CliWithSimProgram : public ::testing::Test {
  protected:
    // Writes a sample set with the simulator and returns the path of disk 1.
    std::string MakeSample(const std::string& rom, int disks) {
        Process sample({QF580_SIM, "--make-sample", tmp.dir(), "--rom", rom, "--disks",
                        std::to_string(disks), "--records", "150"});
        EXPECT_EQ(sample.Wait(), 0) << sample.err;
        return sample.Lines().empty() ? std::string() : sample.Lines().front();
    }
    // Starts the simulator for one connection and returns its TCP port.
    std::string StartSim(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {QF580_SIM, "--port", "0", "--once"};
        args.insert(args.end(), extra.begin(), extra.end());
        sim = std::make_unique<Process>(args);
        const std::string prefix = "listening on 127.0.0.1:";
        EXPECT_TRUE(sim->WaitForOutput("\n", 10s)) << sim->err;
        const std::size_t at = sim->out.find(prefix);
        if (at == std::string::npos) {
            ADD_FAILURE() << sim->out << sim->err;
            return "0";
        }
        const std::size_t from = at + prefix.size();
        return sim->out.substr(from, sim->out.find('\n', from) - from);
    }

    TempDir tmp;
    std::unique_ptr<Process> sim;
};

TEST_F(CliWithSimProgram, TwoDiskSetOverTcp) {
    const std::string file = MakeSample("SUB", 2);
    const std::string port = StartSim();
    Process flash({QF580_FLASH, "--address", "127.0.0.1", "--port", port, file});
    EXPECT_EQ(flash.Wait(), 0) << flash.out << flash.err;
    EXPECT_EQ(flash.Lines().back(), "Transfer completed");
    EXPECT_EQ(sim->Wait(), 0) << sim->out << sim->err;
    EXPECT_NE(sim->out.find("complete"), std::string::npos) << sim->out;
}

TEST_F(CliWithSimProgram, DiskAnswerCancelWhenDisk2IsMissing) {
    const std::string file = MakeSample("MAIN", 2);
    tmp.Remove("FW0002.q58");
    // Streamed as the window does: the device sees disk 1's records before the question.
    {
        const std::string port = StartSim();
        Process flash({QF580_FLASH, "--address", "127.0.0.1", "--port", port, "--disk-answer",
                       "cancel", "--no-preflight", file});
        EXPECT_EQ(flash.Wait(), 10) << flash.out << flash.err;
        EXPECT_NE(flash.out.find("Insert Disk 2 [OK/cancel]: cancel\n"), std::string::npos);
        EXPECT_EQ(flash.Lines().back(), "Aborted according to instruction received");
        EXPECT_EQ(sim->Wait(), 1) << "the device saw an unfinished transfer";
    }
    // Checked first: the same question and outcome, and the device is never contacted.
    {
        const std::string port = StartSim();
        Process flash({QF580_FLASH, "--address", "127.0.0.1", "--port", port, "--disk-answer",
                       "cancel", file});
        EXPECT_EQ(flash.Wait(), 10) << flash.out << flash.err;
        EXPECT_EQ(flash.Lines(), (Lines{"Insert Disk 2 [OK/cancel]: cancel",
                                        "Aborted according to instruction received"}));
        sim->Signal(SIGINT);
        EXPECT_EQ(sim->Wait(), 1) << "stopped before the one connection it waited for";
        EXPECT_EQ(sim->out.find("tcp:"), std::string::npos) << sim->out;
    }
}

TEST_F(CliWithSimProgram, DeviceClosingGivesTheCommunicationErrorCode) {
    const std::string file = MakeSample("MAIN", 1);
    const std::string port = StartSim({"--fault", "close:ack:1:65"});
    Process flash({QF580_FLASH, "--address", "127.0.0.1", "--port", port, file});
    EXPECT_EQ(flash.Wait(), 20) << flash.out << flash.err;
    EXPECT_EQ(flash.Lines().back(), "Aborted due to communication error");
    sim->Wait();
}

TEST_F(CliWithSimProgram, OverTheStandInUsbDriver) {
    const std::string file = MakeSample("IRIG", 1);
    const std::string socket = tmp.dir() + "usb.sock";
    StartSim({"--usb", "--usb-socket", socket});
    // The stand-in driver, loaded by the child, finds the simulator through this.
    ::setenv("QF580_SIM_SOCKET", socket.c_str(), 1);
    Process flash({QF580_FLASH, "--usb", "--usb-driver", QF_STANDIN_DRIVER, "--no-fast", file});
    ::unsetenv("QF580_SIM_SOCKET");
    EXPECT_EQ(flash.Wait(), 0) << flash.out << flash.err;
    EXPECT_EQ(flash.Lines().back(), "Transfer completed");
    EXPECT_EQ(sim->Wait(), 0) << sim->out << sim->err;
    EXPECT_NE(sim->out.find("usb: "), std::string::npos) << sim->out;
}

// The documented codes, written out here rather than taken from the code's own table. An
// outcome that the command line doesn't map doesn't compile (exhaustive switch, -Werror).
TEST(CliExitCodes, EveryOutcomeHasItsDocumentedCode) {
    const std::vector<std::pair<Outcome, int>> expected = {
        {Outcome::Completed, 0},          {Outcome::Aborted, 10},
        {Outcome::InvalidRomType, 11},    {Outcome::CannotOpenPort, 12},
        {Outcome::SetupFailure, 13},      {Outcome::NoIdent, 14},
        {Outcome::HeaderSizeFailure, 15}, {Outcome::IncorrectInput, 16},
        {Outcome::HeaderError, 17},       {Outcome::NoEnd, 18},
        {Outcome::BadChecksum, 19},       {Outcome::CommError, 20},
    };
    std::set<Outcome> covered;
    std::set<int> codes;
    for (const auto& [outcome, code] : expected) {
        EXPECT_EQ(cli::ExitCodeFor(outcome), code) << OutcomeText(outcome);
        covered.insert(outcome);
        codes.insert(cli::ExitCodeFor(outcome));
    }
    EXPECT_EQ(covered, std::set<Outcome>(kAllOutcomes.begin(), kAllOutcomes.end()));
    EXPECT_EQ(codes.size(), expected.size()) << "two outcomes share a code";
    for (int reserved : {cli::kExitInternal, cli::kExitUsage, cli::kExitForced}) {
        EXPECT_EQ(codes.count(reserved), 0u) << reserved;
    }
}

TEST(CliAnswer, ParsesWhatAnOperatorTypes) {
    using cli::ParsedAnswer;
    const std::vector<std::pair<std::string, ParsedAnswer>> cases = {
        {"", ParsedAnswer::Ok},
        {"OK", ParsedAnswer::Ok},
        {" ok \r", ParsedAnswer::Ok},
        {"Yes", ParsedAnswer::Ok},
        {"cancel", ParsedAnswer::Cancel},
        {"N", ParsedAnswer::Cancel},
        {"CANCEL\r", ParsedAnswer::Cancel},
        {"okay", ParsedAnswer::Unknown},
        {"o k", ParsedAnswer::Unknown},
        {"2", ParsedAnswer::Unknown},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(cli::ParseAnswer(text), expected) << '"' << text << '"';
    }
}

}  // namespace
}  // namespace qf580::test
