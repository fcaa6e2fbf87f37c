// qf580-flash as a process against the device model on a loopback socket: what it prints,
// how it answers the disk question, how it stops, and its exit codes.
#include <gtest/gtest.h>

#include <errno.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "cli/ExitCodes.h"
#include "cli/TerminalOperator.h"
#include "sim/TcpDeviceServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/worker/WorkerSupport.h"

namespace qf580::test {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
using sim::Fault;
using sim::FaultKind;
using sim::FaultPlan;
using sim::ReplyPoint;
using sim::TcpDeviceServer;

const Lines kWorkedExample = TransferTexts({1});

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
        std::vector<std::string> args = {QF580_FLASH,    file,
                                         "--address",    "127.0.0.1",
                                         "--port",       std::to_string(port),
                                         "--timeout-ms", std::to_string(kShortTimeoutMs)};
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
        ChildProcess flash(Args(file, device.Port(), {fast}));
        EXPECT_EQ(flash.Wait(), 0) << flash.err;
        EXPECT_EQ(flash.Lines(), kWorkedExample);
        ASSERT_TRUE(device.WaitForConnectionsEnded(1, 5s));
        const Bytes expected = Handshake(Header(kRomMain, 1)) + Bytes{0x01, 0x12, 0x34, 0x46} +
                               Bytes{0x02, 0x01, 0x02, 0x03, 0x04, 0x0A} + kEnd;
        EXPECT_EQ(device.Received().bytes, expected);
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
    ChildProcess flash(Args(file, device.Port(), {"--disk-answer", "cancel"}));
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

// The records after the last acknowledgement and the END byte get no answer: a device gone
// there is a failure for scripts too, and one that took every byte and then closed is not.
TEST_F(Cli, DeviceGoneAfterTheLastAcknowledgementFailsWithItsCode) {
    const std::string file = WriteDisk1(GoodSet());
    const std::size_t everything = Handshake(Header(kRomMain, 1)).size() + GoodSet().size() - 56;
    const Fault tookAll = Fault::CloseAfter(everything);
    const Fault allButEnd = Fault::CloseAfter(everything - 1);
    const struct {
        const char* name;
        Fault fault;
        std::string outcome;
        int code;
    } cases[] = {
        // Records 0 to 3: acknowledged last at 1, so 2, 3 and the END byte are the stretch.
        {"after record 2", At(FaultKind::Close, ReplyPoint::RecordAck, 2),
         "Aborted due to communication error", 20},
        {"after record 3", At(FaultKind::Close, ReplyPoint::RecordAck, 3),
         "Aborted due to communication error", 20},
        {"before the END byte", allButEnd, "Aborted due to communication error", 20},
        {"after every byte", tookAll, "Transfer completed", 0},
    };
    for (const char* fast : {"--fast", "--no-fast"}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(fast) + ", closed " + c.name);
            TcpDeviceServer device(FaultPlan{{c.fault}, 0});
            ChildProcess flash(Args(file, device.Port(), {fast}));
            EXPECT_EQ(flash.Wait(), c.code) << flash.out << flash.err;
            ASSERT_FALSE(flash.Lines().empty());
            EXPECT_EQ(flash.Lines().back(), c.outcome);
        }
    }
}

TEST_F(Cli, NoEndRecordOnDisk2) {
    WriteTwoDiskSet();
    disk2.pop_back();  // without its END
    WriteDisk2();
    TcpDeviceServer device;
    ChildProcess flash(Args(tmp.dir() + "FW0001.q58", device.Port()));
    EXPECT_EQ(flash.Wait(), 18) << flash.err;
    EXPECT_EQ(flash.Lines().back(), "No END record");
}

TEST_F(Cli, NothingListeningCannotOpenPort) {
    const std::string file = WriteWorkedExample();
    std::uint16_t port = 0;
    {
        TcpDeviceServer gone;
        port = gone.Port();
    }
    ChildProcess flash(Args(file, port));
    EXPECT_EQ(flash.Wait(), 12) << flash.err;
    EXPECT_EQ(flash.Lines(), Then(ToHandshake(), "Cannot open port"));
}

TEST_F(Cli, DiskAnswerCancel) {
    const std::string file = WriteTwoDiskSet();
    TcpDeviceServer device;
    ChildProcess flash(Args(file, device.Port(), {"--disk-answer", "cancel"}));
    EXPECT_EQ(flash.Wait(), 10) << flash.err;
    const Lines lines = flash.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Insert Disk 2 [OK/cancel]: cancel");
    EXPECT_EQ(lines.back(), "Aborted according to instruction received");
}

