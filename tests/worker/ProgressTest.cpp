// What the worker reports of its progress: one report before the link is opened, one after
// each write that reached the device, and totals that are known from the start where every
// disk is there, or from the moment disk 2 has been found.
#include <gtest/gtest.h>

#include "tests/worker/WorkerSupport.h"

namespace qf580::test {
namespace {

using Passes = std::vector<std::vector<Bytes>>;
// Where a write ended: the pass (from 1) and the index of the last record it carried.
using Point = std::pair<int, int>;

// The totals as the set's files give them, counted here from the records themselves.
SetTotals TotalsOf(const Passes& passes) {
    SetTotals t;
    t.passCount = static_cast<int>(passes.size());
    t.all.bytes = kHeaderSize;
    for (std::size_t p = 0; p < passes.size(); ++p) {
        t.passes[p].bytes = Join(passes[p]).size() + 1;
        t.passes[p].records = passes[p].size();
        t.all.bytes += t.passes[p].bytes;
        t.all.records += t.passes[p].records;
    }
    return t;
}

// The writes of the record stream: with fast transfer off every record alone; with it on the
// START record alone, then batches that close at each acknowledgement point (1, 65, 129, ...)
// and before END. Each pass ends with its END byte, whose index is the pass's record count.
std::vector<Point> WritePoints(const Passes& passes, bool fast) {
    std::vector<Point> points;
    for (std::size_t p = 0; p < passes.size(); ++p) {
        const int pass = static_cast<int>(p) + 1;
        const int n = static_cast<int>(passes[p].size());
        for (int i = 0; i < n; ++i) {
            if (!fast || i == 0 || i % 64 == 1 || i == n - 1) {
                points.emplace_back(pass, i);
            }
        }
        points.emplace_back(pass, n);
    }
    return points;
}

// When the totals become known: before anything is sent, or only once disk 2 has been found
// after the question.
enum class Totals { FromStart, AfterQuestion };

// What every completed transfer's reports must show.
void ExpectProgressOfCompleteRun(const RecordingHost& host, const FakeUsbDevice& device,
                                 const Passes& passes, bool fast, Totals when) {
    const SetTotals totals = TotalsOf(passes);
    const std::vector<RecordingHost::ProgressAt> reports = host.progress();
    const std::vector<std::string> events = host.events();
    ASSERT_GE(reports.size(), 3u);

    // The first report comes before the link is opened: nothing sent, nowhere yet.
    EXPECT_EQ(reports[0].afterEvents, 0u);
    EXPECT_EQ(reports[0].progress.sent, StreamCount{});
    EXPECT_EQ(reports[0].progress.pass, 0);
    EXPECT_EQ(reports[0].progress.recordIndex, -1);
    EXPECT_EQ(reports[0].progress.totals.Known(), when == Totals::FromStart);

    // Every later report that changed the counts follows a write, with that write's size; the
    // writes are the device's own from the header on.
    const std::vector<std::size_t> sizes = device.writeSizes();
    const std::size_t beforeHeader = HandshakeWrites().size() - 1;
    ASSERT_GT(sizes.size(), beforeHeader);
    std::vector<std::size_t> deltas;
    std::vector<Point> points;
    std::optional<int> lastPercent;
    bool knownSeen = false;
    int totalsOnly = 0;
    for (std::size_t k = 1; k < reports.size(); ++k) {
        SCOPED_TRACE("report " + std::to_string(k));
        const TransferProgress& before = reports[k - 1].progress;
        const TransferProgress& now = reports[k].progress;
        ASSERT_GE(now.sent.bytes, before.sent.bytes) << "progress went back";
        ASSERT_GE(now.sent.records, before.sent.records);
        if (now.sent == before.sent) {
            // The one report without a write: disk 2 has just been found and counted.
            ++totalsOnly;
            EXPECT_EQ(when, Totals::AfterQuestion);
            EXPECT_FALSE(before.totals.Known());
            EXPECT_TRUE(now.totals.Known());
            EXPECT_EQ(events.at(reports[k].afterEvents - 1), "ask:2");
        } else {
            deltas.push_back(now.sent.bytes - before.sent.bytes);
            if (k > 1) {
                points.emplace_back(now.pass, now.recordIndex);
            }
        }
        if (now.totals.Known()) {
            knownSeen = true;
            EXPECT_EQ(now.totals, totals);
            const std::optional<int> percent = now.Percent();
            ASSERT_TRUE(percent.has_value());
            if (lastPercent) {
                EXPECT_GE(*percent, *lastPercent) << "the percent went back";
            }
            if (k + 1 < reports.size()) {
                EXPECT_LT(*percent, 100) << "100% before the last byte";
            }
            lastPercent = percent;
        } else {
            EXPECT_FALSE(knownSeen) << "totals known, then unknown again";
        }
    }
    // Known from the first report on, or from the report right after the question.
    EXPECT_EQ(totalsOnly, when == Totals::AfterQuestion ? 1 : 0);
    EXPECT_EQ(deltas, std::vector<std::size_t>(sizes.begin() + static_cast<long>(beforeHeader),
                                               sizes.end()));
    EXPECT_EQ(points, WritePoints(passes, fast));

    // The last report: the whole set, 100%, right before "Transfer completed" is written.
    const RecordingHost::ProgressAt& last = reports.back();
    EXPECT_EQ(last.progress.sent, totals.all);
    EXPECT_EQ(last.progress.totals, totals);
    EXPECT_EQ(last.progress.Percent(), 100);
    ASSERT_LT(last.afterEvents, events.size());
    EXPECT_EQ(events[last.afterEvents], "status:Transfer completed");
    EXPECT_EQ(last.afterEvents + 2, events.size()) << "only the outcome and the end follow";
}

class ProgressTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override { host.Settings().SetFastTrans(fast()); }
    bool fast() const { return GetParam(); }

