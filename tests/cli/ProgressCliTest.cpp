// qf580-flash's progress as a person and a script see it: a live line on a terminal (a
// pseudo-terminal made by script(1)), nothing but the status lines in a pipe, lines for a log
// when asked for.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "sim/TcpDeviceServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/StatusTexts.h"
#include "tests/worker/WorkerSupport.h"

namespace qf580::test {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

constexpr const char* kErase = "\r\x1b[K";

// What a terminal was sent, taken apart: the status lines (and anything else that ended its
// line) and every drawing of the progress line, in order.
struct Screen {
    Lines lines;
    Lines draws;
    bool endsErased = false;
};

Screen TakeApart(const std::string& out) {
    Screen screen;
    std::string text;
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = out.find(kErase, from);
        const std::string piece = out.substr(from, at == std::string::npos ? at : at - from);
        if (piece.find('\n') != std::string::npos) {
            text += piece;
        } else if (!piece.empty()) {
            screen.draws.push_back(piece);
        }
        if (at == std::string::npos) {
            screen.endsErased = piece.empty();
            break;
        }
        from = at + std::char_traits<char>::length(kErase);
    }
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            screen.lines.push_back(line);
            line.clear();
        } else if (c != '\r') {
            line.push_back(c);
        }
    }
    return screen;
}

// The line's own pattern: percent, bytes of the total, rate, time left.
const std::regex kProgressText(
    R"(( {0,2}\d{1,3}|  \?)%  \S+ \S+ of (\S+ \S+|\?)  \S+ \S+/s  \S+ left)");

std::optional<int> PercentOf(const std::string& draw) {
    if (draw.compare(0, 4, "  ?%") == 0) {
        return std::nullopt;
    }
    return std::stoi(draw.substr(0, 3));
}

std::string Quoted(const std::vector<std::string>& args) {
    std::string command;
    for (const std::string& a : args) {
        command += (command.empty() ? "'" : " '") + a + "'";
    }
    return command;
}

class CliProgress : public ::testing::Test {
  protected:
    CliProgress() : records(PassRecords(600, 9, 255)) {
        file = tmp.Write("FW0001.q58", Header(kRomMain, 1) + Join(records) + kEnd);
    }

