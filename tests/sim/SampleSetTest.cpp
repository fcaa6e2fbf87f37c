// Sample update sets, read back with a reader of our own: headers, checksums, passes, the
// two-disk split, and that the device model takes them whole.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "sim/DeviceModel.h"
#include "sim/SampleSet.h"
#include "tests/sim/SimTestSupport.h"

namespace qf580::sim {
namespace {

using namespace test;
namespace fs = std::filesystem;

Bytes ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// A disk's record stream from offset 56: whole records per pass (a new pass after each END),
// and the bytes of a record the file cuts short, if any.
struct Stream {
    std::vector<std::vector<Bytes>> passes{{}};
    int ends = 0;
    Bytes cut;
    std::size_t trailing = 0;  // bytes after the last END asked for
    bool checksumsOk = true;
};

Stream ReadStream(const Bytes& file, int passes) {
    Stream s;
    std::size_t at = 56;
    while (at < file.size()) {
        if (s.ends == passes) {
            s.trailing = file.size() - at;
            break;
        }
        const std::uint8_t count = file[at];
        if (count == 0) {
            ++s.ends;
            ++at;
            if (s.ends < passes) {
                s.passes.emplace_back();
            }
            continue;
        }
        const std::size_t length = 2 * std::size_t{count} + 2;
        if (at + length > file.size()) {
            s.cut.assign(file.begin() + static_cast<std::ptrdiff_t>(at), file.end());
            break;
        }
        const Bytes record(file.begin() + static_cast<std::ptrdiff_t>(at),
                           file.begin() + static_cast<std::ptrdiff_t>(at + length));
        unsigned sum = 0;
        for (std::size_t i = 1; i + 1 < record.size(); ++i) {
            sum += record[i];
        }
        s.checksumsOk = s.checksumsOk && record.back() == static_cast<std::uint8_t>(sum);
        s.passes.back().push_back(record);
        at += length;
    }
    return s;
}

class SampleSet : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::path(testing::TempDir()) /
               ("qf580-sample-" + std::to_string(::getpid()) + "-" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_F(SampleSet, OneDiskSetsReadBackWhole) {
    struct Case {
        int romType;
        std::string line;
        int passes;
    };
    for (const Case& c : {Case{0, kMainLine, 1}, Case{1, kSubLine, 2}, Case{2, kIrigLine, 2}}) {
        SCOPED_TRACE(c.line);
        const auto paths = WriteSampleSet(dir_.string(), "FW0000.q58", {c.romType, 1, 70, 3});
        ASSERT_EQ(paths.size(), 1u);
        EXPECT_EQ(paths[0], (dir_ / "FW0001.q58").string());
        const Bytes file = ReadFile(paths[0]);
        ASSERT_GE(file.size(), 56u);
        EXPECT_EQ(std::string(file.begin(), file.begin() + 32), c.line);
        EXPECT_EQ(std::string(file.begin() + 48, file.begin() + 50), "01");
        const Stream s = ReadStream(file, c.passes);
        EXPECT_EQ(s.ends, c.passes);
        EXPECT_TRUE(s.checksumsOk);
        EXPECT_TRUE(s.cut.empty());
        EXPECT_EQ(s.trailing, 0u);
        ASSERT_EQ(s.passes.size(), static_cast<std::size_t>(c.passes));
        for (const auto& pass : s.passes) {
            EXPECT_EQ(pass.size(), 71u);  // START and 70 more
        }
    }
}

TEST_F(SampleSet, TwoDisksSplitInsideARecordThatDiskTwoCarriesWhole) {
    for (const int records : {0, 1, 40, 300}) {
        SCOPED_TRACE(records);
        const auto paths = WriteSampleSet(dir_.string(), "FW0000.q58", {1, 2, records, 9});
        ASSERT_EQ(paths.size(), 2u);
        EXPECT_EQ(paths[1], (dir_ / "FW0002.q58").string());
        const Bytes disk1 = ReadFile(paths[0]);
        const Bytes disk2 = ReadFile(paths[1]);
        // Same ROM type line, own disk number.
        EXPECT_TRUE(std::equal(disk1.begin(), disk1.begin() + 48, disk2.begin()));
        EXPECT_EQ(std::string(disk2.begin() + 48, disk2.begin() + 50), "02");
        EXPECT_TRUE(std::equal(disk1.begin() + 50, disk1.begin() + 56, disk2.begin() + 50));

        const Stream first = ReadStream(disk1, 2);
        EXPECT_EQ(first.ends, 0);
        EXPECT_TRUE(first.checksumsOk);
        ASSERT_FALSE(first.cut.empty()) << "disk 1 must end inside a record";
        const Stream second = ReadStream(disk2, 2);
        EXPECT_EQ(second.ends, 2);
        EXPECT_TRUE(second.checksumsOk);
        EXPECT_TRUE(second.cut.empty());
        ASSERT_FALSE(second.passes[0].empty());
        const Bytes& whole = second.passes[0].front();
        ASSERT_LT(first.cut.size(), whole.size());
        EXPECT_TRUE(std::equal(first.cut.begin(), first.cut.end(), whole.begin()));
        // Pass 1 across both disks has all its records once.
        EXPECT_EQ(first.passes[0].size() + second.passes[0].size(),
                  static_cast<std::size_t>(records) + 1);
        EXPECT_EQ(second.passes[1].size(), static_cast<std::size_t>(records) + 1);
    }
}

TEST_F(SampleSet, TheDeviceTakesASplitSetAsTheHostWouldSendIt) {
    const auto paths = WriteSampleSet(dir_.string(), "FW0000.q58", {2, 2, 150, 4});
    const Bytes disk1 = ReadFile(paths[0]);
    const Stream first = ReadStream(disk1, 2);
    const Stream second = ReadStream(ReadFile(paths[1]), 2);
    std::vector<std::vector<Bytes>> passes = second.passes;
    passes[0].insert(passes[0].begin(), first.passes[0].begin(), first.passes[0].end());
    DeviceModel model;
    for (const auto& step : Exchange(Bytes(disk1.begin(), disk1.begin() + 56), passes)) {
        EXPECT_EQ(model.Feed(step.write).reply, step.reply) << model.State();
    }
    EXPECT_TRUE(model.Complete()) << model.State();
    EXPECT_EQ(model.RecordCount(), 2u * 151u);
}

TEST_F(SampleSet, SeedDecidesTheContents) {
    const auto a = ReadFile(WriteSampleSet((dir_ / "").string(), "A0.q58", {0, 1, 20, 5})[0]);
    const auto b = ReadFile(WriteSampleSet(dir_.string(), "B0.q58", {0, 1, 20, 5})[0]);
    const auto c = ReadFile(WriteSampleSet(dir_.string(), "C0.q58", {0, 1, 20, 6})[0]);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
}

TEST_F(SampleSet, DiskNamesFollowTheReadersRule) {
    EXPECT_EQ(WriteSampleSet(dir_.string(), "UPDATE", {0, 2, 4, 1}),
              (std::vector<std::string>{(dir_ / "UPDAT1").string(), (dir_ / "UPDAT2").string()}));
    EXPECT_EQ(WriteSampleSet(dir_.string(), "A.B0.q58", {0, 1, 4, 1}),
              (std::vector<std::string>{(dir_ / "A.B1.q58").string()}));
    // A name whose only '.' comes first gives both disks one name: no two-disk set from it.
    EXPECT_THROW(WriteSampleSet(dir_.string(), ".q58", {0, 2, 4, 1}), std::invalid_argument);
    EXPECT_FALSE(fs::exists(dir_ / ".q58"));
}

TEST_F(SampleSet, RefusesWhatCannotBeASet) {
    EXPECT_THROW(WriteSampleSet(dir_.string(), "F0.q58", {3, 1, 4, 1}), std::invalid_argument);
    EXPECT_THROW(WriteSampleSet(dir_.string(), "F0.q58", {0, 3, 4, 1}), std::invalid_argument);
    EXPECT_THROW(WriteSampleSet(dir_.string(), "F0.q58", {0, 1, -1, 1}), std::invalid_argument);
    EXPECT_THROW(WriteSampleSet(dir_.string(), "", {0, 1, 4, 1}), std::invalid_argument);
    EXPECT_THROW(WriteSampleSet((dir_ / "missing").string(), "F0.q58", {0, 1, 4, 1}),
                 std::runtime_error);
}

}  // namespace
}  // namespace qf580::sim
