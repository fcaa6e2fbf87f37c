// The command line's progress line on its own, with a clock of the test's: its text, how often
// it is drawn, and how it steps aside for other lines.
#include <gtest/gtest.h>

#include <string>

#include "cli/ProgressLine.h"

namespace qf580::cli {
namespace {

using namespace std::chrono_literals;
using Clock = ProgressLine::Clock;

constexpr const char* kErase = "\r\x1b[K";

TransferProgress Sent(std::uint64_t bytes, std::uint64_t total) {
    TransferProgress p;
    p.sent.bytes = bytes;
    if (total > 0) {
        p.totals.passCount = 1;
        p.totals.all.bytes = total;
    }
    return p;
}

TEST(ProgressText, BytesInDecimalUnits) {
    const std::vector<std::pair<std::uint64_t, std::string>> rows = {
        {0, "0 B"},           {999, "999 B"},     {1000, "1.0 kB"},      {4096000, "4.1 MB"},
        {999949, "999.9 kB"}, {999950, "1.0 MB"}, {32768000, "32.8 MB"}, {2500000000, "2.5 GB"},
    };
    for (const auto& [bytes, text] : rows) {
        EXPECT_EQ(FormatBytes(bytes), text) << bytes;
    }
}

TEST(ProgressText, PercentBytesRateAndTimeLeft) {
    struct Row {
        TransferProgress progress;
        std::optional<double> rate;
        std::string text;
    };
    const std::vector<Row> rows = {
        {Sent(0, 4096056), std::nullopt, "  0%  0 B of 4.1 MB  -- B/s  --:-- left"},
        {Sent(1024000, 4096056), 512000.0, " 24%  1.0 MB of 4.1 MB  512.0 kB/s  0:07 left"},
        {Sent(4096055, 4096056), 512000.0, " 99%  4.1 MB of 4.1 MB  512.0 kB/s  0:01 left"},
        {Sent(4096056, 4096056), 512000.0, "100%  4.1 MB of 4.1 MB  512.0 kB/s  0:00 left"},
        // The line left at the end has no placeholders: no rate, then nothing after the bytes.
        {Sent(4096056, 4096056), std::nullopt, "100%  4.1 MB of 4.1 MB"},
        // Disk 2 not counted yet: no percent, no total, no time left, but a rate.
        {Sent(70000, 0), 35000.0, "  ?%  70.0 kB of ?  35.0 kB/s  --:-- left"},
        {Sent(0, 400000000), 1000.0, "  0%  0 B of 400.0 MB  1.0 kB/s  111:06:40 left"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(FormatProgress(r.progress, r.rate), r.text);
    }
}

// What the line writes, gathered as the reporter gathers it.
class Captured {
  public:
    std::string& file() { return text_; }
    std::string text() const { return text_; }
    int Count(const std::string& what) const {
        int n = 0;
        for (std::size_t at = text_.find(what); at != std::string::npos;
             at = text_.find(what, at + what.size())) {
            ++n;
        }
        return n;
    }

  private:
    std::string text_;
};

TEST(ProgressLine, LiveIsRedrawnAtMostTenTimesASecondAndAtOnceAt100) {
    Captured out;
    ProgressLine line(ProgressStyle::Live, out.file(), 80);
    const Clock::time_point t0{};
    // A report every millisecond for about two seconds, as a device without waits could cause.
    for (int ms = 0; ms < 1950; ++ms) {
        line.Update(Sent(static_cast<std::uint64_t>(ms) * 100, 300000),
                    t0 + std::chrono::milliseconds(ms));
    }
    EXPECT_EQ(out.Count(kErase), 20);
    // The last byte comes 50 ms after a redraw: shown at once all the same.
    line.Update(Sent(300000, 300000), t0 + 1950ms);
    EXPECT_EQ(out.Count(kErase), 21);
    EXPECT_NE(out.text().rfind(std::string(kErase) + "100%"), std::string::npos);
    EXPECT_EQ(out.Count("\n"), 0) << "a live line never ends its line";
}

TEST(ProgressLine, RateOverTheLastSecondsFromTheFirstWrite) {
    Captured out;
    ProgressLine line(ProgressStyle::Live, out.file(), 200);
    const Clock::time_point t0{};
    // Ten seconds of connecting and handshake (nothing sent) must not count.
    line.Update(Sent(0, 10000000), t0);
    for (int s = 0; s <= 20; ++s) {
        // 100 kB a second for 10 s, then 300 kB a second.
        const std::uint64_t sent = s <= 10 ? s * 100000u : 1000000u + (s - 10) * 300000u;
        line.Update(Sent(56 + sent, 10000000), t0 + 10s + std::chrono::seconds(s));
        if (s == 10) {
            EXPECT_NE(out.text().find("100.0 kB/s  1:30 left"), std::string::npos) << out.text();
        }
    }
    // After more than the window at the new speed only the new speed shows.
    EXPECT_NE(out.text().rfind("300.0 kB/s  0:20 left"), std::string::npos) << out.text();
}

TEST(ProgressLine, LastRedrawOfAFastTransferShowsTheAverageRate) {
    struct Row {
        const char* what;
        std::vector<std::pair<std::chrono::milliseconds, std::uint64_t>> reports;
        std::string last;
    };
    const std::vector<Row> rows = {
        // Over before the rate window says anything: 100 kB in the 100 ms after the first write.
        {"fast", {{0ms, 0}, {20ms, 4000}, {60ms, 50000}, {120ms, 104000}}, "1.0 MB/s  0:00 left"},
        // Over long after: the whole transfer's average, not the last seconds' rate.
        {"slow",
         {{0ms, 5000}, {1000ms, 6000}, {10000ms, 30000}, {11000ms, 104000}},
         "9.0 kB/s  0:00 left"},
        // Every byte in one report: no time to take a rate over.
        {"at once", {{0ms, 0}, {5ms, 104000}}, ""},
    };
    for (const Row& row : rows) {
        Captured out;
        ProgressLine line(ProgressStyle::Live, out.file(), 200);
        for (const auto& [at, sent] : row.reports) {
            line.Update(Sent(sent, 104000), Clock::time_point{} + at);
        }
        const std::string text = out.text();
        const std::string last = text.substr(text.rfind(kErase));
        EXPECT_EQ(last, std::string(kErase) + "100%  104.0 kB of 104.0 kB" +
                            (row.last.empty() ? "" : "  " + row.last))
            << row.what;
    }
}

TEST(ProgressLine, StepsAsideForOtherLinesAndGoesAtTheEnd) {
    Captured out;
    ProgressLine line(ProgressStyle::Live, out.file(), 30);
    line.Restore();  // nothing drawn yet: nothing to restore
    line.Clear();
    EXPECT_EQ(out.text(), "");

    line.Update(Sent(500, 1000), Clock::time_point{});
    // Cut one column short of the terminal's width, so that it never wraps.
    const std::string drawn = std::string(kErase) + " 50%  500 B of 1.0 kB  -- B/s";
    EXPECT_EQ(out.text(), drawn);
    line.Clear();
    out.file() += "Sending (65) Record\n";
    line.Restore();
    EXPECT_EQ(out.text(), drawn + kErase + "Sending (65) Record\n" + drawn);

    line.Finish();
    line.Restore();
    line.Update(Sent(1000, 1000), Clock::time_point{} + 1s);
    EXPECT_EQ(out.text(), drawn + kErase + "Sending (65) Record\n" + drawn + kErase);
}

// A report that came too soon after a redraw may be the last one for a long while: one device
// of several done while another waits out a silence, or reports made while the disk question
// held the line away. The line that comes back after a status line shows it, not the figures
// of its last redraw.
TEST(ProgressLine, ComesBackWithTheLatestFigures) {
    Captured out;
    ProgressLine line(ProgressStyle::Live, out.file(), 80);
    const Clock::time_point t0{};
    line.Update(Sent(100, 1000), t0);
    line.Update(Sent(200, 1000), t0 + 10ms);  // too soon to be drawn
    EXPECT_EQ(out.Count(" 20%"), 0);
    line.Clear();
    out.file() += "[a] Transfer completed\n";
    line.Restore();
    EXPECT_TRUE(out.text().ends_with("[a] Transfer completed\n" + std::string(kErase) +
                                     " 20%  200 B of 1.0 kB  -- B/s  --:-- left"))
        << out.text();

    // Kept while the line is away: nothing drawn then, shown once it is back.
    line.Clear();
    const std::size_t away = out.text().size();
    line.Keep(Sent(300, 1000), t0 + 500ms);
    EXPECT_EQ(out.text().size(), away);
    line.Restore();
    EXPECT_TRUE(
        out.text().ends_with(std::string(kErase) + " 30%  300 B of 1.0 kB  400 B/s  0:02 left"))
        << out.text();
    // Drawn then; the next report within a tenth of a second waits its turn again.
    line.Update(Sent(310, 1000), t0 + 550ms);
    EXPECT_EQ(out.Count(" 31%"), 0);

    // A line never drawn before comes back with what was kept for it.
    Captured fresh;
    ProgressLine late(ProgressStyle::Live, fresh.file(), 80);
    late.Keep(Sent(0, 0), t0);
    late.Restore();
    EXPECT_EQ(fresh.text(), std::string(kErase) + "  ?%  0 B of ?  -- B/s  --:-- left");
}

TEST(ProgressLine, LinesForALogAtMostOnceASecondAndTheLast) {
    Captured out;
    ProgressLine line(ProgressStyle::Lines, out.file());
    const Clock::time_point t0{};
    for (int ms = 0; ms <= 2500; ms += 10) {
        line.Update(Sent(static_cast<std::uint64_t>(ms), 3000), t0 + std::chrono::milliseconds(ms));
        line.Clear();  // a status line in between takes nothing away from a log
        line.Restore();
    }
    line.Update(Sent(3000, 3000), t0 + 2501ms);
    line.Finish();
    const std::string text = out.text();
    EXPECT_EQ(out.Count("\n"), 4) << text;  // at 0, 1 and 2 s, and the last byte
    EXPECT_EQ(out.Count("\r"), 0);
    EXPECT_EQ(out.Count("\x1b"), 0);
    EXPECT_NE(text.find("100%  3.0 kB of 3.0 kB"), std::string::npos) << text;
}

TEST(ProgressLine, OffWritesNothing) {
    Captured out;
    ProgressLine line(ProgressStyle::Off, out.file());
    line.Update(Sent(10, 10), Clock::time_point{});
    line.Clear();
    line.Restore();
    line.Finish();
    EXPECT_EQ(out.text(), "");
}

}  // namespace
}  // namespace qf580::cli