TEST_F(Cli, DiskAnswerOkGivesUpWhenTheDiskNeverComes) {
    const std::string file = WriteTwoDiskSet();
    TcpDeviceServer device;
    ChildProcess flash(Args(file, device.Port(), {"--disk-answer", "ok"}));
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
    ChildProcess flash(Args(file, device.Port(), {"--disk-answer", "ok"}));
    EXPECT_EQ(flash.Wait(), 0) << flash.err;
    EXPECT_EQ(flash.out.find("Insert Disk"), std::string::npos) << "no question asked";
}

TEST_F(Cli, AskedOnTheTerminalInsertedThenOk) {
    const std::string file = WriteTwoDiskSet();
    TcpDeviceServer device;
    ChildProcess flash(Args(file, device.Port()));
    ASSERT_TRUE(flash.WaitForOutput("Insert Disk 2 [OK/cancel]: ", 10s)) << flash.out;
    // A reply it doesn't understand is asked again.
    flash.Write("maybe\n");
    ASSERT_TRUE(flash.WaitForOutput("]: \nInsert Disk 2 [OK/cancel]: ", 10s)) << flash.out;
    WriteDisk2();
    flash.Write("OK\n");
    EXPECT_EQ(flash.Wait(), 0) << flash.out << flash.err;
    EXPECT_EQ(flash.Lines().back(), "Transfer completed");
    ASSERT_TRUE(device.WaitForConnectionsEnded(1, 5s));
    EXPECT_EQ(device.Received().bytes, Handshake(Header(kRomMain, 1)) + Join(records) + kEnd);
}

TEST_F(Cli, EndOfInputCancelsTheQuestion) {
    const std::string file = WriteTwoDiskSet();
    TcpDeviceServer device;
    ChildProcess flash(Args(file, device.Port()));
    flash.CloseInput();
    EXPECT_EQ(flash.Wait(), 10) << flash.err;
    EXPECT_EQ(flash.Lines().back(), "Aborted according to instruction received");
}

TEST_F(Cli, InterruptWhileTheQuestionIsOpenCancelsIt) {
    const std::string file = WriteTwoDiskSet();
    TcpDeviceServer device;
    ChildProcess flash(Args(file, device.Port()));
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
    ChildProcess flash(Args(file, device.Port(), {"--no-fast"}));
    ASSERT_TRUE(flash.WaitForOutput("Sending (1) Record\n", 10s)) << flash.out;
    flash.Signal(GetParam());
    EXPECT_EQ(flash.Wait(10s), 10) << flash.err;
    EXPECT_EQ(flash.Lines().back(), "Aborted according to instruction received");
    EXPECT_NE(flash.err.find("stop requested"), std::string::npos);
    ASSERT_TRUE(device.WaitForConnectionsEnded(1, 5s));
    EXPECT_FALSE(device.Complete());
}

// SIGHUP: the terminal the run was started from has gone; the transfer still ends at a stop
// point with its outcome, not in the middle of a record.
INSTANTIATE_TEST_SUITE_P(Signals, CliSignal, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

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
        ChildProcess flash(args);
        EXPECT_EQ(flash.Wait(), 2);
        EXPECT_TRUE(flash.out.find("Searching") == std::string::npos) << "no transfer begun";
    }
}

