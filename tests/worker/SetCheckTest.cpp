// The set check against sets built byte by byte, and against the worker itself: for every set
// the check must name the outcome that a transfer of that set to a healthy device ends with,
// having read exactly the records the worker sends.
#include <gtest/gtest.h>

#include "tests/worker/WorkerSupport.h"
#include "transfer/SetCheck.h"

namespace qf580::test {
namespace {

// A set on disk: disk 1 and, where the case has one, disk 2.
struct SetFiles {
    Bytes disk1;
    std::optional<Bytes> disk2;
    // Disk 2 is a link to itself: the system refuses it for a reason no disk put in its place
    // would cure.
    bool disk2Loops = false;
};

// The operator at the disk question: the answers in order (Cancel once they run out); with
// `insertDisk2`, disk 2 is put in place before the first answer.
struct Operator {
    std::vector<bool> answers = {};
    bool insertDisk2 = false;
};

struct Expected {
    Outcome outcome = Outcome::Completed;
    // Records per pass, START included, END not, as read before the end or the fault.
    std::vector<int> records = {};
    // The fault's place: disk, byte offset, pass and record index.
    int faultDisk = 0;
    std::optional<std::uint64_t> faultOffset = std::nullopt;
    int faultPass = 0;
    int faultRecord = -1;
    std::vector<int> asked = {};
};

struct CheckCase {
    const char* name = "";
    std::function<SetFiles()> files = {};
    Operator op = {};
    Expected expected = {};
    // What "which disk holds what" must say, for cases where it matters.
    std::function<void(const SetSummary&)> more = {};
};

void PrintTo(const CheckCase& c, std::ostream* os) {
    *os << c.name;
}

std::uint64_t Size(const Bytes& b) {
    return b.size();
}

// 30 records after START in pass 1 and 20 in pass 2, records of 6 words (14 bytes).
std::vector<Bytes> Pass1() {
    return PassRecords(30, 3, 6);
}
std::vector<Bytes> Pass2() {
    return PassRecords(20, 90, 6);
}
Bytes SubSet() {
    return Header(kRomSub, 1) + Join(Pass1()) + kEnd + Join(Pass2()) + kEnd;
}
// Disk 1 holds pass 1's records 0 to 19 and 5 bytes of record 20; disk 2 the rest.
SetFiles TwoDisks() {
    const Bytes cut = Pass1()[20];
    return {Header(kRomSub, 1) + Join(Pass1(), 0, 20) + Bytes(cut.begin(), cut.begin() + 5),
            Header(kRomSub, 2) + Join(Pass1(), 20, 31) + kEnd + Join(Pass2()) + kEnd};
}
// The offset of record `index` of pass 2 in SubSet().
std::uint64_t Pass2Offset(int index) {
    return kHeaderSize + Size(Join(Pass1())) + 1 + Size(Join(Pass2(), 0, index));
}

const std::vector<CheckCase> kCases = {
    {.name = "MainSoundWithBytesAfterItsEnd",
     .files =
         [] {
             return SetFiles{Header(kRomMain, 1) + Join(PassRecords(10, 1)) + kEnd +
                                 ToBytes("not part of the set"),
                             std::nullopt};
         },
     .expected = {.outcome = Outcome::Completed, .records = {11}},
     .more =
         [](const SetSummary& s) {
             ASSERT_EQ(s.disks.size(), 1u);
             EXPECT_EQ(s.disks[0].unreadBytes, 19u);
             EXPECT_EQ(s.disks[0].droppedBytes, 0u);
             ASSERT_EQ(s.disks[0].parts.size(), 1u);
             EXPECT_EQ(s.disks[0].parts[0].records, 11);
             EXPECT_TRUE(s.disks[0].parts[0].endRecord);
             // 11 records of 18 bytes and the END byte, after the header.
             EXPECT_EQ(s.passes[0].Bytes(), 11u * 18u + 1u);
             EXPECT_EQ(s.TotalBytes(), 56u + 11u * 18u + 1u);
             EXPECT_EQ(s.romType, kRomMain);
         }},
    {.name = "SubTwoPassesOnOneDisk",
     .files =
         [] {
             return SetFiles{SubSet(), std::nullopt};
         },
     .expected = {.outcome = Outcome::Completed, .records = {31, 21}},
     .more =
         [](const SetSummary& s) {
             ASSERT_EQ(s.disks.size(), 1u);
             ASSERT_EQ(s.disks[0].parts.size(), 2u);
             EXPECT_EQ(s.disks[0].parts[1].pass, 2);
             EXPECT_EQ(s.disks[0].parts[1].records, 21);
             EXPECT_EQ(s.disks[0].unreadBytes, 0u);
             EXPECT_EQ(s.TotalRecords(), 52);
             EXPECT_EQ(s.TotalBytes(), Size(SubSet()));
         }},
    {.name = "TwoDisksWithARecordCutShortOnDisk1",
     .files = TwoDisks,
     .expected = {.outcome = Outcome::Completed, .records = {31, 21}},
     .more =
         [](const SetSummary& s) {
             ASSERT_EQ(s.disks.size(), 2u);
             EXPECT_EQ(s.disks[0].droppedBytes, 5u);
             EXPECT_EQ(s.disks[0].streamEnd, kHeaderSize + 20u * 14u);
             ASSERT_EQ(s.disks[0].parts.size(), 1u);
             EXPECT_EQ(s.disks[0].parts[0].records, 20);
             EXPECT_FALSE(s.disks[0].parts[0].endRecord);
             ASSERT_EQ(s.disks[1].parts.size(), 2u);
             EXPECT_EQ(s.disks[1].parts[0].pass, 1);
             EXPECT_EQ(s.disks[1].parts[0].firstRecord, 20);
             EXPECT_EQ(s.disks[1].parts[0].records, 11);
             EXPECT_TRUE(s.disks[1].parts[0].endRecord);
             EXPECT_EQ(s.disks[1].parts[1].pass, 2);
             EXPECT_EQ(s.disks[1].parts[1].records, 21);
             EXPECT_EQ(s.disks[1].path.substr(s.disks[1].path.size() - 10), "FW0002.q58");
         }},
    {.name = "Pass2StartsOnDisk2",
     .files =
         [] {
             return SetFiles{Header(kRomIrig, 1) + Join(Pass1()) + kEnd,
                             Header(kRomIrig, 2) + Join(Pass2()) + kEnd};
         },
     .expected = {.outcome = Outcome::Completed, .records = {31, 21}},
     .more =
         [](const SetSummary& s) {
             ASSERT_EQ(s.disks.size(), 2u);
             EXPECT_EQ(s.disks[0].droppedBytes, 0u);
             ASSERT_EQ(s.disks[1].parts.size(), 1u);
             EXPECT_EQ(s.disks[1].parts[0].pass, 2);
             EXPECT_EQ(s.disks[1].parts[0].firstRecord, 0);
         }},
    {.name = "PassWhoseFirstRecordIsItsEnd",
     .files =
         [] {
             return SetFiles{Header(kRomSub, 1) + kEnd + Join(Pass2()) + kEnd, std::nullopt};
         },
     .expected = {.outcome = Outcome::Completed, .records = {0, 21}},
     .more =
         [](const SetSummary& s) {
             ASSERT_EQ(s.disks[0].parts.size(), 2u);
             EXPECT_EQ(s.disks[0].parts[0].records, 0);
             EXPECT_TRUE(s.disks[0].parts[0].endRecord);
             EXPECT_EQ(s.passes[0].Bytes(), 1u);
         }},
    {.name = "BadChecksumInPass2",
     .files =
         [] {
             Bytes set = SubSet();
             set[Pass2Offset(4) + 3] ^= 0x01;  // a data byte of record 4
             return SetFiles{set, std::nullopt};
         },
     .expected = {.outcome = Outcome::BadChecksum,
                  .records = {31, 4},
                  .faultDisk = 1,
                  .faultOffset = Pass2Offset(4),
                  .faultPass = 2,
                  .faultRecord = 4}},
    {.name = "BadChecksumOnDisk2",
     .files =
         [] {
             SetFiles f = TwoDisks();
             (*f.disk2)[kHeaderSize + 14 * 3 + 13] ^= 0xFF;  // the checksum of pass 1's record 23
             return f;
         },
     .expected = {.outcome = Outcome::BadChecksum,
                  .records = {23},
                  .faultDisk = 2,
                  .faultOffset = kHeaderSize + 14 * 3,
                  .faultPass = 1,
                  .faultRecord = 23}},
    {.name = "NoEndOnDisk2",
     .files =
         [] {
             SetFiles f = TwoDisks();
             f.disk2->pop_back();
             return f;
         },
     .expected = {.outcome = Outcome::NoEnd,
                  .records = {31, 21},
                  .faultDisk = 2,
                  .faultOffset = Size(*TwoDisks().disk2) - 1,
                  .faultPass = 2,
                  .faultRecord = 21}},
    {.name = "Disk2EndsInsideARecord",
     .files =
         [] {
             SetFiles f = TwoDisks();
             f.disk2->resize(f.disk2->size() - 5);
             return f;
         },
     .expected = {.outcome = Outcome::NoEnd,
                  .records = {31, 20},
                  .faultDisk = 2,
                  .faultOffset = Size(*TwoDisks().disk2) - 5,
                  .faultPass = 2,
                  .faultRecord = 20}},
    {.name = "Disk2ShorterThanItsHeader",
     .files =
         [] {
             SetFiles f = TwoDisks();
             f.disk2->resize(49);  // the disk number's first digit is its last byte
             (*f.disk2)[48] = '2';
             return f;
         },
     .expected = {.outcome = Outcome::NoEnd,
                  .records = {20},
                  .faultDisk = 2,
                  .faultOffset = 49,
                  .faultPass = 1,
                  .faultRecord = 20}},
    {.name = "InvalidRomTypeLine",
     .files =
         [] {
             Bytes set = SubSet();
             set[30] = ' ';  // the carriage return of the ROM type line
             return SetFiles{set, std::nullopt};
         },
     .expected = {.outcome = Outcome::InvalidRomType, .faultDisk = 1, .faultOffset = 0}},
    {.name = "HeaderShorterThan56Bytes",
     .files =
         [] {
             Bytes h = Header(kRomMain, 1);
             h.resize(50);
             return SetFiles{h, std::nullopt};
         },
     .expected = {.outcome = Outcome::IncorrectInput, .faultDisk = 1, .faultOffset = 50}},
    {.name = "MissingDisk2Cancelled",
     .files =
         [] {
             return SetFiles{TwoDisks().disk1, std::nullopt};
         },
     .op = {.answers = {false}},
     .expected = {.outcome = Outcome::Aborted,
                  .records = {20},
                  .faultDisk = 2,
                  .faultPass = 1,
                  .faultRecord = 20,
                  .asked = {2}}},
    {.name = "MissingDisk2InsertedAtTheQuestion",
     .files =
         [] {
             return SetFiles{TwoDisks().disk1, std::nullopt};
         },
     .op = {.answers = {true}, .insertDisk2 = true},
     .expected = {.outcome = Outcome::Completed, .records = {31, 21}, .asked = {2}}},
    {.name = "Disk2OfAnotherRomTypeIsAskedFor",
     .files =
         [] {
             SetFiles f = TwoDisks();
             const Bytes other = Header(kRomIrig, 2);
             std::copy(other.begin(), other.end(), f.disk2->begin());
             return f;
         },
     .op = {.answers = {true, false}},
     .expected = {.outcome = Outcome::Aborted,
                  .records = {20},
                  .faultDisk = 2,
                  .faultPass = 1,
                  .faultRecord = 20,
                  .asked = {2, 2}}},
    {.name = "OneDiskSetWithoutItsLastEnd",
     .files =
         [] {
             return SetFiles{Header(kRomMain, 1) + Join(PassRecords(5, 1)), std::nullopt};
         },
     .op = {.answers = {true, true, false}},
     .expected = {.outcome = Outcome::Aborted,
                  .records = {6},
                  .faultDisk = 2,
                  .faultPass = 1,
                  .faultRecord = 6,
                  .asked = {2, 2, 2}}},
    {.name = "Disk2TheSystemRefusesIsNotAskedFor",
     .files =
         [] {
             return SetFiles{TwoDisks().disk1, std::nullopt, true};
         },
     .expected = {.outcome = Outcome::IncorrectInput,
                  .records = {20},
                  .faultDisk = 2,
                  .faultPass = 1,
                  .faultRecord = 20}},
    {.name = "MissingDisk1Cancelled",
     .files =
         [] {
             return SetFiles{{}, std::nullopt};
         },
     .op = {.answers = {false}},
     .expected = {.outcome = Outcome::Aborted, .faultDisk = 1, .asked = {1}}},
};

class SetCheckTable : public ::testing::TestWithParam<CheckCase> {
  protected:
    // Lays the set out afresh, so that the check and the worker meet the same files.
    void Lay() {
        const SetFiles files = GetParam().files();
        tmp.Remove("FW0001.q58");
        tmp.Remove("FW0002.q58");
        if (!files.disk1.empty()) {
            tmp.Write("FW0001.q58", files.disk1);
        }
        if (files.disk2) {
            tmp.Write("FW0002.q58", *files.disk2);
        }
        if (files.disk2Loops) {
            std::filesystem::create_symlink("FW0002.q58", tmp.dir() + "FW0002.q58");
        }
        answers = GetParam().op.answers;
        asked.clear();
    }
    bool Answer(int diskNo) {
        asked.push_back(diskNo);
        if (GetParam().op.insertDisk2) {
            tmp.Write("FW0002.q58", *TwoDisks().disk2);
        }
        if (answers.empty()) {
            return false;
        }
        const bool answer = answers.front();
        answers.erase(answers.begin());
        return answer;
    }

