// Making room for a run's descriptors: the soft limit is raised as far as needed and the hard
// limit allows, never lowered, and a run that cannot fit is told so before it starts.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "posix/FileLimit.h"

namespace qf580::posix {
namespace {

// The process's limit as it was, put back whatever a case did to it.
class FileLimitTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved_), 0); }
    void TearDown() override { ::setrlimit(RLIMIT_NOFILE, &saved_); }

    void SetSoft(rlim_t soft) {
        rlimit limit = saved_;
        limit.rlim_cur = soft;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    rlim_t Soft() const {
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        return limit.rlim_cur;
    }

    rlimit saved_{};
};

TEST_F(FileLimitTest, RaisesTheSoftLimitOnlyAsFarAsNeededAndNeverLowersIt) {
    if (saved_.rlim_max != RLIM_INFINITY && saved_.rlim_max < 200) {
        GTEST_SKIP() << "the hard limit (" << saved_.rlim_max << ") leaves no room to try";
    }
    struct Case {
        rlim_t soft;
        std::uint64_t more;
        bool raised;
    };
    for (const Case c : {Case{64, 10, false}, Case{64, 100, true}, Case{150, 20, false}}) {
        SCOPED_TRACE(testing::Message() << "soft " << c.soft << ", more " << c.more);
        SetSoft(c.soft);
        const FileLimit room = MakeRoomForFiles(c.more);
        EXPECT_TRUE(room.enough);
        EXPECT_GE(room.needed, c.more + 3);  // the standard streams are open too
        EXPECT_EQ(Soft(), c.raised ? room.needed : c.soft);
        EXPECT_EQ(room.limit, Soft());
    }
}

TEST_F(FileLimitTest, ARunBeyondTheHardLimitIsToldSoAndGetsAllThereIs) {
    if (saved_.rlim_max == RLIM_INFINITY) {
        GTEST_SKIP() << "no hard limit to run into";
    }
    SetSoft(std::min<rlim_t>(saved_.rlim_max, 64));
    const FileLimit room = MakeRoomForFiles(saved_.rlim_max);
    EXPECT_FALSE(room.enough);
    EXPECT_EQ(room.limit, saved_.rlim_max);
    EXPECT_EQ(Soft(), saved_.rlim_max);
}

}  // namespace
}  // namespace qf580::posix
