// The station's parts at their own seams: what a scanned serial may be, which serials the
// attempt log already has a completed transfer for, the lines the operator reads, and how the
// set's files are told from a set put in their place.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "attemptlog/FlashedBefore.h"
#include "cli/SerialRules.h"
#include "cli/Session.h"
#include "cli/SetOnDisk.h"
#include "cli/StationText.h"
#include "tests/support/TempDir.h"

namespace qf580::test {
namespace {

using cli::SerialRules;

TEST(SerialRules, WhatIsRefusedAndWhy) {
    struct Case {
        std::optional<std::string> pattern;
        std::string scanned;
        std::string serial;  // as used, when accepted
        std::string why;     // a part of the reason; empty: accepted
    };
    const std::string sixtyFour(64, 'A');
    const std::vector<Case> cases = {
        {{}, "SN-0001/a.b_c", "SN-0001/a.b_c", ""},
        {{}, "SN-0001\r", "SN-0001", ""},  // one CR, from a CR LF scanner
        {{}, "SN-0001\r\r", "", "control character 0x0D at character 8"},
        {{}, "SN\x1b[2J", "", "control character 0x1B at character 3"},
        {{}, "SN\x7f", "", "control character 0x7F"},
        {{}, "SN\xc2\x85", "", "control character"},  // U+0085 NEL
        {{}, "SN\xff", "", "not UTF-8"},
        {{}, sixtyFour, sixtyFour, ""},
        {{}, sixtyFour + "A", "", "1 to 64 of"},
        // A German layout types Y for Z and ß for -.
        {{},
         "SN\xc3\x9f"
         "0001",
         "",
         "\"\xc3\x9f\", which a scanner typing in another"},
        {{}, "SN 0001", "", "keyboard layout"},
        {"SN-[0-9]{4}", "SN-0001", "SN-0001", ""},
        // Matched whole: neither a part nor a longer serial is enough.
        {"SN-[0-9]{4}", "XSN-0001", "", "does not match --serial-pattern SN-[0-9]{4}"},
        {"SN-[0-9]{4}", "SN-00012", "", "does not match"},
        {"A|AB", "AB", "AB", ""},  // the longest match from the start counts
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scanned);
        const SerialRules rules(c.pattern);
        std::string serial = c.scanned;
        const std::string why = rules.Refusal(serial);
        if (c.why.empty()) {
            EXPECT_EQ(why, "");
            EXPECT_EQ(serial, c.serial);
        } else {
            EXPECT_NE(why.find(c.why), std::string::npos) << why;
        }
    }
    EXPECT_THROW(SerialRules(std::string("SN-[0-9")), std::invalid_argument);
}

TEST(Retries, OnlyLinkFaultsAreTriedAgain) {
    for (int code = 0; code <= 23; ++code) {
        const bool link =
            code == 12 || code == 13 || code == 14 || code == 15 || code == 17 || code == 20;
        EXPECT_EQ(cli::LinkFault(code), link) << code;
    }
}

TEST(StationText, ResultLinesWithAndWithoutColour) {
    const cli::UnitResult pass{1, "127.0.0.1:9001", "SN-1", "Transfer completed", 0, 1};
    // A serial is scanned text: a control in it must not reach the terminal raw.
    const cli::UnitResult fail{2, "usb", "SN\x1b[2J", "Communication error", 20, 3};
    struct Case {
        const cli::UnitResult& result;
        bool colour;
        bool bell;
        std::string line;
    };
    const std::vector<Case> cases = {
        {pass, false, false, "PASS  slot 1 (127.0.0.1:9001)  SN-1  Transfer completed (exit 0)"},
        {pass, true, true,  // a pass never rings
         "\x1b[1;32mPASS\x1b[0m  slot 1 (127.0.0.1:9001)  SN-1  Transfer completed (exit 0)"},
        {fail, false, false,
         "FAIL  slot 2 (usb)  SN\\x1b[2J  Communication error (exit 20), 3 tries"},
        {fail, true, true,
         "\x1b[1;31mFAIL\x1b[0m  slot 2 (usb)  SN\\x1b[2J  Communication error (exit 20), 3 "
         "tries\a"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cli::ResultLine(c.result, c.colour, c.bell), c.line);
    }
}

TEST(StationText, CountsAndTheSummary) {
    cli::StationCount count;
    EXPECT_EQ(cli::CountLine(count, std::nullopt),
              "units 0, passed 0, failed 0, yield 0.0%, failures in a row 0");
    // A pass ends the failures in a row; the yield is rounded to one decimal.
    for (const bool pass : {true, false, false, true, true, true, false}) {
        count.Take(pass, pass ? "Transfer completed" : "Communication error");
    }
    EXPECT_EQ(cli::CountLine(count, 3),
              "units 7, passed 4, failed 3, yield 57.1%, failures in a row 1, 3 to go");
    EXPECT_EQ(cli::SummaryText(count, "units"),
              "Session ended (units): units 7, passed 4, failed 3, yield 57.1%\n"
              "  3  Communication error\n"
              "  4  Transfer completed");
}

TEST(SetOnDisk, TellsAChangedFileFromAnUntouchedOne) {
    using Change = std::function<void(const std::vector<cli::FileStamp>&)>;
    const auto keepTime = [](const std::string& path, const timespec& modified) {
        const timespec times[2] = {{0, UTIME_OMIT}, modified};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    };
    struct Case {
        const char* what;
        Change change;
        int changedDisk;  // 0: none
    };
    const std::vector<Case> cases = {
        {"untouched", [](const auto&) {}, 0},
        {"a byte more", [](const auto& then) { std::ofstream(then[1].path, std::ios::app) << 'x'; },
         2},
        {"a nanosecond later",
         [&](const auto& then) {
             timespec later = then[0].identity.modified;
             later.tv_nsec = (later.tv_nsec + 1) % 1000000000;
             keepTime(then[0].path, later);
         },
         1},
        {"another file of the same size and time under the name",
         [&](const auto& then) {
             const std::string other = then[0].path + ".new";
             std::ofstream(other) << "ABCD";
             keepTime(other, then[0].identity.modified);
             std::filesystem::rename(other, then[0].path);
         },
         1},
        {"removed", [](const auto& then) { std::filesystem::remove(then[1].path); }, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir tmp;
        SetSummary summary;
        for (const char* name : {"FW0001.q58", "FW0002.q58"}) {
            summary.disks.emplace_back().path = tmp.Write(name, "abcd");
        }
        const std::vector<cli::FileStamp> then = cli::StampSet(summary);
        c.change(then);
        const std::string changed = cli::ChangedFile(then, cli::StampSet(summary));
        EXPECT_EQ(changed, c.changedDisk == 0 ? "" : then[c.changedDisk - 1].path);
    }
}

std::string Begin(const std::string& attempt, const std::string& serial,
                  const std::string& station) {
    return R"({"schema":1,"event":"begin","attempt":")" + attempt + R"(","serial":")" + serial +
           R"(","station":")" + station + R"(","operator":null})";
}
std::string End(const std::string& attempt, const std::string& serial, int code,
                const std::string& time = "2026-12-01T08:00:00.000Z") {
    return R"({"schema":1,"event":"end","attempt":")" + attempt + R"(","time":")" + time +
           R"(","device":"127.0.0.1:9001","serial":")" + serial + R"(","set_sha256":")" +
           std::string(64, 'a') + R"(","outcome":"x","exit_code":)" + std::to_string(code) +
           R"(,"bytes_sent":1})";
}