// The file named on the command line is opened as the window opens its chosen file, and a
// refusal says which file and why, at once.
TEST_F(Cli, RefusesAnUnusableUpdateFileWithItsReason) {
    using Special = TempDir::Special;
    const std::string regular = WriteWorkedExample();
    const struct {
        std::string what;
        std::string path;
        std::string why;
    } cases[] = {
        {"named pipe", tmp.Make(Special::Fifo, "pipe/FW0001.q58"),
         "is a named pipe (FIFO), not a regular file"},
        {"folder", tmp.Make(Special::Folder, "folder/FW0001.q58"),
         "is a directory, not a regular file"},
        {"socket", tmp.Make(Special::Socket, "socket/FW0001.q58"),
         "is a socket, not a regular file"},
        {"missing", tmp.dir() + "missing.q58", "No such file or directory"},
        {"name too long", tmp.dir() + std::string(300, 'n') + ".q58", "File name too long"},
        {"under a file", regular + "/FW0001.q58", "Not a directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ChildProcess flash({QF580_FLASH, c.path, "--usb", "--disk-answer", "cancel"});
        EXPECT_EQ(flash.Wait(1s), 2);
        EXPECT_NE(flash.err.find("cannot open " + c.path + ": " + c.why), std::string::npos)
            << flash.err;
        EXPECT_TRUE(flash.out.empty()) << "no transfer begun: " << flash.out;
    }
}

// A folder the program may not enter is not a missing file. Only a process that can take on
// another user can show it: the superuser reads every folder.
TEST_F(Cli, FolderItMayNotEnterSaysPermissionDenied) {
    const std::string file = WriteWorkedExample();  // inside a folder only its owner enters
    int err[2];
    ASSERT_EQ(::pipe(err), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    const gid_t nobody = 65534;
    if (child == 0) {
        ::dup2(err[1], 2);
        if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0) {
            ::_exit(77);
        }
        const char* argv[] = {QF580_FLASH, file.c_str(), "--usb", nullptr};
        ::execv(QF580_FLASH, const_cast<char* const*>(argv));
        // A build tree under a folder only its owner enters (root's home, mode 0700): the
        // other user cannot reach the program at all, which shows nothing of ours.
        ::_exit(errno == EACCES ? 78 : 127);
    }
    ::close(err[1]);
    std::string message;
    char chunk[256];
    for (ssize_t n; (n = ::read(err[0], chunk, sizeof chunk)) > 0;) {
        message.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(err[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) {
        GTEST_SKIP() << "this process cannot run a program as another user";
    }
    if (WEXITSTATUS(status) == 78) {
        GTEST_SKIP() << "user " << nobody << " cannot reach " << QF580_FLASH
                     << " (Permission denied): the build tree lies in a folder it may not enter";
    }
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_NE(message.find("cannot open " + file + ": Permission denied"), std::string::npos)
        << message;
}

// A disk of the set that is no regular file can't be opened, so it is asked for, at once.
TEST_F(Cli, DiskThatIsNoRegularFileIsAskedFor) {
    using Special = TempDir::Special;
    for (const Special kind : {Special::Fifo, Special::Folder, Special::Socket}) {
        for (const int diskNo : {1, 2}) {
            SCOPED_TRACE(std::string(TempDir::Name(kind)) + " as disk " + std::to_string(diskNo));
            TempDir set;
            std::string chosen;
            if (diskNo == 1) {
                chosen = set.Write("FW0000.q58", GoodSet());
                set.Make(kind, "FW0001.q58");
            } else {
                chosen = set.Write("FW0001.q58", Header(kRomMain, 1) + Record(2, 1));
                set.Make(kind, "FW0002.q58");
            }
            TcpDeviceServer device;
            ChildProcess flash(Args(chosen, device.Port(), {"--disk-answer", "cancel"}));
            EXPECT_EQ(flash.Wait(1s), 10) << flash.out << flash.err;
            const Lines lines = flash.Lines();
            ASSERT_GE(lines.size(), 2u);
            EXPECT_EQ(lines[lines.size() - 2],
                      "Insert Disk " + std::to_string(diskNo) + " [OK/cancel]: cancel");
            EXPECT_EQ(lines.back(), "Aborted according to instruction received");
        }
    }
}

// The digit of a disk replaces the whole last character before the dot, however many bytes
// it takes in UTF-8, so the set is found.
TEST_F(Cli, FindsTheDisksOfAUtf8Name) {
    const std::string chosen = tmp.Write("ファームウェア一.q58", "not a disk");
    tmp.Write("ファームウェア1.q58", GoodSet());
    TcpDeviceServer device;
    ChildProcess flash(Args(chosen, device.Port(), {"--disk-answer", "cancel"}));
    EXPECT_EQ(flash.Wait(), 0) << flash.out << flash.err;
    EXPECT_EQ(flash.out.find("Insert Disk"), std::string::npos) << flash.out;
    EXPECT_EQ(flash.Lines().back(), "Transfer completed");
}

TEST_F(Cli, HelpListsTheExitCodes) {
    ChildProcess flash({QF580_FLASH, "--help"});
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
        "   21  the set's SHA-256 is not the one --expect-sha256 gives\n"
        "    1  internal error (no outcome reached)\n"
        "    2  usage error\n"
        "    3  every device completed, but output or record is incomplete\n"
        "  130  second Ctrl+C: left without waiting for the transfer to end\n";
    EXPECT_NE(flash.out.find(table), std::string::npos) << flash.out;
    // A station session's codes come after them.
    EXPECT_EQ(cli::ExitCodeTable(),
              table +
                  "    4  --loop: the session ended, and some of its units failed\n"
                  "   22  --loop: the line stopped, too many failures in a row\n"
                  "   23  --loop: the set on the disk changed; none of it sent\n");
    EXPECT_NE(flash.out.find("--timeout-ms"), std::string::npos);
}

TEST_F(Cli, HelpShowsNoneOfTheParsersNotation) {
    ChildProcess flash({QF580_FLASH, "--help"});
    EXPECT_EQ(flash.Wait(), 0);
    for (const char* notation : {"{false}", "{true}", "TEXT", "UINT", "INT",
                                 "Excludes:", "Needs:", "REQUIRED", "=8023", "=ask"}) {
        EXPECT_EQ(flash.out.find(notation), std::string::npos) << notation << "\n" << flash.out;
    }
    // What each option takes, and where a default went: into the description.
    for (const char* shown :
         {"  --fast, --no-fast ", "  --no-preflight ", "  --address ADDR[:PORT] ...",
          "  --port PORT ", "  --disk-answer ask|ok|cancel ", "  --usb-driver PATH ",
          "  --record FILE ", "  --expect-sha256 HEX ", "  --timeout-ms MS", "(default 8023)",
          "(default ask)"}) {
        EXPECT_NE(flash.out.find(shown), std::string::npos) << shown << "\n" << flash.out;
    }
}

// The simulator program as the device, as an operator would try the tool out.
class CliWithSimProgram : public ::testing::Test {
  protected:
    // Writes a sample set with the simulator and returns the path of disk 1.
    std::string MakeSample(const std::string& rom, int disks) {
        ChildProcess sample({QF580_SIM, "--make-sample", tmp.dir(), "--rom", rom, "--disks",
                             std::to_string(disks), "--records", "150"});
        EXPECT_EQ(sample.Wait(), 0) << sample.err;
        return sample.Lines().empty() ? std::string() : sample.Lines().front();
    }
    // Starts the simulator for one connection and returns its TCP port.
    std::string StartSim(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {QF580_SIM, "--port", "0", "--once"};
        args.insert(args.end(), extra.begin(), extra.end());
        sim = std::make_unique<ChildProcess>(args);
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
    std::unique_ptr<ChildProcess> sim;
};

TEST_F(CliWithSimProgram, TwoDiskSetOverTcp) {
    const std::string file = MakeSample("SUB", 2);
    const std::string port = StartSim();
    ChildProcess flash({QF580_FLASH, "--address", "127.0.0.1", "--port", port, file});
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
        ChildProcess flash({QF580_FLASH, "--address", "127.0.0.1", "--port", port, "--disk-answer",
                            "cancel", "--no-preflight", file});
        EXPECT_EQ(flash.Wait(), 10) << flash.out << flash.err;
        EXPECT_NE(flash.out.find("Insert Disk 2 [OK/cancel]: cancel\n"), std::string::npos);
        EXPECT_EQ(flash.Lines().back(), "Aborted according to instruction received");
        EXPECT_EQ(sim->Wait(), 1) << "the device saw an unfinished transfer";
    }
    // Checked first: the same question and outcome, and the device is never contacted.
    {
        const std::string port = StartSim();
        ChildProcess flash({QF580_FLASH, "--address", "127.0.0.1", "--port", port, "--disk-answer",
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
    ChildProcess flash({QF580_FLASH, "--address", "127.0.0.1", "--port", port, file});
    EXPECT_EQ(flash.Wait(), 20) << flash.out << flash.err;
    EXPECT_EQ(flash.Lines().back(), "Aborted due to communication error");
    sim->Wait();
}

TEST_F(CliWithSimProgram, DeviceClosingAfterTheLastAcknowledgementIsNoSuccess) {
    // 150 records after START: acknowledged last at 129, so 130 to 150 get no answer.
    const std::string file = MakeSample("SUB", 1);
    for (const char* fast : {"--fast", "--no-fast"}) {
        SCOPED_TRACE(fast);
        const std::string port = StartSim({"--fault", "close:ack:2:140"});
        ChildProcess flash({QF580_FLASH, "--address", "127.0.0.1", "--port", port, fast, file});
        EXPECT_EQ(flash.Wait(), 20) << flash.out << flash.err;
        EXPECT_EQ(flash.Lines().back(), "Aborted due to communication error");
        EXPECT_EQ(sim->Wait(), 1) << "the device saw an unfinished transfer";
    }
}

TEST_F(CliWithSimProgram, OverTheStandInUsbDriver) {
    const std::string file = MakeSample("IRIG", 1);
    const std::string socket = tmp.dir() + "usb.sock";
    StartSim({"--usb", "--usb-socket", socket});
    // The stand-in driver, loaded by the child, finds the simulator through this.
    ::setenv("QF580_SIM_SOCKET", socket.c_str(), 1);
    ChildProcess flash(
        {QF580_FLASH, "--usb", "--usb-driver", QF_STANDIN_DRIVER, "--no-fast", file});
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
