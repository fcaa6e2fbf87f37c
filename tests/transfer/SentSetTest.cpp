// What a transfer held to its check tells its host of what it sent: the digest of the bytes
// read to be sent, to a host that names it, and nothing where nobody wants it or no check read
// the set.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "transfer/SentSet.h"

namespace qf580 {
namespace {

class CheckingHost final : public TransHost, public CheckedSet {
  public:
    CheckingHost(std::optional<std::string> diskOne, bool wants)
        : diskOne_(std::move(diskOne)), wants_(wants) {}

    const LinkSettings& Settings() const override { return settings_; }
    void SetStatus(const std::string&) override {}
    bool AskInsertDisk(int) override { return false; }
    void TransferEnded(Outcome) override {}
    CheckedSet* Checked() override { return this; }

    std::optional<std::string> CheckedDiskSha256(int) const override { return diskOne_; }
    void DiskNotChecked(const std::string&, const std::string&, const std::string&) override {}
    bool WantsSentDigest() const override { return wants_; }
    void SetSent(const std::string& sha256) override { told.push_back(sha256); }

    std::vector<std::string> told;

  private:
    LinkSettings settings_;
    std::optional<std::string> diskOne_;
    bool wants_;
};

std::span<const std::uint8_t> Bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(SentSet, NamesWhatWentOutOnlyToAHostThatWantsIt) {
    // SHA-256 of "abc", the standard's own example.
    const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    struct Case {
        std::optional<std::string> checked;
        bool wants;
        std::vector<std::string> told;
    };
    for (const Case& c :
         {Case{"d1", true, {abc}}, Case{"d1", false, {}}, Case{std::nullopt, true, {}}}) {
        SCOPED_TRACE(std::string(c.checked ? "checked" : "unchecked") +
                     (c.wants ? ", wanted" : ", not wanted"));
        CheckingHost host(c.checked, c.wants);
        SentSet sent(host);
        sent.Read(Bytes("ab"));
        sent.Read(Bytes("c"));
        sent.Finished();
        EXPECT_EQ(host.told, c.told);
    }
}

}  // namespace
}  // namespace qf580
