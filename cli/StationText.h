// What the operator at a station reads: one PASS or FAIL line per unit, the shift's count
// after each cycle, and the session's summary at its end. Plain text, no device names beyond
// the slot's: the operator looks up from the fixture, not into a log.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace qf580::cli {

// The session's figures so far, counted by unit: a unit that passed on a retry passed.
struct StationCount {
    int units = 0;
    int passed = 0;
    int failed = 0;
    int failuresInARow = 0;
    std::map<std::string, int> outcomes;  // outcome text, units that ended so

    void Take(bool pass, const std::string& outcomeText);
    // Passed units in percent of all, one decimal; 0 with no unit yet.
    double Yield() const;
};

// Whether PASS and FAIL stand out in colour: only on a terminal, and not under NO_COLOR.
bool StationColour(bool terminal);

struct UnitResult {
    int slot = 1;  // from 1
    std::string device;
    std::string serial;
    std::string outcome;
    int exitCode = 0;
    int tries = 1;
};

// "PASS  slot 1 (127.0.0.1:9001)  SN-0001  Transfer completed (exit 0)", the verdict bold
// green or red with `colour`; a FAIL on a terminal rings the bell once.
std::string ResultLine(const UnitResult& result, bool colour, bool bell);

// "units 12, passed 11, failed 1, yield 91.7%, failures in a row 1", and how many units are
// still to go under --units.
std::string CountLine(const StationCount& count, std::optional<int> toGo);

// The session's end: its figures, the count per outcome text, and why it ended.
std::string SummaryText(const StationCount& count, const std::string& endedBy);

}  // namespace qf580::cli
