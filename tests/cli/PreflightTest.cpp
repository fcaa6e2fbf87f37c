// The set check from the command line: --check alone, the check before a transfer (the
// default), and --no-preflight, which streams as the window does. For every fault an update
// set can carry: the exit code, what is printed, and whether the device was contacted.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "sim/TcpDeviceServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Sha256Sum.h"
#include "tests/worker/WorkerSupport.h"

namespace qf580::test {
namespace {

using Lines = std::vector<std::string>;
using nlohmann::json;
using sim::TcpDeviceServer;

// A SUB ROM set: pass 1 holds 70 records after START (acknowledged at 0, 1 and 65), pass 2
// holds 10. As two disks, disk 1 ends 5 bytes into pass 1's record 40.
const std::vector<Bytes>& Pass1() {
    static const std::vector<Bytes> records = PassRecords(70, 7, 6);
    return records;
}
const std::vector<Bytes>& Pass2() {
    static const std::vector<Bytes> records = PassRecords(10, 200, 6);
    return records;
}
Bytes OneDisk() {
    return Header(kRomSub, 1) + Join(Pass1()) + kEnd + Join(Pass2()) + kEnd;
}
Bytes Disk1Of2() {
    const Bytes& cut = Pass1()[40];
    return Header(kRomSub, 1) + Join(Pass1(), 0, 40) + Bytes(cut.begin(), cut.begin() + 5);
}
Bytes Disk2Of2() {
    return Header(kRomSub, 2) + Join(Pass1(), 40, 71) + kEnd + Join(Pass2()) + kEnd;
}
std::uint64_t Pass2RecordOffset(std::size_t index) {
    return kHeaderSize + Join(Pass1()).size() + 1 + Join(Pass2(), 0, index).size();
}

struct FaultCase {
    const char* name;
    Bytes disk1;
    std::optional<Bytes> disk2;
    int code;
    std::string outcome;
    // Where the check places the fault.
    int disk;
    std::optional<std::uint64_t> offset;
    // Streamed with --no-preflight --no-fast: the status lines, and what the device received
    // (nothing: no connection at all).
    Lines streamed;
    std::optional<Bytes> received;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

const Lines kUpToPass2 = {"Searching for KV6200", "Sending Header",      "Sending START record",
                          "Sending (1) Record",   "Sending (65) Record", "Sending START record",
                          "Sending (1) Record"};

std::vector<FaultCase> Cases() {
    std::vector<FaultCase> cases;
    {
        Bytes set = OneDisk();
        set[Pass2RecordOffset(5) + 2] ^= 0x40;  // a data byte of pass 2's record 5
        cases.push_back(
            {"BadChecksumInPass2", set, std::nullopt, 19, "Incorrect Check Sum", 1,
             Pass2RecordOffset(5), kUpToPass2 + Lines{"Incorrect Check Sum"},
             Handshake(Header(kRomSub, 1)) + Join(Pass1()) + kEnd + Join(Pass2(), 0, 5)});
    }
    {
        Bytes disk2 = Disk2Of2();
        disk2.pop_back();
        cases.push_back({"NoEndOnDisk2", Disk1Of2(), disk2, 18, "No END record", 2, disk2.size(),
                         kUpToPass2 + Lines{"No END record"},
                         Handshake(Header(kRomSub, 1)) + Join(Pass1()) + kEnd + Join(Pass2())});
    }
    {
        Bytes set = OneDisk();
        set[15] = 'X';  // "QUILLMAR QF580 XUB ROM"
        cases.push_back({"InvalidRomLine", set, std::nullopt, 11, "Invalid ROM Type", 1, 0,
                         Lines{"Invalid ROM Type"}, std::nullopt});
    }
    {
        Bytes set = Header(kRomSub, 1);
        set.resize(50);
        cases.push_back({"ShortHeader", set, std::nullopt, 16, "Incorrect input file", 1, 50,
                         Lines{"Searching for KV6200", "Sending Header", "Incorrect input file"},
                         ToBytes(":UP:EXEC\r\nUQUILLMAR\r\n") + Bytes{0x38}});
    }
    cases.push_back({"MissingDisk2Cancelled", Disk1Of2(), std::nullopt, 10,
                     "Aborted according to instruction received", 2, std::nullopt,
                     Lines{"Searching for KV6200", "Sending Header", "Sending START record",
                           "Sending (1) Record", "Insert Disk 2 [OK/cancel]: cancel",
                           "Aborted according to instruction received"},
                     Handshake(Header(kRomSub, 1)) + Join(Pass1(), 0, 40)});
    return cases;
}

class Preflight : public ::testing::TestWithParam<FaultCase> {
  protected:
    void SetUp() override {
        const FaultCase& c = GetParam();
        file = tmp.Write("FW0001.q58", c.disk1);
        if (c.disk2) {
            tmp.Write("FW0002.q58", *c.disk2);
        }
    }
    std::vector<std::string> Flash(std::uint16_t port, std::vector<std::string> extra) const {
        std::vector<std::string> args = {QF580_FLASH, "--address",          "127.0.0.1",
                                         "--port",    std::to_string(port), "--disk-answer",
                                         "cancel",    "--timeout-ms",       "300"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(file);
        return args;
    }

    TempDir tmp;
    std::string file;
};

TEST_P(Preflight, CheckAloneNamesTheFaultAndExitsWithItsCode) {
    const FaultCase& c = GetParam();
    ChildProcess check({QF580_FLASH, "--check", "--disk-answer", "cancel", file});
    EXPECT_EQ(check.Wait(), c.code) << check.out << check.err;
    const Lines lines = check.Lines();
    ASSERT_FALSE(lines.empty());
    // The disk question, where there is one, comes first: the summary follows the reading.
    EXPECT_EQ(lines[c.code == 10 ? 1 : 0], "Set: " + file);
    EXPECT_EQ(lines.back(), c.outcome);
    std::string where = "Fault: disk " + std::to_string(c.disk) + " (" + tmp.dir() + "FW000" +
                        std::to_string(c.disk) + ".q58)";
    if (c.offset) {
        where += ", byte " + std::to_string(*c.offset);
    }
    EXPECT_NE(check.out.find(where + ": "), std::string::npos) << check.out;
}

TEST_P(Preflight, CheckAsJsonIsOneObject) {
    const FaultCase& c = GetParam();
    ChildProcess check({QF580_FLASH, "--check", "--json", "--disk-answer", "cancel", file});
    EXPECT_EQ(check.Wait(), c.code) << check.err;
    ASSERT_EQ(check.Lines().size(), 1u) << check.out;
    const json object = json::parse(check.out);
    EXPECT_EQ(object["event"], "check");
    EXPECT_TRUE(object["device"].is_null());
    EXPECT_EQ(object["file"], file);
    EXPECT_EQ(object["outcome"], c.outcome);
    EXPECT_EQ(object["exit_code"], c.code);
    EXPECT_EQ(object["fault"]["disk"], c.disk);
    if (c.offset) {
        EXPECT_EQ(object["fault"]["offset"], *c.offset);
    } else {
        EXPECT_TRUE(object["fault"]["offset"].is_null());
    }
    EXPECT_TRUE(object["records"].is_null()) << "no totals for a set that can't be sent";
    // The person reads the same on standard error.
    EXPECT_NE(check.err.find(c.outcome), std::string::npos) << check.err;
}

TEST_P(Preflight, ByDefaultNoDeviceIsContacted) {
    const FaultCase& c = GetParam();
    TcpDeviceServer device;
    ChildProcess flash(Flash(device.Port(), {}));
    EXPECT_EQ(flash.Wait(), c.code) << flash.out << flash.err;
    Lines expected{c.outcome};
    if (c.code == 10) {
        expected.insert(expected.begin(), "Insert Disk 2 [OK/cancel]: cancel");
    }
    EXPECT_EQ(flash.Lines(), expected);
    EXPECT_NE(flash.err.find("refused before any device was contacted"), std::string::npos)
        << flash.err;
    EXPECT_EQ(device.ConnectionsAccepted(), 0u);
}

TEST_P(Preflight, NoPreflightStreamsAsTheWindowDoes) {
    const FaultCase& c = GetParam();
    TcpDeviceServer device;
    ChildProcess flash(Flash(device.Port(), {"--no-preflight", "--no-fast"}));
    EXPECT_EQ(flash.Wait(), c.code) << flash.out << flash.err;
    EXPECT_EQ(flash.Lines(), c.streamed);
    EXPECT_TRUE(flash.err.empty()) << flash.err;
    if (c.received) {
        ASSERT_TRUE(device.WaitForConnectionsEnded(1, std::chrono::seconds(5)));
        EXPECT_EQ(device.Received().bytes, *c.received);
    } else {
        EXPECT_EQ(device.ConnectionsAccepted(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, Preflight, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PreflightSound, CheckPrintsTheSummaryAndTheTransferGoesAhead) {
    TempDir tmp;
    const std::string file = tmp.Write("FW0001.q58", Disk1Of2());
    tmp.Write("FW0002.q58", Disk2Of2());
    ChildProcess check({QF580_FLASH, "--check", file});
    EXPECT_EQ(check.Wait(), 0) << check.err;
    const std::uint64_t total = OneDisk().size();
    EXPECT_EQ(
        check.Lines(),
        (Lines{"Set: " + file, "ROM type: SUB ROM, 2 passes", "Pass 1: 71 records, 995 bytes",
               "Pass 2: 11 records, 155 bytes",
               "Disk 1 " + tmp.dir() +
                   "FW0001.q58: header, pass 1 records 0-39; 5 bytes of a record cut short "
                   "at its end, dropped",
               "Disk 2 " + tmp.dir() +
                   "FW0002.q58: pass 1 records 40-70 and END, pass 2 records 0-10 and END",
               "Disk 1 SHA-256: " + Sha256Sum(Disk1Of2()),
               "Disk 2 SHA-256: " + Sha256Sum(Disk2Of2()),
               "Total: 82 records, " + std::to_string(total) + " bytes with the 56-byte header",
               // As sent: the same as the set's in one disk.
               "Set SHA-256: " + Sha256Sum(OneDisk()), "The set is sound"}));

    ChildProcess json({QF580_FLASH, "--check", "--json", file});
    EXPECT_EQ(json.Wait(), 0) << json.err;
    const nlohmann::json object = nlohmann::json::parse(json.out);
    EXPECT_EQ(object["outcome"], "Transfer completed");
    EXPECT_EQ(object["rom_type"], "SUB ROM");
    EXPECT_EQ(object["bytes"], total);
    EXPECT_EQ(object["records"], 82);
    EXPECT_TRUE(object["fault"].is_null());
    ASSERT_EQ(object["disks"].size(), 2u);
    EXPECT_EQ(object["disks"][0]["dropped_bytes"], 5);
    EXPECT_EQ(object["disks"][1]["parts"][1]["records"], 11);

    TcpDeviceServer device;
    ChildProcess flash(
        {QF580_FLASH, "--address", "127.0.0.1", "--port", std::to_string(device.Port()), file});
    EXPECT_EQ(flash.Wait(), 0) << flash.out << flash.err;
    EXPECT_EQ(flash.Lines(), (kUpToPass2 + Lines{"Transfer completed"}));
    ASSERT_TRUE(device.WaitForConnectionsEnded(1, std::chrono::seconds(5)));
    EXPECT_EQ(device.Received().bytes,
              Handshake(Header(kRomSub, 1)) + Join(Pass1()) + kEnd + Join(Pass2()) + kEnd);
}

TEST(PreflightSound, CheckNeedsNoAddressButAFile) {
    ChildProcess missing({QF580_FLASH, "--check"});
    EXPECT_EQ(missing.Wait(), 2);
    ChildProcess both({QF580_FLASH, "--check", "--no-preflight", "/dev/null"});
    EXPECT_EQ(both.Wait(), 2);
}

// A sound set under a name whose disk 1 is another file: said first, so that the person who
// is asked for disk 1 knows which file that is.
TEST(PreflightQuestion, SaysWhichFileIsDiskOneBeforeAskingForIt) {
    TempDir tmp;
    const std::string file = tmp.Write("release.q58", OneDisk());
    ChildProcess check({QF580_FLASH, "--check", "--disk-answer", "cancel", file});
    EXPECT_EQ(check.Wait(), 10) << check.out << check.err;
    EXPECT_EQ(check.err.rfind("qf580-flash: disk 1 of this set is " + tmp.dir() +
                                  "releas1.q58, not " + file + ": ",
                              0),
              0u)
        << check.err;
    EXPECT_EQ(check.Lines().front(), "Insert Disk 1 [OK/cancel]: cancel");
}

// Started with its standard input closed, as some launchers start programs, qf580-flash has
// nobody to answer the disk question: that is the end of input, and the question cancels at
// once instead of waiting for ever on whatever descriptor took number 0.
TEST(PreflightQuestion, AClosedStandardInputCancelsAtOnce) {
    TempDir tmp;
    const std::string file = tmp.Write("FW0001.q58", Disk1Of2());
    TcpDeviceServer device;
    for (const std::string redirect : {"<&-", "<&- 2>&-", "<&- >&- 2>&-"}) {
        SCOPED_TRACE(redirect);
        ChildProcess flash({"/bin/sh", "-c", "exec \"$0\" \"$@\" " + redirect, QF580_FLASH,
                            "--address", "127.0.0.1", "--port", std::to_string(device.Port()),
                            file});
        EXPECT_EQ(flash.Wait(std::chrono::seconds(10)), 10) << flash.out << flash.err;
        if (redirect == "<&-") {
            EXPECT_NE(flash.err.find("disk 2 was asked for and not given"), std::string::npos)
                << flash.err;
        }
    }
    EXPECT_EQ(device.ConnectionsAccepted(), 0u);
}

}  // namespace
}  // namespace qf580::test
