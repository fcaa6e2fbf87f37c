// The transfer's hold on the checked set where a disk is opened: read again and compared with
// the check's digest, unless it is still the settled file the check read.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "tests/support/TempDir.h"
#include "tests/support/UpdateSet.h"
#include "transfer/SentSet.h"

namespace qf580::test {
namespace {

class CheckedHost final : public TransHost, public CheckedSet {
  public:
    const LinkSettings& Settings() const override { return settings_; }
    void SetStatus(const std::string&) override {}
    bool AskInsertDisk(int) override { return false; }
    void TransferEnded(Outcome) override {}
    CheckedSet* Checked() override { return this; }
    const DiskContents* CheckedDisk(int) const override { return &disk; }
    void DiskNotChecked(const std::string&, const std::string&, const std::string&) override {
        ++refused;
    }
    bool WantsSentDigest() const override { return false; }
    void SetSent(const std::string&) override {}

    DiskContents disk;
    int refused = 0;

  private:
    LinkSettings settings_;
};

TEST(SentSet, ReadsADiskAgainUnlessItIsTheSettledFileTheCheckRead) {
    const Bytes set = Header(kRomMain, 1) + Join(PassRecords(40, 5)) + kEnd;
    const Bytes other = Header(kRomMain, 1) + Join(PassRecords(40, 6)) + kEnd;  // as long
    struct Case {
        const char* name;
        bool settled;       // the check found the file settled
        bool wrongDigest;   // the check's digest is no file's: only a read tells
        const char* since;  // "": untouched; "rewritten" in place; "replaced" by a rename
        bool sent;
    };
    const Case cases[] = {
        {"settled and untouched: not read", true, true, "", true},
        // In the same tick of the file system's clock: only the bytes tell.
        {"rewritten just after the check", false, false, "rewritten", false},
        {"settled, then replaced", true, false, "replaced", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir tmp;
        const std::string path = tmp.Write("FW0001.q58", set);
        NeverAsk never;
        const SetCheckResult check = CheckSet(tmp.dir(), "FW0001.q58", never);
        ASSERT_TRUE(check.Sound());
        ASSERT_FALSE(check.summary.disks[0].settled);  // made a moment ago
        CheckedHost host;
        host.disk = check.summary.disks[0];
        DiskFile disk;
        ASSERT_TRUE(disk.Open(path));
        if (c.settled) {
            host.disk.settled = disk.Identity();
        }
        if (c.wrongDigest) {
            host.disk.sha256 = std::string(64, '0');
        }
        if (std::string_view(c.since) == "rewritten") {
            tmp.Write("FW0001.q58", other);
        } else if (std::string_view(c.since) == "replaced") {
            tmp.Write("new.q58", other);
            ASSERT_EQ(std::rename((tmp.dir() + "new.q58").c_str(), path.c_str()), 0);
        }
        ASSERT_TRUE(disk.Open(path));
        SentSet sent(host);
        EXPECT_EQ(sent.Opened(1, path, disk).has_value(), !c.sent);
        EXPECT_EQ(host.refused, c.sent ? 0 : 1);
    }
}

// What the transfer trusts is each disk's own file as the check opened it, and only one that
// had been left alone for the margin by then: this waits it out once.
TEST(SentSet, TheCheckTakesEachDiskAsSettledOnceItHasBeenLeftAlone) {
    const std::vector<Bytes> records = PassRecords(30, 3);
    TempDir tmp;
    tmp.Write("FW0001.q58", Header(kRomMain, 1) + Join(records, 0, 20));
    tmp.Write("FW0002.q58", Header(kRomMain, 2) + Join(records, 20, 31) + kEnd);
    std::this_thread::sleep_for(std::chrono::milliseconds(3200));
    NeverAsk never;
    const SetCheckResult check = CheckSet(tmp.dir(), "FW0001.q58", never);
    ASSERT_TRUE(check.Sound());
    ASSERT_EQ(check.summary.disks.size(), 2u);
    for (const DiskContents& checked : check.summary.disks) {
        DiskFile disk;
        ASSERT_TRUE(disk.Open(checked.path));
        EXPECT_EQ(checked.settled, disk.Identity()) << checked.path;
    }
}

}  // namespace
}  // namespace qf580::test
