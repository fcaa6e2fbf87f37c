#include <gtest/gtest.h>

#include "posix/FileIdentity.h"

namespace qf580::posix {
namespace {

TEST(FileIdentity, IsSettledOnlyWhenBothTimesLieTheMarginBeforeNow) {
    const timespec now{1'000'000, 500'000'000};
    const struct {
        const char* name;
        timespec modified;
        timespec changed;
        bool settled;
    } cases[] = {
        {"both long before", {999'000, 0}, {999'000, 0}, true},
        {"changed a second ago", {999'000, 0}, {999'999, 500'000'000}, false},
        {"written a second ago", {999'999, 500'000'000}, {999'000, 0}, false},
        {"changed the margin ago", {999'000, 0}, {999'997, 500'000'000}, false},
        {"changed a nanosecond before that", {999'000, 0}, {999'997, 499'999'999}, true},
        {"written in the future", {1'000'100, 0}, {999'000, 0}, false},
    };
    for (const auto& c : cases) {
        FileIdentity file;
        file.modified = c.modified;
        file.changed = c.changed;
        EXPECT_EQ(file.SettledBefore(now, std::chrono::seconds(3)), c.settled) << c.name;
    }
}

TEST(FileIdentity, IsAnotherWhenAnyOfItsFieldsDiffers) {
    const FileIdentity file{1, 2, 3, {4, 5}, {6, 7}};
    const struct {
        const char* name;
        void (*change)(FileIdentity&);
    } cases[] = {
        {"device", [](FileIdentity& f) { ++f.device; }},
        {"inode", [](FileIdentity& f) { ++f.inode; }},
        {"size", [](FileIdentity& f) { ++f.size; }},
        {"modified, a nanosecond", [](FileIdentity& f) { ++f.modified.tv_nsec; }},
        {"changed, a second", [](FileIdentity& f) { ++f.changed.tv_sec; }},
        {"changed, a nanosecond", [](FileIdentity& f) { ++f.changed.tv_nsec; }},
    };
    EXPECT_EQ(file, FileIdentity(file));
    for (const auto& c : cases) {
        FileIdentity other = file;
        c.change(other);
        EXPECT_FALSE(other == file) << c.name;
    }
}

}  // namespace
}  // namespace qf580::posix
