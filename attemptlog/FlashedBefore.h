// Which serials the attempt log already has a completed transfer for, so that a station does
// not flash a unit twice by a label scanned twice. Read once when a session starts: a year of
// a line's attempts is about a million lines, and reading them must not hold the line up.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace qf580 {

// The last completed transfer of a serial.
struct FlashedUnit {
    std::string time;       // as the end line gives it
    std::string station;    // from the attempt's begin line; empty if that line is missing
    std::string setSha256;  // empty when the line has none
};

class FlashedBefore {
  public:
    // Reads the attempt log at `path`; a missing file is an empty log. Nullopt and `why` when
    // it cannot be read.
    static std::optional<FlashedBefore> Read(const std::string& path, std::string* why);

    // Takes one line of the attempt log, as written, without its line end.
    void Take(std::string_view line);

    // Nullopt if `serial` was never flashed to the end.
    const FlashedUnit* Find(const std::string& serial) const;
    // A unit flashed in this session: later scans of its serial are refused as well.
    void Add(const std::string& serial, FlashedUnit unit);
    std::size_t Size() const { return flashed_.size(); }

  private:
    std::unordered_map<std::string, FlashedUnit> flashed_;
    // The station of each attempt that has begun and not yet ended: an attempt's two lines
    // lie close together, so this stays small however long the log is.
    std::unordered_map<std::string, std::string> open_;
};

}  // namespace qf580
