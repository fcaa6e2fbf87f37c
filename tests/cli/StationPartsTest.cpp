// The station's parts at their own seams: what a scanned serial may be, and which serials the
// attempt log already has a completed transfer for.
#include <gtest/gtest.h>

#include <fstream>

#include "attemptlog/FlashedBefore.h"
#include "cli/SerialRules.h"
#include "cli/Session.h"
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
