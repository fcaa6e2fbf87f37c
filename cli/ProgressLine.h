// The command line's view of a transfer's progress: one line on a terminal, redrawn in place
// under the status lines, or plain lines for a log when asked for one.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "transfer/Progress.h"

namespace qf580::cli {

// "\r" and erase to the end of the line: what every terminal in use understands.
inline constexpr const char* kEraseLine = "\r\x1b[K";

enum class ProgressStyle {
    Off,
    Live,   // a terminal: one line redrawn in place, at most ten times a second
    Lines,  // not a terminal, asked for: a line of its own at most once a second, and at 100%
};

// "812 B", "4.1 kB", "23.5 MB": decimal units, as the sizes of sets are spoken of.
std::string FormatBytes(std::uint64_t bytes);

// The line itself: percent, bytes sent of the total, rate and time left, each with a
// placeholder while it is not known yet ("  ?%", "of ?", "-- B/s", "--:--"); at 100% without a
// rate the line ends after the bytes instead.
std::string FormatProgress(const TransferProgress& progress, std::optional<double> bytesPerSecond);

class ProgressLine {
  public:
    using Clock = std::chrono::steady_clock;

    // The line's text is added to `out`, where its owner gathers the status lines too and
    // hands all of it to the stream in one piece; `columns` (0: ask the terminal `terminalFd`,
    // 80 without one) limits the live line so that it never wraps, which would leave a copy
    // behind at each redraw; `label`, when given, starts the line.
    ProgressLine(ProgressStyle style, std::string& out, int columns = 0, std::string label = {},
                 int terminalFd = -1);

    // A new report from the worker. Drawn at once only when due, or when it is the last byte.
    void Update(const TransferProgress& progress, Clock::time_point now);
    // A report while the line has to stay away (a question is open): not drawn now, but the
    // line shows it when it comes back.
    void Keep(const TransferProgress& progress, Clock::time_point now);
    // Takes the live line away before other text goes to the same terminal...
    void Clear();
    // ...and puts it back afterwards, with the latest report's figures: a report left undrawn
    // because it came too soon after a redraw may well be the last for a long time (one
    // device of several done while another waits out a silence). The caller sends its own
    // text in between with them, so a status line stays one write to the terminal.
    void Restore();
    // The transfer has ended: the live line goes for good, the status lines stay as they are.
    void Finish();

    static constexpr std::chrono::milliseconds kLiveInterval{100};
    static constexpr std::chrono::milliseconds kLinesInterval{1000};

  private:
    // The line's text from the latest report, which is then no longer pending.
    void Compose();
    void Draw();
    // Erases the terminal's line and puts the live line there.
    void PutLive();
    // Bytes a second from the oldest sample to `sent` now; nothing over too short a time.
    std::optional<double> Rate(std::uint64_t sent, Clock::time_point now) const;
    // Bytes a second from the first write to `sent` now, over any time at all: the last
    // redraw's figure, when a fast transfer may be over before the rate window fills.
    std::optional<double> AverageRate(std::uint64_t sent, Clock::time_point now) const;
    int Columns() const;

    const ProgressStyle style_;
    std::string& out_;
    const int columns_;
    const std::string label_;
    const int terminalFd_;
    std::string text_;    // the line as last drawn, whole: cut to the terminal's width each time
    bool shown_ = false;  // the live line stands on the terminal now
    bool finished_ = false;
    std::optional<Clock::time_point> lastDraw_;
    // The latest report, while the line does not show it yet.
    struct Report {
        TransferProgress progress;
        Clock::time_point at;
    };
    std::optional<Report> pending_;
    // (time, bytes sent) about every tenth of a second over the last few seconds, for the rate.
    std::deque<std::pair<Clock::time_point, std::uint64_t>> samples_;
    std::optional<std::pair<Clock::time_point, std::uint64_t>> firstWrite_;
};

}  // namespace qf580::cli
