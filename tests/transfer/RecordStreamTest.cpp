// The set's reader at its own seam: what it yields, and where, for the shapes a set's disks
// take. Each item is written as EVENT disk/pass/index@offset, so that a case reads like the
// set it describes.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"
#include "tests/support/UpdateSet.h"
#include "transfer/RecordStream.h"

namespace qf580 {
namespace {

using test::Bytes;
using test::Header;
using test::kEnd;
using test::Record;
using test::operator+;

constexpr int kMain = 0;  // one pass
constexpr int kSub = 1;   // two passes

// Records of 3 words are 8 bytes long: count, 6 data bytes, checksum.
const Bytes kR0 = Record(3, 0);
const Bytes kR1 = Record(3, 1);
const Bytes kR2 = Record(3, 2);

Bytes WrongSum(Bytes record) {
    record.back() = static_cast<std::uint8_t>(record.back() + 1);
    return record;
}

Bytes Cut(const Bytes& record, std::size_t keep) {
    return Bytes(record.begin(), record.begin() + static_cast<long>(keep));
}

class ScriptedPrompt final : public DiskPrompt {
  public:
    std::function<bool(int)> answer = [](int) { return false; };
    bool AskInsertDisk(int diskNo) override { return answer(diskNo); }
};

std::string Describe(const StreamItem& item) {
    static const char* const kNames[] = {"R", "E", "D", "F"};
    std::string text = kNames[static_cast<int>(item.event)];
    text += " " + std::to_string(item.diskNo) + "/" + std::to_string(item.pass) + "/" +
            std::to_string(item.index);
    text += item.offset ? "@" + std::to_string(*item.offset) : "@-";
    if (item.event == StreamEvent::DiskChanged) {
        text += " dropped " + std::to_string(item.length);
    }
    if (item.event == StreamEvent::Fault) {
        text += " " + std::string(OutcomeText(item.outcome));
    }
    return text;
}

// Every item until the stream ends for good, a fault read past included.
std::vector<std::string> Read(RecordStream& stream) {
    std::vector<std::string> items;
    if (const std::optional<StreamItem> fault = stream.Open()) {
        return {Describe(*fault)};
    }
    for (int guard = 0; guard < 100 && !stream.Finished(); ++guard) {
        const StreamItem item = stream.Next();
        items.push_back(Describe(item));
        if (item.event == StreamEvent::Fault && item.outcome != Outcome::BadChecksum) {
            break;
        }
    }
    return items;
}

struct Case {
    const char* name;
    Bytes disk1;
    std::optional<Bytes> disk2;
    std::vector<std::string> items;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class RecordStreamTest : public ::testing::TestWithParam<Case> {};

TEST_P(RecordStreamTest, YieldsTheSetInTheOrderItIsSent) {
    const Case& c = GetParam();
    test::TempDir tmp;
    tmp.Write("FW0001.q58", c.disk1);
    if (c.disk2) {
        tmp.Write("FW0002.q58", *c.disk2);
    }
    ScriptedPrompt prompt;
    DiskFile disk;
    RecordStream stream({tmp.dir(), "FW0001.q58"}, prompt, disk);
    EXPECT_EQ(Read(stream), c.items);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, RecordStreamTest,
    ::testing::Values(
        Case{"OnePassOnOneDisk",
             Header(kMain, 1) + kR0 + kR1 + kEnd,
             std::nullopt,
             {"R 1/1/0@56", "R 1/1/1@64", "E 1/1/2@72"}},
        Case{"TwoPassesAcrossDisksWithARecordCutAtTheFirstsEnd",
             Header(kSub, 1) + kR0 + Cut(kR1, 5),
             Header(kSub, 2) + kR1 + kEnd + kR2 + kEnd,
             {"R 1/1/0@56", "D 2/1/1@64 dropped 5", "R 2/1/1@56", "E 2/1/2@64", "R 2/2/0@65",
              "E 2/2/1@73"}},
        Case{"AChecksumFaultIsReadPast",
             Header(kMain, 1) + kR0 + WrongSum(kR1) + kR2 + kEnd,
             std::nullopt,
             {"R 1/1/0@56", "F 1/1/1@64 Incorrect Check Sum", "R 1/1/2@72", "E 1/1/3@80"}},
        Case{"NoEndOnTheLastDisk",
             Header(kMain, 1) + kR0,
             Header(kMain, 2) + kR1,
             {"R 1/1/0@56", "D 2/1/1@64 dropped 0", "R 2/1/1@56", "F 2/1/2@64 No END record"}},
        // Too short to say it is disk 2: it is not taken, and the question was cancelled.
        Case{"AHeaderCutShortOnDisk2",
             Header(kMain, 1) + kR0,
             Cut(Header(kMain, 2), 20),
             {"R 1/1/0@56", "F 2/1/1@- Aborted according to instruction received"}},
        Case{"NoRomTypeLine",
             Header("QUILLMAR QF580 BOOT ROM       \r\n", 1) + kR0 + kEnd,
             std::nullopt,
             {"F 1/0/-1@0 Invalid ROM Type"}}));

// Disk 2 is asked for until it is given: a cancelled question ends nothing for good, and the
// stream goes on where disk 1 left it once the disk is there.
TEST(RecordStreamDisk2, ACancelledQuestionIsAskedAgainAndTheStreamGoesOn) {
    test::TempDir tmp;
    tmp.Write("FW0001.q58", Header(kMain, 1) + kR0);
    ScriptedPrompt prompt;
    std::vector<int> asked;
    prompt.answer = [&](int diskNo) {
        asked.push_back(diskNo);
        if (asked.size() < 2) {
            return false;
        }
        tmp.Write("FW0002.q58", Header(kMain, 2) + kR1 + kEnd);
        return true;
    };
    DiskFile disk;
    RecordStream stream({tmp.dir(), "FW0001.q58"}, prompt, disk);
    ASSERT_FALSE(stream.Open());
    EXPECT_EQ(Describe(stream.Next()), "R 1/1/0@56");
    EXPECT_EQ(Describe(stream.Next()), "F 2/1/1@- Aborted according to instruction received");
    EXPECT_EQ(Describe(stream.Next()), "D 2/1/1@64 dropped 0");
    EXPECT_EQ(Describe(stream.Next()), "R 2/1/1@56");
    EXPECT_EQ(Describe(stream.Next()), "E 2/1/2@64");
    EXPECT_TRUE(stream.Finished());
    EXPECT_EQ(asked, (std::vector<int>{2, 2}));
}

}  // namespace
}  // namespace qf580
