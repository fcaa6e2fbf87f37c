// Counting a set's bytes and records by count bytes alone, as the worker will read the set.
#include <gtest/gtest.h>

#include "tests/support/TempDir.h"

#include <optional>
#include <string>
#include <vector>

#include "transfer/SetCount.h"
#include "transfer/UpdateDisk.h"

namespace qf580 {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::TempDir;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Header(int romType, int diskNo) {
    std::string h(RomTypeTable[static_cast<std::size_t>(romType)]);
    h += std::string(16, ' ') + "0" + std::to_string(diskNo) + std::string(6, ' ');
    return Bytes(h.begin(), h.end());
}

// `count` records of `words` words; the checksums are left wrong on purpose: the count never
// looks at them.
Bytes Records(int count, int words) {
    Bytes all;
    for (int i = 0; i < count; ++i) {
        all.push_back(static_cast<std::uint8_t>(words));
        all.insert(all.end(), static_cast<std::size_t>(2 * words + 1),
                   static_cast<std::uint8_t>(i + 1));
    }
    return all;
}

const Bytes kEnd{0};

struct Pass {
    std::uint64_t bytes;
    std::uint64_t records;
};

SetTotals Expect(std::vector<Pass> passes) {
    SetTotals t;
    t.passCount = static_cast<int>(passes.size());
    t.all.bytes = kHeaderSize;
    for (std::size_t p = 0; p < passes.size(); ++p) {
        t.passes[p] = {passes[p].bytes, passes[p].records};
        t.all.bytes += passes[p].bytes;
        t.all.records += passes[p].records;
    }
    return t;
}

struct Case {
    const char* name;
    int romType;
    Bytes disk1;
    std::optional<Bytes> disk2;
    SetTotals totals;  // unknown where the count can't reach the last END
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class CountSetTest : public ::testing::TestWithParam<Case> {};

TEST_P(CountSetTest, TotalsAsTheWorkerWillSendThem) {
    const Case& c = GetParam();
    TempDir tmp;
    tmp.Write("FW0001.q58", c.disk1);
    if (c.disk2) {
        tmp.Write("FW0002.q58", *c.disk2);
    }
    const SetCount count(ChosenFile{tmp.dir(), "FW0000.q58"});
    EXPECT_EQ(count.Totals(), c.totals);
}

// 300 records of 512 bytes cross the 64 KiB reads of the count many times, some of them at a
// count byte, most in the middle of a record.
const Bytes kBig = Records(300, 255);

INSTANTIATE_TEST_SUITE_P(
    Sets, CountSetTest,
    ::testing::Values(
        Case{"MainOneDisk", kRomMain, Header(kRomMain, 1) + Records(3, 2) + kEnd, std::nullopt,
             Expect({{3 * 6 + 1, 3}})},
        Case{"LargerThanOneRead", kRomMain, Header(kRomMain, 1) + kBig + kEnd, std::nullopt,
             Expect({{300 * 512 + 1, 300}})},
        Case{"TwoPassesBytesAfterLastEndIgnored", kRomSub,
             Header(kRomSub, 1) + Records(2, 1) + kEnd + Records(5, 3) + kEnd + Records(9, 9),
             std::nullopt, Expect({{2 * 4 + 1, 2}, {5 * 8 + 1, 5}})},
        Case{"RecordCutShortOnDisk1IsDropped", kRomMain,
             Header(kRomMain, 1) + Records(4, 2) + Bytes{2, 7, 7},
             Header(kRomMain, 2) + Records(3, 2) + kEnd, Expect({{7 * 6 + 1, 7}})},
        Case{"Pass2OnDisk2", kRomIrig, Header(kRomIrig, 1) + Records(2, 2) + kEnd,
             Header(kRomIrig, 2) + Records(1, 1) + kEnd, Expect({{2 * 6 + 1, 2}, {4 + 1, 1}})},
        Case{"Disk1EndsAtTheLastEndDisk2NotRead", kRomMain,
             Header(kRomMain, 1) + Records(2, 2) + kEnd, Bytes{1, 2, 3}, Expect({{2 * 6 + 1, 2}})},
        Case{"Disk2Missing", kRomMain, Header(kRomMain, 1) + Records(4, 2), std::nullopt, {}},
        Case{"Disk2WithoutEnd",
             kRomMain,
             Header(kRomMain, 1) + Records(4, 2),
             Header(kRomMain, 2) + Records(4, 2),
             {}},
        Case{"Disk2OfAnotherRomType",
             kRomMain,
             Header(kRomMain, 1) + Records(4, 2),
             Header(kRomSub, 2) + kEnd,
             {}},
        Case{"Disk1AgainInDisk2sPlace",
             kRomMain,
             Header(kRomMain, 1) + Records(4, 2),
             Header(kRomMain, 1) + kEnd,
             {}},
        Case{"HeaderOnly", kRomMain, Header(kRomMain, 1), std::nullopt, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CountSet, GoesOnWithDisk2OnceItIsThere) {
    TempDir tmp;
    tmp.Write("FW0001.q58",
              Header(kRomSub, 1) + Records(3, 4) + kEnd + Records(2, 2) + Bytes{4, 1, 1});
    SetCount count(ChosenFile{tmp.dir(), "FW0000.q58"});
    EXPECT_FALSE(count.Totals().Known());
    EXPECT_FALSE(count.CountDisk2()) << "still not there";
    EXPECT_EQ(count.Disks(), 1);

    tmp.Write("FW0002.q58", Header(kRomSub, 2) + Records(1, 4) + kEnd);
    EXPECT_TRUE(count.CountDisk2());
    EXPECT_EQ(count.Totals(), Expect({{3 * 10 + 1, 3}, {2 * 6 + 10 + 1, 3}}));
    // Once counted, a second call counts nothing twice.
    EXPECT_FALSE(count.CountDisk2());
    EXPECT_EQ(count.Disks(), 2);
    EXPECT_EQ(count.Totals(), Expect({{3 * 10 + 1, 3}, {2 * 6 + 10 + 1, 3}}));
}

TEST(CountSet, ADisk1ThatCantBeReadLeavesTheTotalsUnknown) {
    TempDir tmp;
    EXPECT_FALSE(SetCount(ChosenFile{tmp.dir(), "FW0000.q58"}).Totals().Known());
    // A folder opens but is no regular file.
    tmp.Make(TempDir::Special::Folder, "FW0001.q58");
    EXPECT_FALSE(SetCount(ChosenFile{tmp.dir(), "FW0000.q58"}).Totals().Known());
}

TEST(TransferProgress, PercentRoundsDownAndIsUnknownWithoutTotals) {
    TransferProgress p;
    EXPECT_EQ(p.Percent(), std::nullopt);
    p.totals.passCount = 1;
    p.totals.all.bytes = 1000;
    struct Row {
        std::uint64_t sent;
        int percent;
    };
    for (const Row r :
         {Row{0, 0}, Row{9, 0}, Row{10, 1}, Row{999, 99}, Row{1000, 100}, Row{1500, 100}}) {
        p.sent.bytes = r.sent;
        EXPECT_EQ(p.Percent(), r.percent) << r.sent;
    }
}

}  // namespace
}  // namespace qf580