    TempDir tmp;
    std::vector<bool> answers;
    std::vector<int> asked = {};
};

class FunctionPrompt : public DiskPrompt {
  public:
    explicit FunctionPrompt(std::function<bool(int)> f) : f_(std::move(f)) {}
    bool AskInsertDisk(int diskNo) override { return f_(diskNo); }

  private:
    std::function<bool(int)> f_;
};

TEST_P(SetCheckTable, NamesTheOutcomeAndThePlace) {
    const CheckCase& c = GetParam();
    Lay();
    FunctionPrompt prompt([this](int n) { return Answer(n); });
    const SetCheckResult result = CheckSet(tmp.dir(), "FW0000.q58", prompt);

    EXPECT_EQ(OutcomeText(result.outcome), OutcomeText(c.expected.outcome));
    EXPECT_EQ(asked, c.expected.asked);
    std::vector<int> records;
    for (const PassContents& pass : result.summary.passes) {
        records.push_back(pass.Records());
    }
    EXPECT_EQ(records, c.expected.records);
    if (c.expected.outcome == Outcome::Completed) {
        EXPECT_TRUE(result.Sound());
        EXPECT_FALSE(result.fault.has_value());
        for (const PassContents& pass : result.summary.passes) {
            EXPECT_TRUE(pass.ended);
        }
    } else {
        ASSERT_TRUE(result.fault.has_value());
        const SetFault& f = *result.fault;
        EXPECT_EQ(f.diskNo, c.expected.faultDisk);
        EXPECT_EQ(f.offset, c.expected.faultOffset);
        EXPECT_EQ(f.pass, c.expected.faultPass);
        EXPECT_EQ(f.recordIndex, c.expected.faultRecord);
        EXPECT_FALSE(f.detail.empty());
        const std::string name = "FW000" + std::to_string(f.diskNo) + ".q58";
        EXPECT_EQ(f.path, tmp.dir() + name);
    }
    if (c.more) {
        c.more(result.summary);
    }
}

// The same set through the worker, to a device that answers every step rightly and with fast
// transfer off, so that every record read is sent before the next is read.
TEST_P(SetCheckTable, AgreesWithTheWorker) {
    Lay();
    FunctionPrompt prompt([this](int n) { return Answer(n); });
    const SetCheckResult check = CheckSet(tmp.dir(), "FW0000.q58", prompt);
    const std::vector<int> checkAsked = asked;

    Lay();
    RecordingHost host(tmp.dir());
    host.Settings().SetFastTrans(false);
    host.onAsk = [this](int n) { return Answer(n); };
    FakeUsbDevice device;
    RunOne(host, UsbEnv(device));

    EXPECT_EQ(host.outcome(), OutcomeText(check.outcome));
    EXPECT_EQ(asked, checkAsked);
    if (check.Sound() && asked.empty()) {
        // The window's worker counts the set itself; the command line's takes these totals.
        ASSERT_FALSE(host.progress().empty());
        EXPECT_EQ(host.progress().front().progress.totals, check.summary.Totals());
    }
    if (!check.summary.passes.empty()) {
        EXPECT_EQ(device.model().RecordCount(),
                  static_cast<std::size_t>(check.summary.TotalRecords()));
        // The handshake (command, sync, identification, header size), then the set.
        EXPECT_EQ(device.received().size(), 22u + check.summary.TotalBytes());
    } else if (check.outcome != Outcome::IncorrectInput) {
        EXPECT_TRUE(device.received().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Sets, SetCheckTable, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SetCheck, StopRequestedEndsTheCheckAsAborted) {
    TempDir tmp;
    tmp.Write("FW0001.q58", SubSet());
    const std::atomic<bool> stop{true};
    FunctionPrompt never([](int) { return false; });
    const SetCheckResult result = CheckSet(tmp.dir(), "FW0000.q58", never, &stop);
    EXPECT_EQ(result.outcome, Outcome::Aborted);
    ASSERT_TRUE(result.fault.has_value());
    EXPECT_EQ(result.fault->pass, 1);
    EXPECT_EQ(result.fault->recordIndex, 0);
}

TEST(SetCheck, FaultDetailsNameWhatIsWrong) {
    TempDir tmp;
    FunctionPrompt never([](int) { return false; });
    Bytes set = Header(kRomMain, 1) + Bytes{0x02, 0x01, 0x02, 0x03, 0x04, 0x0B} + kEnd;
    tmp.Write("FW0001.q58", set);
    SetCheckResult result = CheckSet(tmp.dir(), "FW0000.q58", never);
    ASSERT_TRUE(result.fault.has_value());
    EXPECT_EQ(result.fault->detail,
              "record 0 of pass 1: checksum byte 0x0B where the data add up to 0x0A");

    set = Header(kRomMain, 1);
    set[29] = 0x01;
    tmp.Write("FW0001.q58", set);
    result = CheckSet(tmp.dir(), "FW0000.q58", never);
    ASSERT_TRUE(result.fault.has_value());
    EXPECT_EQ(result.fault->detail,
              "the first line \"QUILLMAR QF580 MAIN ROM      \\x01\\r\\n\" names no ROM type");
}

std::string Sha256Sum(const std::string& path) {
    const std::string command = "sha256sum '" + path + "'";
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(popen(command.c_str(), "r"), pclose);
    std::string hex(64, '\0');
    hex.resize(out ? std::fread(hex.data(), 1, hex.size(), out.get()) : 0);
    return hex;
}

// The digests against sha256sum, which shares nothing with the check: the set's is that of the
// bytes a device receives, whatever disks the records lie on and whatever follows the last
// END; each disk's is that of its whole file.
TEST(SetCheck, DigestsOfTheSetAndOfEachDisk) {
    TempDir tmp;
    const std::string sent = Sha256Sum(tmp.Write("sent", SubSet()));
    ASSERT_EQ(sent.size(), 64u);
    SetFiles twoDisks = TwoDisks();
    *twoDisks.disk2 = *twoDisks.disk2 + ToBytes("not sent");
    for (const SetFiles& files :
         {SetFiles{SubSet() + ToBytes("not sent"), std::nullopt}, twoDisks}) {
        SCOPED_TRACE(files.disk2 ? "two disks" : "one disk");
        tmp.Write("FW0001.q58", files.disk1);
        tmp.Remove("FW0002.q58");
        if (files.disk2) {
            tmp.Write("FW0002.q58", *files.disk2);
        }
        NeverAsk never;
        const SetCheckResult result = CheckSet(tmp.dir(), "FW0000.q58", never);
        ASSERT_TRUE(result.Sound());
        EXPECT_EQ(result.summary.setSha256, sent);
        ASSERT_EQ(result.summary.disks.size(), files.disk2 ? 2u : 1u);
        for (const DiskContents& disk : result.summary.disks) {
            EXPECT_EQ(disk.sha256, Sha256Sum(disk.path)) << disk.path;
        }
    }
    // A set that is not sound has no name.
    Bytes bad = SubSet();
    bad[Pass2Offset(4) + 3] ^= 0x01;
    tmp.Write("FW0001.q58", bad);
    NeverAsk never;
    EXPECT_EQ(CheckSet(tmp.dir(), "FW0000.q58", never).summary.setSha256, "");
}

TEST(SetCheck, RomTypeNames) {
    EXPECT_EQ(RomTypeName(kRomMain), "MAIN ROM");
    EXPECT_EQ(RomTypeName(kRomSub), "SUB ROM");
    EXPECT_EQ(RomTypeName(kRomIrig), "IRIG ROM");
    EXPECT_EQ(RomTypeName(3), "");
}

}  // namespace
}  // namespace qf580::test
