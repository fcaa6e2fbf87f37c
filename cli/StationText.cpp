#include "cli/StationText.h"

#include <cstdio>
#include <cstdlib>

#include "text/Escape.h"

namespace qf580::cli {

void StationCount::Take(bool pass, const std::string& outcomeText) {
    ++units;
    ++outcomes[outcomeText];
    if (pass) {
        ++passed;
        failuresInARow = 0;
    } else {
        ++failed;
        ++failuresInARow;
    }
}

double StationCount::Yield() const {
    return units == 0 ? 0.0 : 100.0 * passed / units;
}

bool StationColour(bool terminal) {
    const char* noColour = std::getenv("NO_COLOR");
    return terminal && (noColour == nullptr || *noColour == '\0');
}

std::string ResultLine(const UnitResult& result, bool colour, bool bell) {
    const bool pass = result.exitCode == 0;
    std::string line;
    if (colour) {
        line += pass ? "\x1b[1;32mPASS\x1b[0m" : "\x1b[1;31mFAIL\x1b[0m";
    } else {
        line += pass ? "PASS" : "FAIL";
    }
    line += "  slot " + std::to_string(result.slot) + " (" + result.device + ")  " +
            EscapeControls(result.serial) + "  " + result.outcome + " (exit " +
            std::to_string(result.exitCode) + ")";
    if (result.tries > 1) {
        line += ", " + std::to_string(result.tries) + " tries";
    }
    if (!pass && bell) {
        line += '\a';
    }
    return line;
}

namespace {

std::string Percent(double value) {
    char text[16];
    std::snprintf(text, sizeof text, "%.1f%%", value);
    return text;
}

}  // namespace

std::string CountLine(const StationCount& count, std::optional<int> toGo) {
    std::string line = "units " + std::to_string(count.units) + ", passed " +
                       std::to_string(count.passed) + ", failed " + std::to_string(count.failed) +
                       ", yield " + Percent(count.Yield()) + ", failures in a row " +
                       std::to_string(count.failuresInARow);
    if (toGo) {
        line += ", " + std::to_string(*toGo) + " to go";
    }
    return line;
}

std::string SummaryText(const StationCount& count, const std::string& endedBy) {
    std::string text = "Session ended (" + endedBy + "): units " + std::to_string(count.units) +
                       ", passed " + std::to_string(count.passed) + ", failed " +
                       std::to_string(count.failed) + ", yield " + Percent(count.Yield());
    for (const auto& [outcome, units] : count.outcomes) {
        text += "\n  " + std::to_string(units) + "  " + outcome;
    }
    return text;
}

}  // namespace qf580::cli
