// Where the command line writes, from any thread: lines for a person and, with --json, one
// JSON object per line for a program. Each line goes out whole and at once.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

namespace qf580::cli {

class Reporter {
  public:
    // `human` takes the status lines, the summary and the question; `json`, when not null,
    // the events (then nothing else may be written there).
    Reporter(std::FILE* human, std::FILE* json);

    void Line(const std::string& text);
    void Event(const std::string& object);

    bool Json() const { return json_ != nullptr; }
    std::FILE* Human() const { return human_; }
    // Seconds since the reporter was made, the "t" of every event.
    double Seconds() const;

  private:
    void Write(std::FILE* stream, const std::string& text);

    std::FILE* const human_;
    std::FILE* const json_;
    const std::chrono::steady_clock::time_point start_;
    std::mutex mutex_;
};

}  // namespace qf580::cli