    std::vector<std::string> Flash(std::uint16_t port, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {QF580_FLASH,    file,     "--address",
                                         "127.0.0.1",    "--port", std::to_string(port),
                                         "--timeout-ms", "2000"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    // The same command on a pseudo-terminal of its own; script(1) passes its exit code on.
    static std::vector<std::string> OnATerminal(const std::vector<std::string>& args) {
        return {"/usr/bin/script", "-qec", Quoted(args), "/dev/null"};
    }

    TempDir tmp;
    std::vector<Bytes> records;
    std::string file;
};

TEST_F(CliProgress, OnATerminalOneLiveLineUnderTheStatusLines) {
    // Slow replies spread the transfer over about half a second, so that the line moves.
    sim::TcpDeviceServer device(sim::FaultPlan{{}, 40});
    ChildProcess flash(OnATerminal(Flash(device.Port())));
    ASSERT_EQ(flash.Wait(), 0) << flash.out << flash.err;
    const Screen screen = TakeApart(flash.out);

    EXPECT_EQ(screen.lines, TransferTexts({600}));
    ASSERT_GE(screen.draws.size(), 3u) << flash.out;
    std::set<std::string> distinct;
    int last = 0;
    for (const std::string& draw : screen.draws) {
        EXPECT_TRUE(std::regex_match(draw, kProgressText)) << '"' << draw << '"';
        const std::optional<int> percent = PercentOf(draw);
        ASSERT_TRUE(percent.has_value()) << "every disk is there: the total is known";
        EXPECT_GE(*percent, last) << draw;
        last = *percent;
        distinct.insert(draw);
    }
    EXPECT_EQ(screen.draws.front().substr(0, 4), "  0%");
    EXPECT_EQ(screen.draws.back().substr(0, 4), "100%");
    EXPECT_GE(distinct.size(), 3u) << "the line moved";
    // The set's bytes: the header, 601 records of 512 bytes and END.
    EXPECT_NE(screen.draws.back().find("of 307.8 kB"), std::string::npos) << screen.draws.back();
    EXPECT_TRUE(screen.endsErased) << "the line goes at the end, the status lines stay";
    ASSERT_TRUE(device.WaitForConnectionsEnded(1, 5s));
    EXPECT_TRUE(device.Complete());
}

TEST_F(CliProgress, NoProgressOnATerminalLeavesTheStatusLinesAlone) {
    sim::TcpDeviceServer device;
    ChildProcess flash(OnATerminal(Flash(device.Port(), {"--no-progress"})));
    ASSERT_EQ(flash.Wait(), 0) << flash.out << flash.err;
    EXPECT_EQ(flash.out.find('\x1b'), std::string::npos) << flash.out;
    EXPECT_EQ(flash.out.find('%'), std::string::npos) << flash.out;
    EXPECT_EQ(TakeApart(flash.out).lines, TransferTexts({600}));
}

TEST_F(CliProgress, APipeGetsTheStatusLinesOnlyUnlessItAsks) {
    {
        sim::TcpDeviceServer device;
        ChildProcess flash(Flash(device.Port()));
        ASSERT_EQ(flash.Wait(), 0) << flash.err;
        std::string expected;
        for (const std::string& s : TransferTexts({600})) {
            expected += s + "\n";
        }
        EXPECT_EQ(flash.out, expected) << "byte for byte what scripts always got";
    }
    {
        sim::TcpDeviceServer device;
        ChildProcess flash(Flash(device.Port(), {"--progress"}));
        ASSERT_EQ(flash.Wait(), 0) << flash.err;
        EXPECT_EQ(flash.out.find('\r'), std::string::npos) << "a log gets whole lines";
        EXPECT_EQ(flash.out.find('\x1b'), std::string::npos);
        Lines statuses;
        Lines progress;
        for (const std::string& line : flash.Lines()) {
            (std::regex_match(line, kProgressText) ? progress : statuses).push_back(line);
        }
        EXPECT_EQ(statuses, TransferTexts({600}));
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(progress.back().substr(0, 4), "100%");
        // The 100% line comes with the last byte, before the outcome.
        const Lines all = flash.Lines();
        ASSERT_GE(all.size(), 2u);
        EXPECT_EQ(all[all.size() - 2], progress.back());
    }
}

TEST_F(CliProgress, TheDiskQuestionOnATerminalWithTheTotalUnknownUntilDisk2) {
    // Disk 1 holds 50 records of a pass of 81; disk 2 comes after the question.
    const std::vector<Bytes> set = PassRecords(80, 6);
    tmp.Write("FW0001.q58",
              Header(kRomMain, 1) + Join(std::vector<Bytes>(set.begin(), set.begin() + 50)));
    const Bytes disk2 =
        Header(kRomMain, 2) + Join(std::vector<Bytes>(set.begin() + 50, set.end())) + kEnd;
    sim::TcpDeviceServer device;
    // Streamed as the window streams it, so that the question comes half-way.
    ChildProcess flash(OnATerminal(Flash(device.Port(), {"--no-preflight"})));
    const std::string question = "Insert Disk 2 [OK/cancel]: ";
    ASSERT_TRUE(flash.WaitForOutput(question, 10s)) << flash.out;
    tmp.Write("FW0002.q58", disk2);
    flash.Write("OK\n");
    ASSERT_EQ(flash.Wait(), 0) << flash.out << flash.err;

    // The question stands on a line of its own, the progress line taken away before it.
    const std::size_t at = flash.out.find(question);
    ASSERT_NE(at, std::string::npos);
    const std::string before = flash.out.substr(0, at);
    EXPECT_TRUE(before.ends_with(kErase) || before.ends_with("\n")) << before;
    const Screen screen = TakeApart(flash.out);
    EXPECT_EQ(screen.lines, (Lines{"Searching for KV6200", "Sending Header", "Sending START record",
                                   "Sending (1) Record", question + "OK", "Sending (65) Record",
                                   "Transfer completed"}));
    ASSERT_FALSE(screen.draws.empty());
    EXPECT_EQ(screen.draws.front().substr(0, 4), "  ?%") << "disk 2 not counted yet";
    EXPECT_NE(screen.draws.front().find(" of ?  "), std::string::npos);
    EXPECT_EQ(screen.draws.back().substr(0, 4), "100%");
    EXPECT_TRUE(screen.endsErased);
}

TEST_F(CliProgress, TheCheckAsksForDisk2FirstAndTheTotalIsKnownThroughout) {
    const std::vector<Bytes> set = PassRecords(80, 6);
    tmp.Write("FW0001.q58",
              Header(kRomMain, 1) + Join(std::vector<Bytes>(set.begin(), set.begin() + 50)));
    sim::TcpDeviceServer device;
    ChildProcess flash(OnATerminal(Flash(device.Port())));
    const std::string question = "Insert Disk 2 [OK/cancel]: ";
    ASSERT_TRUE(flash.WaitForOutput(question, 10s)) << flash.out;
    EXPECT_EQ(device.ConnectionsAccepted(), 0u) << "asked before the device is contacted";
    tmp.Write("FW0002.q58",
              Header(kRomMain, 2) + Join(std::vector<Bytes>(set.begin() + 50, set.end())) + kEnd);
    flash.Write("OK\n");
    ASSERT_EQ(flash.Wait(), 0) << flash.out << flash.err;

    const Screen screen = TakeApart(flash.out);
    Lines expected = {question + "OK"};
    for (const std::string& text : TransferTexts({80})) {
        expected.push_back(text);
    }
    EXPECT_EQ(screen.lines, expected);
    ASSERT_FALSE(screen.draws.empty());
    for (const std::string& draw : screen.draws) {
        EXPECT_TRUE(PercentOf(draw).has_value()) << "the check found disk 2: " << draw;
    }
    EXPECT_EQ(screen.draws.back().substr(0, 4), "100%");
}

TEST_F(CliProgress, SeveralDevicesShareOneLine) {
    sim::TcpDeviceServer a(sim::FaultPlan{{}, 20});
    sim::TcpDeviceServer b(sim::FaultPlan{{}, 20});
    std::vector<std::string> args = Flash(a.Port());
    args.insert(args.end(), {"--address", "127.0.0.1:" + std::to_string(b.Port())});
    ChildProcess flash(OnATerminal(args));
    ASSERT_EQ(flash.Wait(), 0) << flash.out << flash.err;

    const Screen screen = TakeApart(flash.out);
    ASSERT_FALSE(screen.draws.empty());
    const std::regex twoDevices("2 devices  (.*)");
    int last = 0;
    for (const std::string& draw : screen.draws) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(draw, match, twoDevices)) << '"' << draw << '"';
        const std::string figures = match[1];
        EXPECT_TRUE(std::regex_match(figures, kProgressText)) << '"' << figures << '"';
        const int percent = PercentOf(figures).value_or(0);
        EXPECT_GE(percent, last);
        last = percent;
    }
    // Both sets together: twice the header, 601 records of 512 bytes and END.
    EXPECT_NE(screen.draws.back().find("100%  615.5 kB of 615.5 kB"), std::string::npos)
        << screen.draws.back();
    // The line was taken away before the table: the terminal ends with whole lines.
    EXPECT_TRUE(flash.out.ends_with("\n")) << flash.out;
    // The status lines name their device; the table closes the run.
    const std::string prefix = "[127.0.0.1:" + std::to_string(b.Port()) + "] ";
    EXPECT_EQ(std::count(screen.lines.begin(), screen.lines.end(), prefix + "Transfer completed"),
              1);
    ASSERT_GE(screen.lines.size(), 3u);
    EXPECT_EQ(screen.lines[screen.lines.size() - 3].substr(0, 6), "device");
}

}  // namespace
}  // namespace qf580::test