    // Runs the set and checks its reports; then runs it again for a host that shows no
    // progress and checks that the device got the same writes.
    void RunAndCheck(const Passes& passes, Totals when, const std::function<void()>& prepare = {}) {
        if (prepare) {
            prepare();
        }
        FakeUsbDevice device;
        RunOne(host, UsbEnv(device));
        ASSERT_EQ(host.outcome(), "Transfer completed");
        EXPECT_TRUE(device.model().Complete()) << device.model().State();
        ExpectProgressOfCompleteRun(host, device, passes, fast(), when);

        if (prepare) {
            prepare();
        }
        host.listensToProgress = false;
        FakeUsbDevice quiet;
        RunOne(host, UsbEnv(quiet));
        host.listensToProgress = true;
        EXPECT_TRUE(host.progress().empty());
        EXPECT_EQ(quiet.writes(), device.writes());
    }

    TempDir tmp;
    RecordingHost host{tmp.dir()};
};

INSTANTIATE_TEST_SUITE_P(Fast, ProgressTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "FastOn" : "FastOff"; });

TEST_P(ProgressTest, MainSet) {
    // Acknowledgement points at 1, 65 and 129; a batch of the last 11 records before END.
    const Passes passes{PassRecords(140, 3, 5)};
    tmp.Write("FW0001.q58", Header(kRomMain, 1) + Join(passes[0]) + kEnd);
    RunAndCheck(passes, Totals::FromStart);
}

TEST_P(ProgressTest, TwoPassSetAndBytesAfterTheLastEndNotCounted) {
    const Passes passes{PassRecords(70, 11, 255), PassRecords(65, 90)};
    tmp.Write("FW0001.q58",
              Header(kRomSub, 1) + Join(passes[0]) + kEnd + Join(passes[1]) + kEnd + Record(4, 1));
    RunAndCheck(passes, Totals::FromStart);
}

// Disk 1 holds records 0 to 40 of a pass of 71 and the first bytes of record 41, which is
// dropped there; disk 2 holds record 41 whole and the rest, then END.
struct TwoDisks {
    TwoDisks() : records(PassRecords(70, 21, 6)) {
        const auto split = records.begin() + 41;
        disk1 = Header(kRomMain, 1) + Join(std::vector<Bytes>(records.begin(), split)) +
                Bytes(split->begin(), split->begin() + 5);
        disk2 = Header(kRomMain, 2) + Join(std::vector<Bytes>(split, records.end())) + kEnd;
    }
    std::vector<Bytes> records;
    Bytes disk1;
    Bytes disk2;
};

TEST_P(ProgressTest, TwoDisksWithDisk2PresentKnowTheTotalsFromTheStart) {
    const TwoDisks set;
    RunAndCheck({set.records}, Totals::FromStart, [&] {
        tmp.Write("FW0001.q58", set.disk1);
        tmp.Write("FW0002.q58", set.disk2);
    });
}