TEST(FlashedBefore, OnlyACompletedEndCounts) {
    FlashedBefore index;
    const std::vector<std::string> lines = {
        Begin("a1", "SN-1", "line-3"), End("a1", "SN-1", 0, "2026-12-01T08:00:00.000Z"),
        Begin("a2", "SN-2", "line-3"), End("a2", "SN-2", 20),  // failed
        Begin("a3", "SN-3", "line-4"),                         // killed: no end
        Begin("a4", "SN-4", "line-4"),
        R"({"schema":1,"event":"end","attempt":"a4","serial":"SN-4","exit_code":0.5})",
        // A serial that holds the needle of another member, escaped as JSON escapes it.
        End("a5", R"(SN-\"station\":\"x)", 0), End("a6", "", 0),
        R"({"schema":1,"event":"end","attempt":"a7","serial":null,"exit_code":0})",
        "not json at all, \"event\":\"end\"", Begin("a8", "SN-1", "line-9"),
        End("a8", "SN-1", 0, "2026-12-02T09:00:00.000Z"),  // the later one tells
    };
    for (const std::string& line : lines) {
        index.Take(line);
    }
    EXPECT_EQ(index.Size(), 2u);
    const FlashedUnit* one = index.Find("SN-1");
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(one->time, "2026-12-02T09:00:00.000Z");
    EXPECT_EQ(one->station, "line-9");
    EXPECT_EQ(one->setSha256, std::string(64, 'a'));
    EXPECT_EQ(index.Find("SN-2"), nullptr);
    EXPECT_EQ(index.Find("SN-3"), nullptr);
    EXPECT_EQ(index.Find("SN-4"), nullptr);
    const FlashedUnit* escaped = index.Find(R"(SN-"station":"x)");
    ASSERT_NE(escaped, nullptr);
    EXPECT_EQ(escaped->station, "");  // its begin line is not in the log
}

TEST(FlashedBefore, ReadsAFileAcrossItsChunksAndSkipsACutLastLine) {
    TempDir tmp;
    const std::string path = tmp.path() + "/attempts.jsonl";
    std::string why;
    const auto none = FlashedBefore::Read(path, &why);
    ASSERT_TRUE(none.has_value()) << why;  // a log not yet written is an empty one
    EXPECT_EQ(none->Size(), 0u);
    {
        std::ofstream out(path);
        // Over one read's megabyte, so that lines straddle the reads.
        for (int i = 0; i < 6000; ++i) {
            const std::string id = "i" + std::to_string(i);
            out << Begin(id, "SN-" + std::to_string(i), "s") << '\n'
                << End(id, "SN-" + std::to_string(i), 0) << '\n';
        }
        const std::string cut = End("cut", "SN-cut", 0);
        out << cut.substr(0, cut.size() - 1);  // a run killed in the middle of its write
    }
    const auto index = FlashedBefore::Read(path, &why);
    ASSERT_TRUE(index.has_value()) << why;
    EXPECT_EQ(index->Size(), 6000u);
    EXPECT_NE(index->Find("SN-5999"), nullptr);
    EXPECT_EQ(index->Find("SN-cut"), nullptr);
}

}  // namespace
}  // namespace qf580::test
