// The attempt log's file and lines at their own seam, and the command line's options as parsed:
// the lock that is not given back, a torn last line, a rotated file, the one JSON escaping, and
// the values a record line may hold.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <variant>

#include "attemptlog/AttemptLog.h"
#include "cli/Options.h"
#include "posix/UniqueFd.h"
#include "tests/support/TempDir.h"

namespace qf580 {
namespace {

using namespace std::chrono_literals;

std::string Contents(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

class AttemptLogFileTest : public ::testing::Test {
  protected:
    std::optional<AttemptLogFile> Open(const LockWait& wait = {}) {
        return AttemptLogFile::Open(path, &why, wait);
    }
    test::TempDir tmp;
    std::string path = tmp.path() + "/attempts.jsonl";
    std::string why;
};

TEST_F(AttemptLogFileTest, ALockNotGivenBackEndsTheWaitAtItsLimitOrOnAStop) {
    std::optional<AttemptLogFile> file = Open();
    ASSERT_TRUE(file) << why;
    // Another open file of the same file: its lock is another holder's, as another process's.
    const posix::UniqueFd other(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::flock(other.Get(), LOCK_EX), 0);
    struct Case {
        const char* name;
        bool stopped;
        const char* said;
    };
    for (const Case& c : {Case{"limit", false, "it is locked by another process"},
                          Case{"stop", true, "stopped while waiting for its lock"}}) {
        SCOPED_TRACE(c.name);
        const LockWait wait{200ms, [&c] { return c.stopped; }};
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(Open(wait));
        EXPECT_NE(why.find(c.said), std::string::npos) << why;
        EXPECT_NE(file->Append("line", wait).find(c.said), std::string::npos);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    }
    EXPECT_EQ(Contents(path), "");
    ASSERT_EQ(::flock(other.Get(), LOCK_UN), 0);
    EXPECT_EQ(file->Append("line", {200ms, {}}), "");
    EXPECT_EQ(Contents(path), "line\n");
}

TEST_F(AttemptLogFileTest, ATornLastLineIsEndedBeforeTheNextLine) {
    struct Case {
        const char* before;
        const char* after;
    };
    for (const Case& c : {Case{"", "next\n"}, Case{"whole\n", "whole\nnext\n"},
                          Case{"{\"torn", "{\"torn\nnext\n"}}) {
        tmp.Write("attempts.jsonl", c.before);
        std::optional<AttemptLogFile> file = Open();
        ASSERT_TRUE(file) << why;
        EXPECT_EQ(file->Append("next"), "");
        EXPECT_EQ(Contents(path), c.after);
    }
}

TEST_F(AttemptLogFileTest, ARotatedOrDeletedFileIsOpenedAnewByItsPathAndSaidOnce) {
    std::optional<AttemptLogFile> file = Open();
    ASSERT_TRUE(file) << why;
    std::string note;
    EXPECT_EQ(file->Append("one", {}, &note), "");
    EXPECT_EQ(note, "");
    ASSERT_EQ(std::rename(path.c_str(), (path + ".1").c_str()), 0);
    EXPECT_EQ(file->Append("two", {}, &note), "");
    EXPECT_NE(note.find("the record " + path + " was moved or deleted"), std::string::npos);
    note.clear();
    ASSERT_EQ(std::remove(path.c_str()), 0);
    EXPECT_EQ(file->Append("three", {}, &note), "");
    EXPECT_EQ(note, "") << "said once";
    EXPECT_EQ(Contents(path + ".1"), "one\n");
    EXPECT_EQ(Contents(path), "three\n");
    EXPECT_TRUE(file->IsFile(path));
    EXPECT_FALSE(file->IsFile(path + ".1"));
}

TEST_F(AttemptLogFileTest, LinesEscapeWhatSplitsLinesAsTheEventsDo) {
    std::optional<AttemptLogFile> file = Open();
    ASSERT_TRUE(file) << why;
    AttemptContext context;
    context.station =
        "a\xE2\x80\xA8"
        "b\xE2\x80\xA9"
        "c\x7F"
        "d\n";
    context.host = "host";
    AttemptLog log(&*file, nullptr, context, {});
    const AttemptLog::Attempt attempt = log.Begin("usb", "SN");
    log.End(attempt, Outcome::Completed, 0, StreamCount{56, 0}, 1.23456, std::string(64, 'a'));
    const std::string text = Contents(path);
    for (const char* raw : {"\xE2\x80\xA8", "\xE2\x80\xA9", "\x7F"}) {
        EXPECT_EQ(text.find(raw), std::string::npos);
    }
    EXPECT_NE(text.find(R"("station":"a\u2028b\u2029c\u007fd\n")"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("seconds":1.235)"), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
    EXPECT_FALSE(log.Failed());
}

// The options as parsed, with what is said for a refused one.
struct Parse {
    std::variant<cli::Options, int> result;
    std::string err;
};
Parse ParseArgs(std::vector<std::string> args) {
    args.insert(args.begin(), "qf580-flash");
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    ::testing::internal::CaptureStderr();
    Parse parse{cli::ParseOptions(static_cast<int>(argv.size()), argv.data()), {}};
    parse.err = ::testing::internal::GetCapturedStderr();
    return parse;
}

TEST(ParseOptions, EmptyOrLongValuesAndControlCharactersAreUsageErrors) {
    test::TempDir tmp;
    const std::string file = tmp.Write("FW0001.q58", "x");
    const std::string record = tmp.path() + "/r.jsonl";
    struct Case {
        std::vector<std::string> args;
        const char* said;  // nullptr: accepted
    };
    const std::vector<Case> cases = {
        {{"--record", ""}, "--record: an empty value says nothing"},
        {{"--record", record, "--station", ""}, "--station: an empty value"},
        {{"--record", record, "--operator", ""}, "--operator: an empty value"},
        {{"--record", record, "--serial", ""}, "--serial: an empty value"},
        {{"--record", record, "--station", std::string(257, 's')}, "at most 256 bytes"},
        {{"--record", record, "--operator", std::string(257, 'o')}, "at most 256 bytes"},
        {{"--record", record, "--serial", std::string(129, 'n')}, "at most 128 bytes"},
        {{"--record", record, "--station", std::string(256, 's'), "--serial",
          std::string(128, 'n')},
         nullptr},
        {{"--port", "8\x1b[2J"}, "8\\x1b[2J"},
        {{"--disk-answer", "\x1b]0;x\x07"}, "\\x1b]0;x\\x07"},
        {{"--expect-sha256", "\x1b[1m"}, "\\x1b[1m"},
        {{"--timeout-ms", "\x1b"}, "\\x1b"},
        {{"--usb-driver", "\x1b", "--usb"}, "\\x1b"},
        {{"--\x1b[31m"}, "\\x1b[31m"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--address", "127.0.0.1", file});
        SCOPED_TRACE(args.front());
        const Parse parse = ParseArgs(args);
        if (c.said == nullptr) {
            EXPECT_TRUE(std::holds_alternative<cli::Options>(parse.result)) << parse.err;
            continue;
        }
        ASSERT_TRUE(std::holds_alternative<int>(parse.result));
        EXPECT_EQ(std::get<int>(parse.result), 2);
        EXPECT_NE(parse.err.find(c.said), std::string::npos) << parse.err;
        EXPECT_EQ(parse.err.find('\x1b'), std::string::npos) << parse.err;
    }
}

}  // namespace
}  // namespace qf580