TEST_P(ProgressTest, Disk2AfterTheQuestionMakesTheTotalsKnownThen) {
    const TwoDisks set;
    host.onAsk = [&](int diskNo) {
        EXPECT_EQ(diskNo, 2);
        tmp.Write("FW0002.q58", set.disk2);
        return true;
    };
    RunAndCheck({set.records}, Totals::AfterQuestion, [&] {
        tmp.Remove("FW0002.q58");
        tmp.Write("FW0001.q58", set.disk1);
    });
}

TEST_P(ProgressTest, AWrongDisk2IsNotCountedAndNeverAskedForByTheCount) {
    const TwoDisks set;
    // Disk 1 again in disk 2's place: the count must not take it, and only the worker asks.
    tmp.Write("FW0001.q58", set.disk1);
    tmp.Write("FW0002.q58", set.disk1);
    int asked = 0;
    host.onAsk = [&](int) {
        ++asked;
        tmp.Write("FW0002.q58", set.disk2);
        return true;
    };
    FakeUsbDevice device;
    RunOne(host, UsbEnv(device));
    EXPECT_EQ(asked, 1);
    ExpectProgressOfCompleteRun(host, device, {set.records}, fast(), Totals::AfterQuestion);
}

// Disks that change between the count and their reading: the percent must neither lie nor go
// back, and still ends at 100 with the last byte.
TEST_P(ProgressTest, Disk2ChangedAfterTheCount) {
    const TwoDisks set;
    struct Case {
        const char* what;
        int extraRecords;  // records added to (or, negative, taken from) disk 2
    };
    for (const Case c : {Case{"longer", 40}, Case{"shorter", -20}}) {
        SCOPED_TRACE(c.what);
        tmp.Write("FW0001.q58", set.disk1);
        tmp.Write("FW0002.q58", set.disk2);
        std::vector<Bytes> sent(set.records);
        if (c.extraRecords > 0) {
            const std::vector<Bytes> more = PassRecords(c.extraRecords - 1, 200, 6);
            sent.insert(sent.end(), more.begin(), more.end());
        } else {
            sent.resize(sent.size() - static_cast<std::size_t>(-c.extraRecords));
        }
        const Bytes newDisk2 =
            Header(kRomMain, 2) + Join(std::vector<Bytes>(sent.begin() + 41, sent.end())) + kEnd;
        host.onStatus = [&](const std::string& text) {
            if (text == "Sending START record") {
                tmp.Write("FW0002.q58", newDisk2);
            }
        };
        FakeUsbDevice device;
        RunOne(host, UsbEnv(device));
        host.onStatus = nullptr;
        ASSERT_EQ(host.outcome(), "Transfer completed");
        EXPECT_EQ(device.received(), Handshake(Header(kRomMain, 1)) + Join(sent) + kEnd);

        const std::vector<RecordingHost::ProgressAt> reports = host.progress();
        ASSERT_FALSE(reports.empty());
        int lastPercent = 0;
        for (std::size_t k = 0; k + 1 < reports.size(); ++k) {
            if (const std::optional<int> p = reports[k].progress.Percent()) {
                EXPECT_GE(*p, lastPercent);
                EXPECT_LT(*p, 100);
                lastPercent = *p;
            }
        }
        EXPECT_EQ(reports.back().progress.Percent(), 100);
        EXPECT_EQ(reports.back().progress.totals, TotalsOf({sent}));
        EXPECT_EQ(reports.back().progress.sent, TotalsOf({sent}).all);
    }
}

TEST_P(ProgressTest, AFailedTransferStopsShortOf100) {
    // Record 100 carries a wrong checksum: the transfer ends with "Incorrect Check Sum".
    std::vector<Bytes> records = PassRecords(140, 5, 5);
    records[100].back() ^= 0xFF;
    tmp.Write("FW0001.q58", Header(kRomMain, 1) + Join(records) + kEnd);
    FakeUsbDevice device;
    RunOne(host, UsbEnv(device));
    ASSERT_EQ(host.outcome(), "Incorrect Check Sum");

    const std::vector<RecordingHost::ProgressAt> reports = host.progress();
    ASSERT_FALSE(reports.empty());
    for (const RecordingHost::ProgressAt& r : reports) {
        EXPECT_TRUE(r.progress.totals.Known());
        EXPECT_LT(r.progress.Percent().value_or(100), 100);
    }
    // What was reported is what reached the device, nothing of the held batch.
    EXPECT_EQ(reports.back().progress.sent.bytes + 10 + 1 + 10 + 1, device.received().size());
}

}  // namespace
}  // namespace qf580::test
