#include "cli/ProgressLine.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <utility>

namespace qf580::cli {

namespace {

// The rate is taken over about this long, so that it follows a device that slows down
// without jumping at every acknowledgement.
constexpr std::chrono::seconds kRateWindow{5};
// Less than this much time says nothing about the rate yet.
constexpr std::chrono::milliseconds kLeastSpan{200};

std::string Printf(const char* format, double value) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string FormatDuration(double seconds) {
    const auto total = static_cast<long long>(std::ceil(seconds));
    const long long h = total / 3600;
    const long long m = total / 60 % 60;
    const long long s = total % 60;
    char text[32];
    if (h > 0) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", h, m, s);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", m, s);
    }
    return text;
}

}  // namespace

std::string FormatBytes(std::uint64_t bytes) {
    const auto b = static_cast<double>(bytes);
    if (bytes < 1000) {
        return std::to_string(bytes) + " B";
    }
    if (b < 999.95e3) {
        return Printf("%.1f kB", b / 1e3);
    }
    if (b < 999.95e6) {
        return Printf("%.1f MB", b / 1e6);
    }
    return Printf("%.1f GB", b / 1e9);
}

std::string FormatProgress(const TransferProgress& progress, std::optional<double> bytesPerSecond) {
    const std::optional<int> percent = progress.Percent();
    std::string line = "  ?%";
    if (percent) {
        char text[8];
        std::snprintf(text, sizeof text, "%3d%%", *percent);
        line = text;
    }
    line += "  " + FormatBytes(progress.sent.bytes) + " of ";
    line += progress.totals.Known() ? FormatBytes(progress.totals.all.bytes) : std::string("?");
    const bool moving = bytesPerSecond && *bytesPerSecond > 0;
    // The line that stays on screen at the end: placeholders there would read as a fault.
    if (percent == 100 && !moving) {
        return line;
    }
    line += "  ";
    line += moving ? FormatBytes(static_cast<std::uint64_t>(*bytesPerSecond)) : "-- B";
    line += "/s  ";
    if (moving && progress.totals.Known()) {
        const std::uint64_t total = progress.totals.all.bytes;
        const std::uint64_t left = progress.sent.bytes < total ? total - progress.sent.bytes : 0;
        line += FormatDuration(static_cast<double>(left) / *bytesPerSecond);
    } else {
        line += "--:--";
    }
    return line + " left";
}

ProgressLine::ProgressLine(ProgressStyle style, std::string& out, int columns, std::string label,
                           int terminalFd)
    : style_(style),
      out_(out),
      columns_(columns),
      label_(std::move(label)),
      terminalFd_(terminalFd) {}

void ProgressLine::Keep(const TransferProgress& progress, Clock::time_point now) {
    if (style_ == ProgressStyle::Off || finished_) {
        return;
    }
    // The rate counts from the first write: connecting and the handshake are not part of it.
    if (progress.sent.bytes > 0 &&
        (samples_.empty() || now - samples_.back().first >= kLiveInterval)) {
        samples_.emplace_back(now, progress.sent.bytes);
        if (!firstWrite_) {
            firstWrite_ = samples_.back();
        }
        while (samples_.size() > 1 && now - samples_.front().first > kRateWindow) {
            samples_.pop_front();
        }
    }
    pending_ = Report{progress, now};
}

void ProgressLine::Update(const TransferProgress& progress, Clock::time_point now) {
    if (style_ == ProgressStyle::Off || finished_) {
        return;
    }
    Keep(progress, now);
    const bool last = progress.Percent() == 100;
    const auto interval = style_ == ProgressStyle::Live ? kLiveInterval : kLinesInterval;
    if (!last && lastDraw_ && now - *lastDraw_ < interval) {
        return;
    }
    Compose();
    Draw();
}

void ProgressLine::Compose() {
    const Report report = *pending_;
    pending_.reset();
    lastDraw_ = report.at;
    const bool last = report.progress.Percent() == 100;
    text_ =
        FormatProgress(report.progress, last ? AverageRate(report.progress.sent.bytes, report.at)
                                             : Rate(report.progress.sent.bytes, report.at));
    if (!label_.empty()) {
        text_ = label_ + "  " + text_;
    }
}

std::optional<double> ProgressLine::Rate(std::uint64_t sent, Clock::time_point now) const {
    if (samples_.empty() || now - samples_.front().first < kLeastSpan) {
        return std::nullopt;
    }
    const double seconds = std::chrono::duration<double>(now - samples_.front().first).count();
    return static_cast<double>(sent - samples_.front().second) / seconds;
}

std::optional<double> ProgressLine::AverageRate(std::uint64_t sent, Clock::time_point now) const {
    if (!firstWrite_ || now <= firstWrite_->first || sent < firstWrite_->second) {
        return std::nullopt;
    }
    const double seconds = std::chrono::duration<double>(now - firstWrite_->first).count();
    return static_cast<double>(sent - firstWrite_->second) / seconds;
}

int ProgressLine::Columns() const {
    if (columns_ > 0) {
        return columns_;
    }
    winsize size{};
    if (terminalFd_ >= 0 && ::ioctl(terminalFd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}

void ProgressLine::PutLive() {
    // One column short of the width: a line that fills it would wrap at its end on some
    // terminals, and the next "\r" would then redraw one row too low.
    const auto width = static_cast<std::size_t>(Columns() > 1 ? Columns() - 1 : 1);
    out_ += kEraseLine;
    out_.append(text_, 0, width);
    shown_ = true;
}

void ProgressLine::Draw() {
    if (style_ == ProgressStyle::Lines) {
        out_ += text_;
        out_ += '\n';
    } else {
        PutLive();
    }
}

void ProgressLine::Clear() {
    if (shown_) {
        out_ += kEraseLine;
        shown_ = false;
    }
}

void ProgressLine::Restore() {
    if (style_ != ProgressStyle::Live || finished_ || shown_) {
        return;
    }
    if (pending_) {
        Compose();
    }
    if (!text_.empty()) {
        PutLive();
    }
}

void ProgressLine::Finish() {
    Clear();
    finished_ = true;
}

}  // namespace qf580::cli
