// The transfer's hold on the checked set where a disk is opened: read again and compared with
// the check's digest, unless it is still the settled file the check read.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

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

    const DiskContents* CheckedDisk(int diskNo) const override {
        return diskNo == 1 ? &disk : nullptr;
    }
    void DiskNotChecked(const std::string&, const std::string& checked,
                        const std::string& found) override {
        said.push_back(checked + " " + found);
    }
    bool WantsSentDigest() const override { return false; }
    void SetSent(const std::string&) override {}

    DiskContents disk;
    std::vector<std::string> said;

  private:
    LinkSettings settings_;
};

TEST(SentSet, ReadsADiskAgainUnlessItIsTheSettledFileTheCheckRead) {
    const Bytes set = Header(kRomMain, 1) + Join(PassRecords(40, 5)) + kEnd;
    const Bytes other = Header(kRomMain, 1) + Join(PassRecords(40, 6)) + kEnd;
    struct Case {
        const char* name;
        // What happens to the file between the check and the transfer's open.
        std::function<void(const TempDir&)> since;
        // Whether the check found the file settled when it opened it.
        bool settled;
        bool sent;
    };
    const auto replace = [&other](const TempDir& tmp) {
        tmp.Write("new.q58", other);
        ASSERT_EQ(std::rename((tmp.dir() + "new.q58").c_str(), (tmp.dir() + "FW0001.q58").c_str()),
                  0);
    };
    const auto rewrite = [&other](const TempDir& tmp) { tmp.Write("FW0001.q58", other); };
    const std::vector<Case> cases = {
        {"UntouchedAndSettled", [](const TempDir&) {}, true, true},
        {"UntouchedButFresh", [](const TempDir&) {}, false, true},
        // Written just after the check in the same tick of the file system's clock: only the
        // bytes tell, and a file that was not settled is read for them.
        {"RewrittenInPlaceWhileFresh", rewrite, false, false},
        {"ReplacedBySettledName", replace, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir tmp;
        const std::string path = tmp.Write("FW0001.q58", set);
        NeverAsk never;
        const SetCheckResult check = CheckSet(tmp.dir(), "FW0001.q58", never);
        ASSERT_TRUE(check.Sound());
        // Made a moment ago: no check takes it for settled.
        ASSERT_FALSE(check.summary.disks[0].settled);
        CheckedHost host;
        host.disk = check.summary.disks[0];
        if (c.settled) {
            DiskFile looked;
            ASSERT_TRUE(looked.Open(path));
            host.disk.settled = looked.Identity();
        }
        c.since(tmp);
        DiskFile disk;
        ASSERT_TRUE(disk.Open(path));
        ASSERT_TRUE(disk.Seek(17));
        SentSet sent(host);
        const std::optional<Outcome> refused = sent.Opened(1, path, disk);
        EXPECT_EQ(refused.has_value(), !c.sent);
        EXPECT_EQ(host.said.size(), c.sent ? 0u : 1u);
        if (c.sent) {
            EXPECT_EQ(disk.Tell(), 17);  // where it was, for the transfer to go on from
        }
    }
}

// Trusted on its identity alone, a settled file is not read at all: its bytes are not asked.
TEST(SentSet, TrustsASettledUnchangedFileWithoutReadingIt) {
    TempDir tmp;
    const std::string path = tmp.Write("FW0001.q58", Header(kRomMain, 1) + kEnd);
    CheckedHost host;
    host.disk.sha256 = std::string(64, '0');  // no file has it
    DiskFile disk;
    ASSERT_TRUE(disk.Open(path));
    host.disk.settled = disk.Identity();
    SentSet sent(host);
    EXPECT_FALSE(sent.Opened(1, path, disk));
    host.disk.settled->size += 1;
    EXPECT_EQ(sent.Opened(1, path, disk), Outcome::IncorrectInput);
    EXPECT_EQ(host.said.size(), 1u);
}

}  // namespace
}  // namespace qf580::test
