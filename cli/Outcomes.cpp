#include "Outcomes.h"

#include <cstdio>

namespace qf580::cli {

int ExitCodeFor(std::string_view outcome) {
    for (const OutcomeCode& entry : kOutcomeCodes) {
        if (entry.text == outcome) {
            return entry.code;
        }
    }
    return kExitInternal;
}

std::string ExitCodeTable() {
    std::string table = "Exit codes:\n";
    auto line = [&table](int code, std::string_view meaning) {
        char number[16];
        std::snprintf(number, sizeof number, "  %3d  ", code);
        table += number;
        table += meaning;
        table += '\n';
    };
    for (const OutcomeCode& entry : kOutcomeCodes) {
        line(entry.code, entry.text);
    }
    line(kExitInternal, "internal error (no outcome reached)");
    line(kExitUsage, "usage error");
    line(kExitForced, "second Ctrl+C: left without waiting for the transfer to end");
    return table;
}

}  // namespace qf580::cli
