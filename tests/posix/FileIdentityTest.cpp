#include <gtest/gtest.h>

#include "posix/FileIdentity.h"

namespace qf580::posix {
namespace {

TEST(FileIdentity, IsSettledOnlyWhenBothTimesLieTheMarginBeforeNow) {
    const timespec now{1'000'000, 500'000'000};
    const struct {
        timespec modified, changed;
        bool settled;
    } cases[] = {
        {{999'000, 0}, {999'000, 0}, true},
        {{999'000, 0}, {999'999, 500'000'000}, false},  // changed a second ago
        {{999'999, 500'000'000}, {999'000, 0}, false},  // written a second ago
        {{999'000, 0}, {999'997, 500'000'000}, false},  // changed just the margin ago
        {{999'000, 0}, {999'997, 499'999'999}, true},   // a nanosecond before that
    };
    for (const auto& c : cases) {
        const FileIdentity file{0, 0, 0, c.modified, c.changed};
        EXPECT_EQ(file.SettledBefore(now, std::chrono::seconds(3)), c.settled)
            << c.changed.tv_sec << "." << c.changed.tv_nsec;
    }
}

TEST(FileIdentity, IsAnotherWhenAnyOfItsFieldsDiffers) {
    const FileIdentity file{1, 2, 3, {4, 5}, {6, 7}};
    EXPECT_EQ(file, FileIdentity(file));
    for (const FileIdentity& other :
         {FileIdentity{9, 2, 3, {4, 5}, {6, 7}}, FileIdentity{1, 9, 3, {4, 5}, {6, 7}},
          FileIdentity{1, 2, 9, {4, 5}, {6, 7}}, FileIdentity{1, 2, 3, {4, 9}, {6, 7}},
          FileIdentity{1, 2, 3, {4, 5}, {6, 9}}}) {
        EXPECT_FALSE(other == file) << other.device << other.inode << other.size;
    }
}

}  // namespace
}  // namespace qf580::posix
